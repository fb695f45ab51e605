// Standard handles and the console: file objects over descriptors 0, 1 and 2.
#include "fileobject.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>

#include "descriptors.h"
#include "errors.h"
#include "wide_text.h"

namespace winapi {
namespace {

struct StandardHandles {
  std::mutex lock;
  std::array<HANDLE, 3> handles{};  // input, output, error; created on first use
  bool consoleAllocated = false;
  std::wstring title;
};

StandardHandles& Standard() {
  static auto* standard = new StandardHandles;
  return *standard;
}

int SlotOf(DWORD which) {
  switch (which) {
    case STD_INPUT_HANDLE: return 0;
    case STD_OUTPUT_HANDLE: return 1;
    case STD_ERROR_HANDLE: return 2;
    default: return -1;
  }
}

// The descriptor stays open: it belongs to the process, not to the handle.
HANDLE WrapDescriptor(int fd) {
  return InsertHandle(std::make_shared<FileObject>(fd, fd == 0, fd != 0, std::string(), false));
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// GetStdHandle
extern "C" WINBASEAPI HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  return winapi::GuardedHandle<HANDLE>(
      [&]() -> HANDLE {
        const int slot = SlotOf(nStdHandle);
        if (slot < 0) {
          FailWith(ERROR_INVALID_HANDLE);
          return INVALID_HANDLE_VALUE;
        }
        auto& standard = Standard();
        std::lock_guard<std::mutex> guard(standard.lock);
        if (!standard.handles[slot]) standard.handles[slot] = WrapDescriptor(slot);
        return standard.handles[slot];
      },
      INVALID_HANDLE_VALUE);
}

// SetStdHandle
extern "C" WINBASEAPI BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
  const int slot = SlotOf(nStdHandle);
  if (slot < 0) return FailWith(ERROR_INVALID_HANDLE);
  auto& standard = Standard();
  std::lock_guard<std::mutex> guard(standard.lock);
  standard.handles[slot] = hHandle;
  return TRUE;
}

// AllocConsole: succeeds once; a process with a console gets ERROR_ACCESS_DENIED.
extern "C" WINBASEAPI BOOL WINAPI AllocConsole(void) {
  auto& standard = Standard();
  std::lock_guard<std::mutex> guard(standard.lock);
  if (standard.consoleAllocated) return FailWith(ERROR_ACCESS_DENIED);
  standard.consoleAllocated = true;
  return TRUE;
}

// FreeConsole
extern "C" WINBASEAPI BOOL WINAPI FreeConsole(void) {
  auto& standard = Standard();
  std::lock_guard<std::mutex> guard(standard.lock);
  standard.consoleAllocated = false;
  return TRUE;
}

// WriteConsoleW: the text in UTF-8, in one write.
extern "C" WINBASEAPI BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID* lpBuffer,
                                                DWORD nNumberOfCharsToWrite, LPDWORD lpNumberOfCharsWritten,
                                                LPVOID /*lpReserved*/) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = 0;
    auto file = LookupFile(hConsoleOutput);
    if (!file || !file->CanWrite()) return FailWith(ERROR_INVALID_HANDLE);
    if (!lpBuffer && nNumberOfCharsToWrite) return FailWith(ERROR_INVALID_PARAMETER);
    const std::string bytes =
        Utf8FromWide(std::wstring_view(static_cast<const wchar_t*>(lpBuffer), nNumberOfCharsToWrite));
    if (!WriteAll(file->Descriptor(), bytes)) return FailWithErrno();
    if (lpNumberOfCharsWritten) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
  });
}

// SetConsoleTitleW: kept, not shown; there is no console window.
extern "C" WINBASEAPI BOOL WINAPI SetConsoleTitleW(LPCWSTR lpConsoleTitle) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpConsoleTitle) return FailWith(ERROR_INVALID_PARAMETER);
    auto& standard = Standard();
    std::lock_guard<std::mutex> guard(standard.lock);
    standard.title = lpConsoleTitle;
    return TRUE;
  });
}
