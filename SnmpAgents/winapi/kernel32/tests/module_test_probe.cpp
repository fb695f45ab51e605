// A module whose DllMain leaves a trace of its calls in the environment variable
// MODULE_TEST_PROBE_LOG: "A" for attach, "D0"/"D1" for detach with a null/non-null
// lpReserved. With MODULE_TEST_PROBE_FAIL set, the attach fails.
#include <windows.h>

#include <cstdio>
#include <string>

#if defined(_WIN32)
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

void Append(const wchar_t* event) {
  wchar_t log[256] = {};
  GetEnvironmentVariableW(L"MODULE_TEST_PROBE_LOG", log, 256);
  SetEnvironmentVariableW(L"MODULE_TEST_PROBE_LOG", (std::wstring(log) + event).c_str());
}

}  // namespace

// A static of an inline function is a unique symbol on Linux: the host loader never
// unmaps the module, as it keeps any C++ library with such symbols, so a later load
// finds it still mapped and must attach it again.
inline int& AnswerCount() {
  static int count = 0;
  return count;
}

PROBE_EXPORT int ProbeAnswer() {
  ++AnswerCount();
  return 42;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    Append(L"A");
    return GetEnvironmentVariableW(L"MODULE_TEST_PROBE_FAIL", nullptr, 0) == 0;
  }
  if (reason == DLL_PROCESS_DETACH) {
    Append(reserved ? L"D1" : L"D0");
    // Seen by the exit test, after the process's own output is done.
    if (reserved) std::fputs("probe detached at exit\n", stderr);
  }
  return TRUE;
}
