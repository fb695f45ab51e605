// Version resources when memory runs out: the agent reads the layer's own resource (the
// kernel32 module) with the Nth allocation failing. The call that meets the fault fails
// with ERROR_NOT_ENOUGH_MEMORY, no descriptor stays open, and the next pass without a
// fault reads the same resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "allocation_fault_pass.h"

namespace {

using fault_injection::Fold;
using fault_injection::Outcome;

struct Pass {
  std::wstring path;
  std::vector<BYTE> block = std::vector<BYTE>(1 << 16);
  DWORD size = 0;

  void Close() {}
};

Outcome Succeeded(BOOL ok, DWORD value) { return {ok ? ERROR_SUCCESS : GetLastError(), ok ? value : 0}; }

Outcome Queried(Pass& p, const wchar_t* subBlock, bool text) {
  void* value = nullptr;
  UINT length = 0;
  const BOOL ok = VerQueryValueW(p.block.data(), subBlock, &value, &length);
  const DWORD folded = !ok ? 0 : text ? Fold(static_cast<const wchar_t*>(value)) : Fold(value, length);
  return Succeeded(ok, folded);
}

using Step = fault_injection::Step<Pass>;

constexpr Step kSteps[] = {
    [](Pass& p) {
      DWORD handle = 0;
      p.size = GetFileVersionInfoSizeW(p.path.c_str(), &handle);
      return Outcome{p.size ? ERROR_SUCCESS : GetLastError(), p.size};
    },
    [](Pass& p) {
      const DWORD size = std::min<DWORD>(p.size, static_cast<DWORD>(p.block.size()));
      const BOOL ok = GetFileVersionInfoW(p.path.c_str(), 0, size, p.block.data());
      return Succeeded(ok, Fold(p.block.data(), size));
    },
    [](Pass& p) { return Queried(p, L"\\", false); },
    [](Pass& p) { return Queried(p, L"\\VarFileInfo\\Translation", false); },
    [](Pass& p) { return Queried(p, L"\\StringFileInfo\\040904B0\\OriginalFilename", true); },
};

TEST(VersionMemory, EveryAllocationFailureFailsOneCallCleanly) {
  Pass pass;
  pass.path.resize(MAX_PATH * 4);
  pass.path.resize(GetModuleFileNameW(GetModuleHandleW(L"kernel32.dll"), pass.path.data(),
                                      static_cast<DWORD>(pass.path.size())));
  ASSERT_FALSE(pass.path.empty());
  const auto open = fault_injection::OpenCounts::Now();
  fault_injection::ExpectEveryAllocationFaultFailsOneStep(kSteps, pass, ERROR_NOT_ENOUGH_MEMORY,
                                                          [&](long n, size_t step) { open.ExpectUnchanged(n, step); });
}

}  // namespace
