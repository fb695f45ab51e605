// Sits between the layer's Cluster API and clussimd on a socket of its own and, while
// told to, replaces every line the service sends (answers and events) with garbage, or
// pushes made-up events to the notification connections. For tests of what a faulty
// cluster service does to its clients.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace clustersim::testing {

class GarblingProxy {
 public:
  GarblingProxy(const std::string& listenPath, const std::string& upstreamPath)
      : listenPath_(listenPath), upstreamPath_(upstreamPath) {
    if (pipe2(stop_, O_CLOEXEC) != 0) return;
    listener_ = Listen(listenPath_);
    if (listener_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~GarblingProxy() {
    if (stop_[1] >= 0 && write(stop_[1], "x", 1) < 0) {
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& relay : relays_) relay.join();
    for (const int fd : {listener_, stop_[0], stop_[1]}) {
      if (fd >= 0) close(fd);
    }
    unlink(listenPath_.c_str());
  }
  GarblingProxy(const GarblingProxy&) = delete;
  GarblingProxy& operator=(const GarblingProxy&) = delete;

  bool Listening() const { return listener_ >= 0; }

  // Every line from the service is replaced by `garbage` (with a newline when `terminated`);
  // nullopt relays faithfully again.
  void ReplaceLines(std::optional<std::string> garbage, bool terminated = true) {
    std::lock_guard lock(mutex_);
    garbage_ = std::move(garbage);
    terminated_ = terminated;
  }

  // Sends a line to every connection that registered for notifications; how many got it.
  int InjectEvent(const std::string& line) {
    std::lock_guard lock(mutex_);
    int reached = 0;
    for (const int fd : notifyClients_) reached += WriteAll(fd, line + "\n") ? 1 : 0;
    return reached;
  }

 private:
  static int Listen(const std::string& path) {
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
      if (fd >= 0) close(fd);
      return -1;
    }
    return fd;
  }
  static int Connect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  static bool WriteAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
      const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int upstream = Connect(upstreamPath_);
      if (upstream < 0) {
        close(client);
        continue;
      }
      relays_.emplace_back([this, client, upstream] { Relay(client, upstream); });
    }
  }

  void Relay(int client, int upstream) {
    std::string fromService;
    char chunk[65536];
    for (bool open = true; open;) {
      pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 3, -1) < 0 || fds[2].revents) break;
      if (fds[0].revents) {
        const ssize_t n = recv(client, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        const std::string request(chunk, static_cast<size_t>(n));
        if (request.find("\"op\":\"notify\"") != std::string::npos) {
          std::lock_guard lock(mutex_);
          notifyClients_.push_back(client);
        }
        open = WriteAll(upstream, request);
      }
      if (open && fds[1].revents) {
        const ssize_t n = recv(upstream, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        fromService.append(chunk, static_cast<size_t>(n));
        for (size_t end; open && (end = fromService.find('\n')) != std::string::npos;) {
          std::string line = fromService.substr(0, end + 1);
          fromService.erase(0, end + 1);
          std::lock_guard lock(mutex_);
          if (garbage_) line = *garbage_ + (terminated_ ? "\n" : "");
          open = WriteAll(client, line);
        }
      }
    }
    {
      std::lock_guard lock(mutex_);
      std::erase(notifyClients_, client);
      close(client);
    }
    close(upstream);
  }

  std::string listenPath_;
  std::string upstreamPath_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::thread acceptor_;
  std::vector<std::thread> relays_;  // touched by the acceptor only until it has ended
  std::mutex mutex_;
  std::optional<std::string> garbage_;
  bool terminated_ = true;
  std::vector<int> notifyClients_;
};

}  // namespace clustersim::testing
