// The management client against a running mgtcore: attach and requests over both request
// methods, events, and the faults a real service shows (not running, killed, slow,
// malformed replies and events). mgtcore runs in the test's private state directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "management_settings.h"
#include "relay_client.h"
#include "tarn_client.h"
#include "mgtcore_process.h"
#include "utf8_text.h"

namespace {

using namespace mgtcore_test;

// The service of one test; a failed start fails the test.
class TestService : public MgtCore {
 public:
  void Start(const std::string& config = kDefaultConfig) {
    ASSERT_TRUE(MgtCore::Start(config)) << "mgtcore did not start; see " << StateDir() << "/mgtcore.log";
  }
};

class RecordingAgent final : public ITarnEventTarget {
 public:
  const wchar_t* GetAgentName() override { return L"FaultTest"; }
  void RestartAgent(DWORD delayMs) override { restarts.push_back(delayMs); }
  void OnTarnEvent(Tarn&) override { ++events; }
  std::vector<DWORD> restarts;
  std::atomic<int> events{0};
};

class MgtCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    std::remove(PidFile().c_str());
  }
  void TearDown() override { CoUninitialize(); }
  TestService service_;
};

Tarn SettingsRequest(DWORD code) {
  Tarn request = Tarn::WithCommand();
  request.Set(L"OC", kConfigSpaceCode);
  request.Set(L"OE", code);
  request.Set(L"OI", 0);
  request.Set(L"CA", -1);
  return request;
}

TEST_F(MgtCoreTest, AttachFailsWhileTheServiceIsNotRunning) {
  CRelayClient client;
  EXPECT_FALSE(client.Attach());
  EXPECT_EQ(kRelayServerNotRunning, client.GetLastError());
  EXPECT_FALSE(client.IsAttached());
}

TEST_F(MgtCoreTest, BothRequestMethodsReadTheSettingsAndAttachIsCounted) {
  service_.Start();
  for (const std::wstring method : {L"", L"CmdRequest"}) {
    CRelayClient client;
    client.SetClientName(L"FaultTest");
    client.SetRequestMethod(method);
    ASSERT_TRUE(client.Attach()) << std::hex << client.GetLastError();
    std::wstring chosen;
    ASSERT_TRUE(client.GetRequestMethod(chosen));
    EXPECT_EQ(method.empty() ? L"JsonRequest" : method, chosen);

    ManagementSettings settings;
    RunConfigChecks(client, L"FaultTest", settings);
    EXPECT_TRUE(settings.ShutdownIsAllowed.load());
    EXPECT_TRUE(settings.SetAllowed.load());
    EXPECT_FALSE(settings.DoAccountCheck.load());
    EXPECT_EQ(4, settings.Trap2EventLog.load());
    EXPECT_EQ(2, settings.TrapToAdminAlert.load());
    LONG cabinet = 0;
    EXPECT_TRUE(client.GetServerCabinetNumber(cabinet));
    EXPECT_EQ(3, cabinet);

    Tarn unknown = SettingsRequest(0x1234);
    EXPECT_EQ(1, client.Request(unknown, 5)) << "the service's own status comes back";
    EXPECT_EQ(5u, unknown.Get(L"TO"));

    ASSERT_TRUE(client.Attach());
    EXPECT_EQ(2, client.AttachCount());
    client.Detach();
    EXPECT_TRUE(client.IsAttached()) << "the matching Detach leaves the connection up";
    client.Detach();
    EXPECT_FALSE(client.IsAttached());
    EXPECT_EQ(Tarn::kStatusNotAnswered, client.Request(unknown = SettingsRequest(0x3800), 0));
  }
  std::wstring reply;
  CRelayClient stream;
  ASSERT_TRUE(stream.Attach());
  EXPECT_TRUE(stream.Request(L"{\"SIP\":{\"CMD\":[{\"OC\":57345,\"OE\":14336}]}}", reply, 5));
  EXPECT_NE(std::wstring::npos, reply.find(L"\"DA\":4")) << testing::PrintToString(reply);
  EXPECT_FALSE(stream.Request(L" {}", reply, 5)) << "no XML/JSON";
  EXPECT_EQ(E_INVALIDARG, stream.GetLastError());
  stream.Detach();
  EXPECT_TRUE(service_.Stop()) << "SIGTERM ends mgtcore cleanly and removes its pid file";
}

size_t EntriesIn(const char* directory) {
  size_t count = 0;
  if (DIR* dir = opendir(directory)) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}


TEST_F(MgtCoreTest, AttachCyclesLeaveNoHandlesSocketsThreadsOrServerObjects) {
  service_.Start();
  const auto cycle = [] {
    RecordingAgent agent;
    ManagementSettings settings;
    CTarnClient client(agent, settings);
    ASSERT_TRUE(client.Attach());
    ASSERT_TRUE(client.EnableEvents(true, false));
    Tarn record = SettingsRequest(kCodeTrap2EventLog);
    EXPECT_EQ(0, client.Request(record, 5));
    EXPECT_TRUE(client.EnableEvents(false, false));
    client.Detach();
  };
  cycle();  // first use creates the process-wide parts
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  const size_t fds = EntriesIn("/proc/self/fd");
  const size_t threads = EntriesIn("/proc/self/task");
  for (int i = 0; i < 20; ++i) cycle();
  DWORD handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  EXPECT_EQ(handles, handlesAfter);
  EXPECT_EQ(fds, EntriesIn("/proc/self/fd"));
  EXPECT_TRUE(WaitUntil([&] { return EntriesIn("/proc/self/task") == threads; })) << EntriesIn("/proc/self/task");
  EXPECT_TRUE(WaitUntil([] { return ServiceStatus().find("clients=1\"") != std::string::npos; }))
      << "only mgtctl's own object is left: " << ServiceStatus();
}

TEST_F(MgtCoreTest, AnUnknownRequestMethodFailsTheAttachAndLeavesNothingAttached) {
  service_.Start();
  CRelayClient client;
  client.SetRequestMethod(L"NoSuchMethod");
  EXPECT_FALSE(client.Attach());
  EXPECT_EQ(kRelayNoRequestMethod, client.GetLastError());
  EXPECT_FALSE(client.IsAttached());
  EXPECT_EQ(0, client.AttachCount());
  client.SetRequestMethod(L"");
  EXPECT_TRUE(client.Attach()) << "a later attach starts afresh";
  EXPECT_EQ(1, client.AttachCount());
  client.Detach();
}

TEST_F(MgtCoreTest, OnlyTheAttachThreadRevokesTheServer) {
  service_.Start();
  CRelayClient client;
  ASSERT_TRUE(client.Attach());
  std::thread other([&] { client.Detach(); });
  other.join();
  EXPECT_TRUE(client.IsAttached()) << "another thread's final detach leaves the interface registered";
  client.Detach();
  EXPECT_FALSE(client.IsAttached());
}

TEST_F(MgtCoreTest, EventsChangeSettingsAndMalformedOnesAreRefused) {
  service_.Start();
  RecordingAgent agent;
  ManagementSettings settings;
  CTarnClient client(agent, settings);
  ASSERT_TRUE(client.Attach());
  ASSERT_TRUE(client.EnableEvents(true, true));
  EXPECT_EQ(2, client.AttachCount()) << "events hold an attach reference";

  ASSERT_EQ(0, Mgtctl({"set", "Trap2EventLog", "6"}));
  EXPECT_TRUE(WaitUntil([&] { return settings.Trap2EventLog.load() == 6; }));
  ASSERT_EQ(0, Mgtctl({"set", "SetAllowed", "1", "--cmd"}));
  EXPECT_TRUE(WaitUntil([&] { return settings.SetAllowed.load(); })) << "the same change as Fire_CmdEvent";
  ASSERT_EQ(0, Mgtctl({"power", "1"}));
  EXPECT_TRUE(WaitUntil([&] { return agent.events.load() == 3; }));
  ASSERT_EQ(1u, agent.restarts.size());
  EXPECT_EQ(60000u, agent.restarts[0]);
  ASSERT_EQ(0, Mgtctl({"power", "4"}));
  EXPECT_TRUE(WaitUntil([&] { return agent.events.load() == 4; }));
  EXPECT_EQ(1u, agent.restarts.size());

  // Refused at the sink: none of these reaches the agent.
  ASSERT_EQ(0, Mgtctl({"fire-json", "{\"SIP\":{\"CMD\":[{\"OC\":57346,"}));
  ASSERT_EQ(0, Mgtctl({"fire-json", "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["}));
  ASSERT_EQ(0, Mgtctl({"fire-cmd", "24534950020030", "05"}));  // a 7-byte $SIP header
  ASSERT_EQ(0, Mgtctl({"fire-cmd", "245349500200300008000000", "05"}));
  ASSERT_EQ(0, Mgtctl({"set", "TrapToAdminAlert", "7"}));
  EXPECT_TRUE(WaitUntil([&] { return settings.TrapToAdminAlert.load() == 7; })) << "good events still arrive";
  EXPECT_EQ(5, agent.events.load());

  EXPECT_TRUE(client.EnableEvents(false, false));
  EXPECT_EQ(1, client.AttachCount());
  ASSERT_EQ(0, Mgtctl({"set", "Trap2EventLog", "1"}));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(6, settings.Trap2EventLog.load()) << "no events once disabled";
  client.Detach();
  EXPECT_FALSE(client.IsAttached());
}

TEST_F(MgtCoreTest, ARequestToAKilledServiceFailsAndTheClientAttachesAgainAfterARestart) {
  service_.Start();
  CRelayClient client;
  ASSERT_TRUE(client.Attach());
  ASSERT_EQ(0, Mgtctl({"unresponsive", "on"}));
  LONG status = 0;
  auto elapsed = Clock::duration::zero();
  std::thread request([&] {
    Tarn record = SettingsRequest(kCodeTrap2EventLog);
    const auto start = Clock::now();
    status = client.Request(record, 10);
    elapsed = Clock::now() - start;
  });
  std::this_thread::sleep_for(300ms);
  service_.Kill();
  request.join();
  EXPECT_EQ(kTarnStatusFailed, status);
  EXPECT_LT(elapsed, 5s);
  client.Detach();
  EXPECT_FALSE(client.IsAttached());
  EXPECT_FALSE(client.Attach()) << "the killed service is not running";
  EXPECT_EQ(kRelayServerNotRunning, client.GetLastError());

  service_.Start();
  ASSERT_TRUE(client.Attach()) << std::hex << client.GetLastError();
  Tarn record = SettingsRequest(kCodeTrap2EventLog);
  EXPECT_EQ(0, client.Request(record, 5));
  EXPECT_EQ(4, record.DataValue().value_or(-1));
  client.Detach();
}

TEST_F(MgtCoreTest, CancelRequestEndsASlowRequestAndRefusesTheNextOnes) {
  service_.Start();
  CRelayClient client;
  ASSERT_TRUE(client.Attach());
  ASSERT_EQ(0, Mgtctl({"slow", "30000"}));
  std::atomic<bool> ready{false};
  LONG status = 0;
  HRESULT error = S_OK;
  auto elapsed = Clock::duration::zero();
  std::thread request([&] {
    client.EnableCancelRequest(true);
    ready = true;
    Tarn record = SettingsRequest(kCodeTrap2EventLog);
    const auto start = Clock::now();
    status = client.Request(record, 30);
    error = client.GetLastError();
    elapsed = Clock::now() - start;
  });
  ASSERT_TRUE(WaitUntil([&] { return ready.load(); }));
  std::this_thread::sleep_for(300ms);
  const auto cancelAt = Clock::now();
  EXPECT_TRUE(client.CancelRequest(1));
  request.join();
  EXPECT_LT(Clock::now() - cancelAt, 1500ms);
  EXPECT_EQ(kTarnStatusFailed, status);
  EXPECT_EQ(RPC_E_CALL_CANCELED, error);
  EXPECT_LT(elapsed, 2s);

  ASSERT_EQ(0, Mgtctl({"slow", "0"}));
  const uint64_t served = RequestsServed();
  Tarn later = SettingsRequest(kCodeTrap2EventLog);
  EXPECT_EQ(kTarnStatusFailed, client.Request(later, 5));
  EXPECT_EQ(static_cast<HRESULT>(RPC_S_CALL_CANCELLED), client.GetLastError());
  EXPECT_EQ(served, RequestsServed()) << "a cancelled client does not reach the server";
  client.Detach();
}

TEST_F(MgtCoreTest, MalformedRepliesAreRefused) {
  service_.Start();
  for (const auto& [method, fault] : {std::pair{L"JsonRequest", "json"}, std::pair{L"CmdRequest", "header"}}) {
    CRelayClient client;
    client.SetRequestMethod(method);
    ASSERT_TRUE(client.Attach());
    ASSERT_EQ(0, Mgtctl({"fault", fault, "1"}));
    Tarn record = SettingsRequest(kCodeTrap2EventLog);
    EXPECT_EQ(kTarnStatusFailed, client.Request(record, 5)) << fault;
    EXPECT_EQ(static_cast<HRESULT>(0x8001000F), client.GetLastError()) << fault;
    Tarn again = SettingsRequest(kCodeTrap2EventLog);
    EXPECT_EQ(0, client.Request(again, 5)) << fault << ": the next reply is good again";
    client.Detach();
  }
}

}  // namespace

TEST(MgtCoreRegistration, ASocketPathKeepsItsCharactersInTheRegistry) {
  const std::string directory = StateDir() + "/r\xC3\xA9seau-\xE2\x82\xAC";  // "réseau-€"
  mkdir(directory.c_str(), 0700);
  const std::string socket = directory + "/relay.sock";
  const std::string config = StateDir() + "/mgtcore-socket.json";
  std::ofstream(config) << kDefaultConfig;
  const pid_t pid = Spawn({MGTCORE_PROGRAM, "--config", config, "--socket", socket}, StateDir() + "/mgtcore.log", true);
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream file(PidFile());
    pid_t written = 0;
    return (file >> written) && written == pid;
  }));
  HKEY key = nullptr;
  std::wstring value(1024, L'\0');
  DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  LSTATUS read = ERROR_FILE_NOT_FOUND;
  // The class id is the server's: find the LocalServer32 key whose "Socket" names our socket.
  HKEY classes = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID", 0, KEY_READ, &classes) == ERROR_SUCCESS) {
    wchar_t name[128];
    for (DWORD i = 0; read != ERROR_SUCCESS; ++i) {
      DWORD length = 128;
      if (RegEnumKeyExW(classes, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (RegOpenKeyExW(classes, (std::wstring(name) + L"\\LocalServer32").c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        continue;
      size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
      read = RegQueryValueExW(key, L"Socket", nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &size);
      RegCloseKey(key);
    }
    RegCloseKey(classes);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_EQ(read, ERROR_SUCCESS);
  value.resize(wcslen(value.c_str()));
  EXPECT_EQ(value, WideFromUtf8(socket)) << "the registry holds the path's characters, not its bytes";
  EXPECT_NE(value.find(L"r\u00E9seau-\u20AC"), std::wstring::npos);
}
