// The Cluster API against a misbehaving service: a garbage answer, no answer at all, an
// over-long answer. Each call fails within the call timeout and breaks the connection.
#include <windows.h>
#include <clusapi.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Answers the greeting properly, then every request with `answer` (nothing when empty).
class FakeService {
 public:
  explicit FakeService(std::string answer) : answer_(std::move(answer)) {
    char dir[] = "/tmp/clusapi-fake-XXXXXX";
    dir_ = mkdtemp(dir) ? dir : "/tmp";
    path_ = dir_ + "/svc.sock";
    setenv("WINAPI_CLUSTER_SOCKET", path_.c_str(), 1);
    setenv("WINAPI_CLUSTER_TIMEOUT_MS", "300", 1);
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeService() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
    unsetenv("WINAPI_CLUSTER_TIMEOUT_MS");
  }

 private:
  void Serve() {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    std::string pending;
    bool greeted = false;
    char chunk[4096];
    while (!stop_) {
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string reply = greeted ? answer_ : "{\"v\":1,\"status\":0,\"cluster\":\"FAKE\"}\n";
        greeted = true;
        if (!reply.empty()) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    }
    close(fd);
  }

  std::string answer_;
  std::string dir_, path_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ClusApiTransport, BadAnswersFailTheCallAndBreakTheHandle) {
  struct Case {
    const char* what;
    std::string answer;
  };
  const Case cases[] = {
      {"garbage", "this is not json\n"},
      {"another version", "{\"v\":7,\"status\":0}\n"},
      {"no status", "{\"v\":1}\n"},
      {"no answer", ""},
      {"over-long answer", std::string(17u << 20, 'x')},
  };
  for (const auto& c : cases) {
    FakeService service(c.answer);
    HCLUSTER cluster = OpenCluster(nullptr);
    ASSERT_NE(cluster, nullptr) << c.what << ": " << GetLastError();
    const auto start = std::chrono::steady_clock::now();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ClusterOpenEnum(cluster, CLUSTER_ENUM_NODE), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_CALL_FAILED)) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << c.what;
    // The stream is out of step now: later calls fail at once.
    EXPECT_EQ(ClusterOpenEnum(cluster, CLUSTER_ENUM_NODE), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE)) << c.what;
    CloseCluster(cluster);
  }
}

}  // namespace
