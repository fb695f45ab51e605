// Process status when memory runs out: the calls the agent makes about its own process,
// with the Nth allocation failing. The call that meets the fault fails with
// ERROR_NOT_ENOUGH_MEMORY, no descriptor stays open, and the next pass without a fault
// answers as the first one did.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>


#include "allocation_fault_pass.h"

namespace {

using fault_injection::Fold;
using fault_injection::Outcome;

struct Pass {
  HMODULE modules[1024] = {};
  WCHAR name[MAX_PATH * 4] = {};

  void Close() {}
};

Outcome Named(DWORD length, const WCHAR* name) { return {length ? ERROR_SUCCESS : GetLastError(), length ? Fold(name) : 0}; }

using Step = fault_injection::Step<Pass>;

constexpr Step kSteps[] = {
    [](Pass& p) {
      DWORD needed = 0;
      const BOOL ok = EnumProcessModules(GetCurrentProcess(), p.modules, sizeof p.modules, &needed);
      return Outcome{ok ? ERROR_SUCCESS : GetLastError(), ok ? Fold(p.modules, sizeof p.modules[0]) : 0};
    },
    [](Pass& p) { return Named(GetModuleBaseNameW(GetCurrentProcess(), nullptr, p.name, MAX_PATH), p.name); },
    [](Pass& p) {
      return Named(GetModuleFileNameExW(GetCurrentProcess(), p.modules[0], p.name, MAX_PATH * 4), p.name);
    },
    [](Pass&) {
      // The counters change from call to call: only the outcome is compared.
      PROCESS_MEMORY_COUNTERS counters{};
      const BOOL ok = GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
      return Outcome{ok ? ERROR_SUCCESS : GetLastError(), ok && counters.WorkingSetSize > 0};
    },
};

TEST(ProcessStatusMemory, EveryAllocationFailureFailsOneCallCleanly) {
  Pass pass;
  const auto open = fault_injection::OpenCounts::Now();
  fault_injection::ExpectEveryAllocationFaultFailsOneStep(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY,
                                                          [&](long n, size_t step) { open.ExpectUnchanged(n, step); });
}

}  // namespace
