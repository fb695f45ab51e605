// Debugger output: stderr, or the file named by WINAPI_DEBUG_OUTPUT.
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "codepage.h"
#include "errors.h"
#include "paths.h"
#include "wide_text.h"

namespace {

// One write per message: O_APPEND makes each land whole at the end, across threads and
// processes.
void WriteDebugText(const std::string& text) {
  if (text.empty()) return;
  const char* target = std::getenv("WINAPI_DEBUG_OUTPUT");
  int fd = 2;
  if (target && *target) {
    const std::string path = winapi::ToHostPath(winapi::WideFromUtf8(target));  // Windows or host path
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (fd < 0) return;
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (fd != 2) close(fd);
}

}  // namespace

// OutputDebugStringW: keeps the caller's last error, as Windows does; a message that cannot
// be converted for lack of memory is dropped.
extern "C" WINBASEAPI void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (!lpOutputString) return;
  const DWORD saved = GetLastError();
  winapi::GuardedBool([&] {
    WriteDebugText(winapi::Utf8FromWide(lpOutputString));
    return TRUE;
  });
  SetLastError(saved);
}

// OutputDebugStringA: the text is in the ANSI code page.
extern "C" WINBASEAPI void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (!lpOutputString) return;
  const DWORD saved = GetLastError();
  winapi::GuardedBool([&] {
    WriteDebugText(winapi::Utf8FromWide(winapi::WideFromAnsi(lpOutputString)));
    return TRUE;
  });
  SetLastError(saved);
}

// IsDebuggerPresent
extern "C" WINBASEAPI BOOL WINAPI IsDebuggerPresent(void) { return FALSE; }
