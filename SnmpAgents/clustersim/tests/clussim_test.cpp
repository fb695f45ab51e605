// clussimd as a process: the service registration, clussim's messages, bad input on
// the service socket, and a clean exit on SIGTERM.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "cluster_protocol.h"
#include "cluster_simulator.h"

namespace {

using clustersim::testing::ClusterSimulator;

TEST(Clussimd, RegistersAsClusSvcWhileRunning) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = OpenServiceW(manager, L"ClusSvc", SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr) << GetLastError();
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // "service stop" is seen by the service control manager too.
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  ASSERT_EQ(sim.Control({"service", "start"}), 0);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  sim.Stop();  // SIGTERM: a clean exit removes the pid file
  SC_HANDLE again = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE stopped = OpenServiceW(again, L"ClusSvc", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(QueryServiceStatus(stopped, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SUCCESS));
  CloseServiceHandle(stopped);
  CloseServiceHandle(again);
}

TEST(Clussimd, BadCommandsSayWhatIsWrongAndChangeNothing) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  std::string before;
  ASSERT_EQ(sim.Control({"status"}, &before), 0);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"node", "explode", "FS-NODE1"}, "usage: node down|up|pause|resume NAME"},
      {{"node", "down", "NOPE"}, "no node \"NOPE\""},
      {{"group", "move", "Files", "NOPE"}, "no node \"NOPE\""},
      {{"add", "gizmo", "X"}, "unknown kind \"gizmo\""},
      {{"delete", "group", "Files"}, "still contains resources"},
      {{"set", "group", "Files", "FailoverThreshold", "lots"}, "is a number"},
      {{"load", "/nonexistent/scenario.json"}, "/nonexistent/scenario.json"},
      {{"service", "start"}, "running already"},
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(sim.Control(c.args, &output), 1) << c.args[0];
    EXPECT_NE(output.find(c.message), std::string::npos) << "got: " << output;
  }
  std::string after;
  ASSERT_EQ(sim.Control({"status"}, &after), 0);
  EXPECT_EQ(before, after);
}

TEST(Clussimd, MalformedAndOverlongLinesAreRefused) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  const std::string socket = sim.Directory() + "/clussvc.sock";
  const auto ask = [&](int fd, const std::string& line) {
    winapi::cluster::WriteLine(fd, line);
    winapi::cluster::LineBuffer in;
    std::string reply;
    char chunk[4096];
    while (in.Next(reply) != winapi::cluster::LineBuffer::Result::Line) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return std::string("EOF");
      in.Append(chunk, static_cast<size_t>(n));
    }
    return reply;
  };
  const int fd = winapi::cluster::ConnectUnix(socket);
  ASSERT_GE(fd, 0);
  EXPECT_NE(ask(fd, "not json").find("\"status\":13"), std::string::npos);
  EXPECT_NE(ask(fd, R"({"v":99,"op":"hello"})").find("\"status\":1306"), std::string::npos);
  EXPECT_NE(ask(fd, R"({"v":1,"op":"open","kind":"node"})").find("\"status\":5042"), std::string::npos);
  EXPECT_NE(ask(fd, R"({"v":1,"op":"hello"})").find("\"status\":0"), std::string::npos);  // still usable
  close(fd);

  // An over-long line ends the connection, the daemon keeps serving others.
  const int big = winapi::cluster::ConnectUnix(socket);
  ASSERT_GE(big, 0);
  const std::string junk(winapi::cluster::kMaxLineBytes + 10, 'x');
  EXPECT_NE(ask(big, junk).find("\"status\":13"), std::string::npos);
  char byte;
  EXPECT_EQ(read(big, &byte, 1), 0);
  close(big);
  EXPECT_EQ(sim.Control({"status"}), 0);
}

}  // namespace
