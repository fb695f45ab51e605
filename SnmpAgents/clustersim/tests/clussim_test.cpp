// clussimd as a process: the service registration, clussim's messages and warnings,
// faults, bad input on the service socket, and a clean exit on SIGTERM.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "cluster_protocol.h"
#include "cluster_simulator.h"
#include "control_protocol.h"

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
      {{"node", "explode", "FS-NODE1"}, "usage: node down|up|pause|resume|join NAME"},
      {{"node", "resume", "FS-NODE1"}, "node \"FS-NODE1\" is up, not paused"},
      {{"node", "join", "FS-NODE1"}, "only a down node can join"},
      {{"delete", "node", "FS-NODE1"}, "only a down node can be evicted"},
      {{"delete", "resource", "Users Share"}, "is online: take it offline first"},
      {{"group", "pending", "Files"}, "nothing is pending"},
      {{"resource", "pending", "Disk S:"}, "usage: resource online|offline|fail NAME"},
      {{"network", "explode", "Public"}, "usage: network up|down|partition|unavailable NAME"},
      {{"netinterface", "down", "FS-NODE1 - Public"}, "usage: netinterface up|fail|unreachable NAME"},
      {{"network", "down", "NOPE"}, "no network \"NOPE\""},
      {{"set", "node", "FS-NODE1", "common.Name", "X"}, "the name of a node cannot be changed"},
      {{"registry", "add", "parameters"}, "registry key \"parameters\" exists already"},
      {{"registry", "set", "Resources", "A", "1"}, "belong to the resources"},
      {{"registry", "delete", "Parameters", "Nothing"}, "has no value \"Nothing\""},
      {{"registry", "rename", "Parameters", "X"}, "usage: registry add KEY"},
      {{"node", "down", "NOPE"}, "no node \"NOPE\""},
      {{"group", "move", "Files", "NOPE"}, "no node \"NOPE\""},
      {{"add", "gizmo", "X"}, "unknown kind \"gizmo\""},
      {{"delete", "group", "Files"}, "still contains resources"},
      {{"set", "group", "Files", "FailoverThreshold", "lots"}, "is a number"},
      {{"load", "/nonexistent/scenario.json"}, "/nonexistent/scenario.json"},
      {{"service", "start"}, "running already"},
      {{"fault", "node", "FS-NODE1"}, "usage: fault KIND NAME"},
      {{"fault", "node", "FS-NODE1", "state"}, "usage: fault KIND NAME"},
      {{"fault", "gizmo", "X", "clear"}, "unknown kind \"gizmo\""},
      {{"fault", "node", "NOPE", "state", "5"}, "no node \"NOPE\""},
      {{"fault", "node", "NOPE", "clear"}, "no node \"NOPE\""},
      {{"fault", "node", "FS-NODE1", "slow", "5"}, "unknown fault \"slow\""},
      {{"fault", "node", "FS-NODE1", "state", "five"}, "\"five\" is not a Win32 error code"},
      {{"fault", "node", "FS-NODE1", "state", "-5"}, "\"-5\" is not a Win32 error code"},
      {{"fault", "node", "FS-NODE1", "state", "4294967296"}, "\"4294967296\" is not a Win32 error code"},
      {{"fault", "restype", "IP Address", "open", "5"}, "a resource type has no open"},
      {{"fault", "group", "Files", "private", "234"}, "ERROR_MORE_DATA"},
      {{"add", "netinterface", "X", "FS-NODE1", "PUBLIC"}, "already (\"FS-NODE1 - Public\")"},
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

TEST(Clussimd, FaultsShowInStatusUntilClearedOrReplacedByALoad) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  std::string output;
  struct Command {
    std::vector<std::string> args;
    const char* reply;
  };
  const Command commands[] = {
      {{"fault", "group", "files", "state", "5"}, "state of group \"files\" fails with 5"},
      {{"fault", "GROUP", "Files", "common", "0x490"}, "common of group \"Files\" fails with 1168"},
      {{"fault", "restype", "IP Address", "readonly", "13"}, "readonly of restype \"IP Address\" fails with 13"},
  };
  for (const auto& c : commands) {
    ASSERT_EQ(sim.Control(c.args, &output), 0) << output;
    EXPECT_NE(output.find(c.reply), std::string::npos) << output;
  }
  ASSERT_EQ(sim.Control({"status"}, &output), 0);
  EXPECT_NE(output.find("  Files  online  on FS-NODE2  faults: state 5, common 1168\n"), std::string::npos) << output;
  EXPECT_NE(output.find("  IP Address  faults: readonly 13\n"), std::string::npos) << output;

  ASSERT_EQ(sim.Control({"fault", "group", "Files", "state", "0"}, &output), 0);
  EXPECT_NE(output.find("state of group \"Files\" answers again"), std::string::npos) << output;
  ASSERT_EQ(sim.Control({"status"}, &output), 0);
  EXPECT_NE(output.find("  Files  online  on FS-NODE2  faults: common 1168\n"), std::string::npos) << output;
  ASSERT_EQ(sim.Control({"fault", "group", "Files", "clear"}, &output), 0);
  ASSERT_EQ(sim.Control({"status"}, &output), 0);
  EXPECT_NE(output.find("  Files  online  on FS-NODE2\n"), std::string::npos) << output;

  // A loss of the service keeps them, a load replaces them with the scenario's.
  ASSERT_EQ(sim.Control({"service", "stop"}), 0);
  ASSERT_EQ(sim.Control({"service", "start"}), 0);
  ASSERT_EQ(sim.Control({"status"}, &output), 0);
  EXPECT_NE(output.find("IP Address  faults: readonly 13"), std::string::npos) << output;
  ASSERT_EQ(sim.Control({"load", ClusterSimulator::Scenario("faults.json")}, &output), 0) << output;
  ASSERT_EQ(sim.Control({"status"}, &output), 0);
  EXPECT_EQ(output.find("readonly 13"), std::string::npos) << output;
  EXPECT_NE(output.find("  FT-NODE2  up  faults: state 1722\n"), std::string::npos) << output;
}

TEST(Clussimd, WarnsOfNamesThatMatchNothingAndOfValuesTheApiCuts) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("faults.json")));
  const char* expected[] = {
      "cluster.version.build: 70000 is above 65535",
      "cluster.version.csd: 85 characters: the Cluster API's szCSDVersion holds 63",
      "netinterfaces[3].node: \"FT-GHOST\" matches no node",
      "netinterfaces[4].network: \"Lost Network\" matches no network",
      "groups[1].preferredOwners[1]: \"NO-SUCH-NODE\" matches no node",
      "groups[2].preferredOwners[0]: \"NO-SUCH-NODE\" matches no node",
  };
  // The daemon says so on stderr when it starts, clussim when it loads.
  std::ifstream logFile(sim.Directory() + "/clussimd.log");
  const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
  std::string output;
  ASSERT_EQ(sim.Control({"load", ClusterSimulator::Scenario("faults.json")}, &output), 0) << output;
  for (const char* warning : expected) {
    EXPECT_NE(log.find("faults.json: warning: " + std::string(warning)), std::string::npos) << warning << "\n" << log;
    EXPECT_NE(output.find("clussim: warning: " + std::string(warning)), std::string::npos) << warning << "\n" << output;
  }
  EXPECT_EQ(output.find("FT-NODE2"), std::string::npos) << "no warning for another case of a name: " << output;

  ASSERT_EQ(sim.Control({"add", "netinterface", "N9 - Void", "N9", "Void"}, &output), 0) << output;
  EXPECT_NE(output.find("clussim: warning: node \"N9\" matches no node"), std::string::npos) << output;
  EXPECT_NE(output.find("clussim: warning: network \"Void\" matches no network"), std::string::npos) << output;
  ASSERT_EQ(sim.Control({"add", "netinterface", "N3 - Public", "ft-node3", "PUBLIC"}, &output), 0) << output;
  EXPECT_EQ(output.find("warning"), std::string::npos) << output;
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
  const struct {
    std::string line;
    DWORD status;
  } refused[] = {
      {"not json", ERROR_INVALID_DATA},
      {std::string(1000000, '['), ERROR_INVALID_DATA},  // deeper than a recursive parser's stack
      {R"({"v":99,"op":"hello"})", ERROR_REVISION_MISMATCH},
      {R"({"v":1,"op":"reboot"})", ERROR_INVALID_FUNCTION},
      {R"({"v":1,"op":"open","kind":"node"})", ERROR_INVALID_PARAMETER},
      {R"({"v":1,"op":"state","kind":"node","id":"1"})", ERROR_INVALID_PARAMETER},
      {R"({"v":1,"op":"state","kind":"node","id":999999})", ERROR_CLUSTER_NODE_NOT_FOUND},
      {R"({"v":1,"op":"control","kind":"restype","code":33554521})", ERROR_INVALID_PARAMETER},
      {R"({"v":1,"op":"control","kind":"restype","name":"IP Address","code":33554432})", ERROR_INVALID_FUNCTION},
  };
  for (const auto& request : refused) {
    EXPECT_NE(ask(fd, request.line).find("\"status\":" + std::to_string(request.status) + "}"), std::string::npos)
        << request.line.substr(0, 80);
  }
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

TEST(Clussimd, MalformedControlRequestsAreAnsweredAndChangeNothing) {
  ClusterSimulator sim;
  ASSERT_TRUE(sim.Start(ClusterSimulator::Scenario("two-node-fileserver.json")));
  std::string before;
  ASSERT_EQ(sim.Control({"status"}, &before), 0);
  const int fd = winapi::cluster::ConnectUnix(sim.Directory() + "/clussim.sock");
  ASSERT_GE(fd, 0);
  winapi::cluster::LineBuffer in;
  const auto ask = [&](const std::string& line) {
    clustersim::ControlReply reply{true, "no answer", {}};
    winapi::cluster::WriteLine(fd, line);
    std::string answer;
    char chunk[4096];
    while (in.Next(answer) != winapi::cluster::LineBuffer::Result::Line) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return reply;
      in.Append(chunk, static_cast<size_t>(n));
    }
    if (!clustersim::DecodeControlReply(answer, reply)) reply.message = "undecodable answer: " + answer;
    return reply;
  };
  const std::string lines[] = {
      "not json",
      R"({"v":1,"argv":"node down FS-NODE1"})",
      R"({"v":1,"argv":["node","down",1]})",
      R"({"v":1,"argv":["node","down","FS-NODE1"],"argv":["status"]})",
      "{\"v\":1,\"argv\":[\"node\",\"down\",\"FS-NODE1\xff\"]}",
      R"({"v":1,"argv":[)" + std::string(1000000, '['),
  };
  for (const auto& line : lines) {
    const auto reply = ask(line);
    EXPECT_FALSE(reply.ok) << line.substr(0, 60);
    EXPECT_EQ(reply.message, "malformed control request") << line.substr(0, 60);
  }
  // The same connection still takes a good request, and nothing was applied.
  const auto status = ask(clustersim::EncodeControlRequest({{"status"}}));
  EXPECT_TRUE(status.ok) << status.message;
  close(fd);
  std::string after;
  ASSERT_EQ(sim.Control({"status"}, &after), 0);
  EXPECT_EQ(after, before);
}

}  // namespace
