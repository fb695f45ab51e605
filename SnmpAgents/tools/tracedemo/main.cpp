// tracedemo: writes a few trace lines from two threads through the registry-configured
// trace facility, so the demo shows prefixes, levels and outputs at work.
#include <windows.h>

#include <cstdio>

#include "debug_trace.h"

namespace {

constexpr wchar_t kAppName[] = L"TraceDemo";

DWORD WINAPI Worker(LPVOID parameter) {
  const auto index = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
  for (int step = 1; step <= 3; ++step) {
    DBG_TRACE(2, L"\n%-20s: worker %d, step %d of %d", kAppName, index, step, 3);
    DBG_TRACE(4, L"\n%-20s: worker %d details: tick %I64u", kAppName, index, GetTickCount64());
    Sleep(10);
  }
  return 0;
}

}  // namespace

int main() {
  g_DebugTrace.Initialize(kAppName, true);
  if (!DBG_TRACE_ACTIVE()) {
    std::fprintf(stderr,
                 "tracedemo: tracing is off. Create HKLM\\SOFTWARE\\Debug\\TraceDemo with ConDebugLevel "
                 "or FileDebugLevel (e.g. winreg import SnmpAgents/install/demo/trace-demo.reg).\n");
    return 1;
  }
  DBG_TRACE(1, L"\n%-20s: started, process %u", kAppName, GetCurrentProcessId());
  HANDLE threads[2] = {};
  for (int i = 0; i < 2; ++i) {
    threads[i] = CreateThread(nullptr, 0, Worker, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(i + 1)), 0, nullptr);
  }
  WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  DBG_TRACE(1, L"\n%-20s: ## WARNING: a sample warning with a wide %s and a narrow %hs string", kAppName,
            L"\u00e4\u00f6\u00fc", "text");
  DBG_TRACE(3, L"\n%-20s: finished", kAppName);
  return 0;
}
