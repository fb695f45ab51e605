// Environment variables over the host environment, with Windows' case-insensitive names.
#include <windows.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "errors.h"
#include "paths.h"
#include "wide_text.h"

extern char** environ;

namespace winapi {
namespace {

struct WellKnown {
  std::wstring_view name;
  std::wstring_view value;
};

// What every Windows process finds in its environment.
constexpr std::array<WellKnown, 9> kWellKnown = {{
    {L"SystemRoot", L"C:\\Windows"},
    {L"windir", L"C:\\Windows"},
    {L"SystemDrive", L"C:"},
    {L"ProgramFiles", L"C:\\Program Files"},
    {L"ProgramData", L"C:\\ProgramData"},
    {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
    {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
    {L"TEMP", L"C:\\Temp"},
    {L"TMP", L"C:\\Temp"},
}};

struct Environment {
  std::mutex lock;
  std::set<std::wstring> removedWellKnown;  // upper-cased names deleted by the process
};

Environment& Env() {
  static auto* environment = new Environment;
  return *environment;
}

// The host variable whose name matches case-insensitively; exact matches win.
std::optional<std::string> HostNameOf(std::wstring_view name) {
  const std::string exact = Utf8FromWide(name);
  if (std::getenv(exact.c_str())) return exact;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    if (EqualsNoCase(WideFromUtf8(text.substr(0, equals)), name)) return std::string(text.substr(0, equals));
  }
  return std::nullopt;
}

std::optional<std::wstring> LookupLocked(std::wstring_view name) {
  if (name.empty()) return std::nullopt;
  if (auto host = HostNameOf(name)) return WideFromUtf8(std::getenv(host->c_str()));
  if (Env().removedWellKnown.count(UpperCase(name))) return std::nullopt;
  for (auto& known : kWellKnown)
    if (EqualsNoCase(known.name, name)) return std::wstring(known.value);
  return std::nullopt;
}

std::optional<std::wstring> Lookup(std::wstring_view name) {
  std::lock_guard<std::mutex> guard(Env().lock);
  return LookupLocked(name);
}

// %NAME% expanded; an unknown name stays with both percent signs, a lone percent stays.
std::wstring Expand(std::wstring_view text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != L'%') {
      out += text[i++];
      continue;
    }
    const auto close = text.find(L'%', i + 1);
    if (close == std::wstring_view::npos) {
      out.append(text.substr(i));
      break;
    }
    const auto value = Lookup(text.substr(i + 1, close - i - 1));
    out.append(value ? std::wstring_view(*value) : text.substr(i, close - i + 1));
    i = close + 1;
  }
  return out;
}

std::wstring QuoteArgument(const std::string& argument) {
  const std::wstring wide = WideFromUtf8(argument);
  if (!wide.empty() && wide.find_first_of(L" \t\"") == std::wstring::npos) return wide;
  std::wstring out = L"\"";
  for (wchar_t c : wide) {
    if (c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

std::wstring ReadCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring line;
  size_t start = 0;
  while (start < raw.size()) {
    auto end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    if (!line.empty()) line += L' ';
    line += QuoteArgument(raw.substr(start, end - start));
    start = end + 1;
  }
  return line;
}

DWORD CopyOut(const std::wstring& value, LPWSTR buffer, DWORD size) {
  if (!buffer || size <= value.size()) return static_cast<DWORD>(value.size() + 1);
  std::copy(value.begin(), value.end(), buffer);
  buffer[value.size()] = L'\0';
  return static_cast<DWORD>(value.size());
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// GetEnvironmentVariableW
extern "C" WINBASEAPI DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpName) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const auto value = Lookup(lpName);
    if (!value) {
      FailWith(ERROR_ENVVAR_NOT_FOUND);
      return 0;
    }
    if (value->empty()) SetLastError(ERROR_SUCCESS);
    return CopyOut(*value, lpBuffer, nSize);
  });
}

// SetEnvironmentVariableW: a null value deletes the variable.
extern "C" WINBASEAPI BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpName || !*lpName || std::wstring_view(lpName).find(L'=', 1) != std::wstring_view::npos)
      return FailWith(ERROR_INVALID_PARAMETER);
    auto& environment = Env();
    std::lock_guard<std::mutex> guard(environment.lock);
    const std::string hostName = HostNameOf(lpName).value_or(Utf8FromWide(lpName));
    // Everything that allocates comes before the first change, so that a failure changes nothing.
    const std::wstring upperName = UpperCase(lpName);
    if (!lpValue) {
      const bool existed = LookupLocked(lpName).has_value();
      environment.removedWellKnown.insert(upperName);
      unsetenv(hostName.c_str());
      return existed ? TRUE : FailWith(ERROR_ENVVAR_NOT_FOUND);
    }
    const std::string value = Utf8FromWide(lpValue);
    environment.removedWellKnown.erase(upperName);
    if (setenv(hostName.c_str(), value.c_str(), 1) != 0) return FailWithErrno();
    return TRUE;
  });
}

// ExpandEnvironmentStringsW: the result counts the terminator, also when it is the size
// the buffer would need.
extern "C" WINBASEAPI DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpSrc) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const std::wstring expanded = Expand(lpSrc);
    const auto needed = static_cast<DWORD>(expanded.size() + 1);
    if (!lpDst || nSize < needed) return needed;
    std::copy(expanded.begin(), expanded.end(), lpDst);
    lpDst[expanded.size()] = L'\0';
    return needed;
  });
}

// GetCommandLineW
// Without memory to read it the first time, the line is empty and read again next time.
extern "C" WINBASEAPI LPWSTR WINAPI GetCommandLineW(void) {
  static wchar_t empty[] = L"";
  return winapi::GuardedLastError<LPWSTR>(empty, [] {
    static std::wstring line = ReadCommandLine();
    return line.data();
  });
}

// GetCurrentDirectoryW
extern "C" WINBASEAPI DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
    if (!cwd) {
      FailWithErrno();
      return 0;
    }
    return CopyOut(ToWindowsPath(cwd.get()), lpBuffer, nBufferLength);
  });
}

// SetCurrentDirectoryW
extern "C" WINBASEAPI BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpPathName || !*lpPathName) return FailWith(ERROR_INVALID_PARAMETER);
    const std::string path = ToHostPath(lpPathName);
    if (chdir(path.c_str()) != 0) return errno == ENOENT ? FailWith(ERROR_FILE_NOT_FOUND) : FailWithErrno();
    return TRUE;
  });
}
