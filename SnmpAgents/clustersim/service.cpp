#include "service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <fstream>
#include <functional>

#include "scenario.h"
#include "service_requests.h"
#include "wide_text.h"

namespace clustersim {

namespace {

using winapi::cluster::kMaxLineBytes;

constexpr std::size_t kMaxQueuedBytes = 64u << 20;  // a notify port that stops reading is dropped

int ListenUnix(const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = "socket path too long (at most " + std::to_string(sizeof address.sun_path - 1) + " bytes): " + path;
    return -1;
  }
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    // mkdir -p of the socket's directory
    for (std::size_t at = 1; at <= dir.size(); ++at) {
      if (at == dir.size() || dir[at] == '/') mkdir(dir.substr(0, at).c_str(), 0755);
    }
  }
  // A socket left behind by a crashed instance is replaced; a live one is not.
  const int probe = winapi::cluster::ConnectUnix(path);
  if (probe >= 0) {
    close(probe);
    error = "another instance serves " + path + " already; stop it first";
    return -1;
  }
  unlink(path.c_str());
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

std::string Narrow(const std::wstring& text) { return winapi::Utf8FromWide(text); }

}  // namespace

struct Server::Client {
  int fd;
  bool control;
  ServiceSession session;
  bool closing = false;  // flush what is queued, then close
  winapi::cluster::LineBuffer in{kMaxLineBytes};
  std::string out;
};

Server::Server(ServerOptions options, std::unique_ptr<ModelSource> source)
    : options_(std::move(options)), source_(std::move(source)) {}

Server::~Server() {
  for (auto& c : clients_) close(c->fd);
  if (serviceListener_ >= 0) StopService();
  if (controlListener_ >= 0) {
    close(controlListener_);
    unlink(options_.controlSocket.c_str());
  }
  if (signals_ >= 0) close(signals_);
}

void Server::Log(const std::string& text) const {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(stderr, "%s %s: %s\n", stamp, options_.name.c_str(), text.c_str());
  std::fflush(stderr);
}

bool Server::OpenService(std::string& error) {
  serviceListener_ = ListenUnix(options_.serviceSocket, error);
  if (serviceListener_ < 0) return false;
  if (!options_.pidFile.empty()) {
    std::ofstream pid(options_.pidFile, std::ios::trunc);
    pid << getpid() << "\n";
  }
  return true;
}

void Server::StopService() {
  // Every connection of the Cluster API breaks, as when the cluster service ends.
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [](const std::unique_ptr<Client>& c) {
                                  if (c->control) return false;
                                  close(c->fd);
                                  return true;
                                }),
                 clients_.end());
  if (serviceListener_ >= 0) {
    close(serviceListener_);
    unlink(options_.serviceSocket.c_str());
  }
  serviceListener_ = -1;
  if (!options_.pidFile.empty()) unlink(options_.pidFile.c_str());
}

bool Server::Start(std::string& error) {
  model_ = std::make_unique<ClusterModel>();
  if (!source_->Load(*model_, error, [this](const std::string& text) { Log(text); })) return false;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signals_ = signalfd(-1, &mask, SFD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);
  controlListener_ = ListenUnix(options_.controlSocket, error);
  if (controlListener_ < 0) return false;
  // A cluster that cannot be read yet: the service opens once it can.
  if (source_->ClusterReachable() && !OpenService(error)) return false;
  Log("cluster \"" + Narrow(model_->facts.name) + "\" from " + source_->Describe() + ": " +
      std::to_string(model_->List(Kind::Node).size()) + " nodes, " + std::to_string(model_->List(Kind::Group).size()) +
      " groups, " + std::to_string(model_->List(Kind::Resource).size()) + " resources");
  Log("service socket " + options_.serviceSocket + ", control socket " + options_.controlSocket);
  return true;
}

int Server::Run() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({signals_, POLLIN, 0});
    fds.push_back({controlListener_, POLLIN, 0});
    fds.push_back({serviceListener_, static_cast<short>(serviceListener_ >= 0 ? POLLIN : 0), 0});
    fds.push_back({source_->Descriptor(), POLLIN, 0});
    constexpr std::size_t kFirstClient = 4;
    for (const auto& c : clients_) {
      fds.push_back({c->fd, static_cast<short>((c->closing ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
    const int ready = poll(fds.data(), fds.size(), source_->TimeoutMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      Log(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t n = read(signals_, &info, sizeof info);
      Log("signal " + std::to_string(info.ssi_signo) + ": stopping");
      return 0;
    }
    if (fds[1].revents & POLLIN) Accept(controlListener_, true);
    if (serviceListener_ >= 0 && (fds[2].revents & POLLIN)) Accept(serviceListener_, false);
    // A source that is due also gets its turn while clients keep the poll busy.
    if (ready == 0 || (fds[3].revents & POLLIN) || source_->TimeoutMs() == 0) UpdateFromSource();
    // Clients by fd: the list may change while one of them is handled.
    for (std::size_t i = kFirstClient; i < fds.size(); ++i) {
      const auto it = std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->fd == fds[i].fd; });
      if (it == clients_.end()) continue;
      Client& client = **it;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(client);
      if (fds[i].revents & POLLOUT) FlushTo(client);
    }
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const std::unique_ptr<Client>& c) {
                                    const bool done = c->fd < 0 || (c->closing && c->out.empty());
                                    if (done && c->fd >= 0) close(c->fd);
                                    return done;
                                  }),
                   clients_.end());
  }
}

void Server::Accept(int listener, bool control) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->control = control;
    clients_.push_back(std::move(client));
  }
}

void Server::ReadFrom(Client& client) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(client.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      close(client.fd);
      client.fd = -1;
      return;
    }
    client.in.Append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof chunk) break;
  }
  std::string line;
  for (;;) {
    const auto result = client.in.Next(line);
    if (result == winapi::cluster::LineBuffer::Result::NeedMore) break;
    if (result == winapi::cluster::LineBuffer::Result::TooLong) {
      // The stream cannot be resynchronised: answer once and hang up.
      client.out += winapi::cluster::EncodeFailure(ERROR_INVALID_DATA);
      client.closing = true;
      Log("dropped a client that sent a line longer than " + std::to_string(kMaxLineBytes) + " bytes");
      break;
    }
    if (client.session.notify) continue;  // a notify connection only listens
    client.out += Handle(client, line);
  }
  FlushTo(client);
}

void Server::FlushTo(Client& client) {
  while (client.fd >= 0 && !client.out.empty()) {
    const ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      close(client.fd);
      client.fd = -1;
      return;
    }
    client.out.erase(0, static_cast<std::size_t>(n));
  }
}

void Server::Broadcast(const Notifications& notifications) {
  for (auto& c : clients_) {
    if (!c->session.notify || c->fd < 0) continue;
    for (const auto& n : notifications) {
      if (n.code & c->session.filter) c->out += winapi::cluster::EncodeEvent({n.code, n.name});
    }
    if (c->out.size() > kMaxQueuedBytes) {
      Log("dropped a notification port that stopped reading");
      close(c->fd);
      c->fd = -1;
      continue;
    }
    FlushTo(*c);
  }
}

void Server::UpdateFromSource() {
  Notifications out;
  source_->Update(*model_, out, [this](const std::string& text) { Log(text); });
  Broadcast(out);
  FollowReachability();
}

void Server::FollowReachability() {
  const bool reachable = source_->ClusterReachable();
  if (!reachable && serviceListener_ >= 0) {
    StopService();
    Log("the cluster cannot be read: service stopped until it can");
    return;
  }
  if (reachable && serviceListener_ < 0 && !stoppedByControl_) {
    std::string error;
    if (OpenService(error)) Log("the cluster can be read again: service started");
    else Log(error);
  }
}

std::string Server::Handle(Client& client, const std::string& line) {
  return client.control ? HandleControl(line) + "\n" : AnswerServiceRequest(*model_, client.session, line);
}

}  // namespace clustersim
