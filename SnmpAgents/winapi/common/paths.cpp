#include "paths.h"

#include <mutex>
#include <set>

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cwctype>

#include "wide_text.h"

namespace winapi {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string Slashes(std::string text) {
  for (auto& c : text)
    if (c == '\\') c = '/';
  return text;
}

bool IsDriveLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

}  // namespace

std::string StateDir() {
  std::string dir = Env("WINAPI_STATE_DIR");
  if (dir.empty()) {
    const std::string xdg = Env("XDG_STATE_HOME");
    if (!xdg.empty()) dir = xdg + "/ferrowind";
  }
  if (dir.empty()) {
    const std::string home = Env("HOME");
    dir = home.empty() ? std::string("/tmp/ferrowind") : home + "/.local/state/ferrowind";
  }
  MakeDirectories(dir);
  return dir;
}

std::string RootDir() {
  std::string root = Env("WINAPI_ROOT");
  if (root.empty()) root = StateDir() + "/root";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string RegistryFile() {
  std::string file = Env("WINAPI_REGISTRY");
  return file.empty() ? StateDir() + "/registry.db" : file;
}

namespace {

// The system drive always exists on Windows; its root directory is made on first use.
// Never destroyed: paths are still mapped by destructors that run at process exit.
std::string SystemDriveRoot() {
  static auto* lock = new std::mutex;
  static auto* made = new std::set<std::string>;
  std::string root = RootDir() + "/drive_c";
  std::lock_guard<std::mutex> guard(*lock);
  if (made->insert(root).second) MakeDirectories(root);
  return root;
}

}  // namespace

std::string ToHostPath(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\")) path.remove_prefix(4);
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') {
    const char drive = static_cast<char>(std::tolower(static_cast<int>(path[0])));
    std::string host = drive == 'c' ? SystemDriveRoot() : RootDir() + "/drive_" + drive;
    std::string rest = Slashes(Utf8FromWide(path.substr(2)));
    if (!rest.empty() && rest[0] != '/') host += '/';
    return host + rest;
  }
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    return RootDir() + "/unc/" + Slashes(Utf8FromWide(path.substr(2)));
  }
  if (!path.empty() && path[0] == L'\\') return SystemDriveRoot() + Slashes(Utf8FromWide(path));
  return Slashes(Utf8FromWide(path));
}

std::wstring ToWindowsPath(std::string_view host) {
  const std::string prefix = RootDir() + "/drive_";
  if (host.size() > prefix.size() && host.substr(0, prefix.size()) == prefix &&
      std::isalpha(static_cast<unsigned char>(host[prefix.size()])) &&
      (host.size() == prefix.size() + 1 || host[prefix.size() + 1] == '/')) {
    std::wstring out;
    out += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(host[prefix.size()])));
    out += L':';
    std::wstring rest = WideFromUtf8(host.substr(prefix.size() + 1));
    for (auto& c : rest)
      if (c == L'/') c = L'\\';
    return rest.empty() ? out + L"\\" : out + rest;
  }
  return WideFromUtf8(host);
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeDirectories(path.substr(0, slash));
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace winapi
