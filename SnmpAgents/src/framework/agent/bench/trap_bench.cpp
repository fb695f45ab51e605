// Cost of one trap from CreateTrap to the service's SnmpExtensionTrap call, for a trap of
// five varbinds, with forwarding to the event log and alerts off and on; and traps per
// second sustained from eight producer threads against one draining consumer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "management_settings.h"
#include "private_state.h"
#include "request_builder.h"
#include "snmp_agent.h"
#include "test_agent.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::RequestList;

constexpr wchar_t kEnterprise[] = L".1.3.6.1.4.1.884";
constexpr DWORD kTrap = 925;  // a row of the message table

// Computer name, time, object name, state, a counter: the shape of a cluster trap.
struct FiveVarbinds : RequestList {
  FiveVarbinds()
      : RequestList({L"1.3.6.1.4.1.884.2.10.1.1", L"1.3.6.1.4.1.884.2.10.1.2", L"1.3.6.1.4.1.884.2.10.1.3",
                     L"1.3.6.1.4.1.884.2.10.1.4", L"1.3.6.1.4.1.884.2.10.1.5"}) {
    SetValueText(&(*this)[0], L"NODE-A", ASN_OCTETSTRING);
    SetValueNumber(&(*this)[1], 1796600000, ASN_INTEGER);
    SetValueText(&(*this)[2], L"SQL Server Group", ASN_OCTETSTRING);
    SetValueNumber(&(*this)[3], 3, ASN_INTEGER);
    SetValueNumber(&(*this)[4], 42, ASN_COUNTER32);
  }
};

bool Deliver(CSnmpAgent& agent) {
  AsnObjectIdentifier enterprise{};
  AsnInteger32 generic = 0, specific = 0;
  AsnTimeticks stamp = 0;
  SnmpVarBindList varbinds{};
  const bool delivered = agent.SnmpTrap(&enterprise, &generic, &specific, &stamp, &varbinds);
  SnmpUtilOidFree(&enterprise);
  SnmpUtilVarBindListFree(&varbinds);
  return delivered;
}

// The agent as configured in the field: a suppression file that CreateTrap reads for
// every trap, when withIni.
void Configure(CTestAgent& agent, bool withIni) {
  if (!withIni) return;
  const std::wstring path = L"C:\\TrapTable.ini";
  WritePrivateProfileStringW(L"TrapTable", L"812", L"2", path.c_str());
  const std::wstring fileKey = std::wstring(fw::agent::kDefaultCommonRoot) + L"\\Tolvarn_MIB\\FILE";
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, fileKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExW(key, L"TrapIni", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  agent.LoadTrapConfiguration();
}

// Forwarding as installed: the messages library loaded, the event source registered with
// it as message file, so every trap is written to the event log (journal and syslog)
// and raised as an alert with its formatted text.
void SetForwarding(CTestAgent& agent, bool on) {
  g_ManagementSettings.Trap2EventLog = on ? 7 : 0;
  g_ManagementSettings.TrapToAdminAlert = on ? 7 : 0;
  if (!on) return;
  const std::wstring library = L"" FW_MESSAGES_DLL;
  agent.GetTrapAlert().LoadMessageDLL(library.c_str());
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vornekt Agents",
                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                   static_cast<DWORD>((library.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
}

void BM_CreateAndDeliver(benchmark::State& state) {
  CTestAgent agent;
  Configure(agent, state.range(1) != 0);
  SetForwarding(agent, state.range(0) != 0);
  FiveVarbinds varbinds;
  for (auto _ : state) {
    agent.CreateTrap(kEnterprise, kTrap, &varbinds.list);
    if (!Deliver(agent)) state.SkipWithError("trap not delivered");
  }
  SetForwarding(agent, false);
  state.SetItemsProcessed(state.iterations());
}

// Each iteration: eight producers queue kPerProducer traps each while the consumer,
// woken by the trap event, drains until SnmpTrap returns false.
void BM_EightProducers(benchmark::State& state) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 2000;
  CTestAgent agent;
  Configure(agent, state.range(1) != 0);
  SetForwarding(agent, state.range(0) != 0);
  HANDLE trapEvent = agent.GetTrapEvent();
  for (auto _ : state) {
    std::atomic<int> producing{kProducers};
    int delivered = 0;
    std::thread consumer([&] {
      while (delivered < kProducers * kPerProducer) {
        if (WaitForSingleObject(trapEvent, 1000) != WAIT_OBJECT_0 && producing.load() == 0) return;
        while (Deliver(agent)) ++delivered;
      }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&] {
        FiveVarbinds varbinds;
        for (int i = 0; i < kPerProducer; ++i) agent.CreateTrap(kEnterprise, kTrap, &varbinds.list);
        --producing;
      });
    }
    for (auto& producer : producers) producer.join();
    consumer.join();
    if (delivered != kProducers * kPerProducer) state.SkipWithError("traps lost");
  }
  SetForwarding(agent, false);
  state.SetItemsProcessed(state.iterations() * kProducers * kPerProducer);
}

BENCHMARK(BM_CreateAndDeliver)
    ->ArgNames({"forwarding", "ini"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EightProducers)
    ->ArgNames({"forwarding", "ini"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  conformance::UsePrivateStateDir(argv, "FW_TRAP_BENCH_STATE", "trap-bench");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
