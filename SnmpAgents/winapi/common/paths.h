// Where the layer keeps its state, and how Windows paths map to the host file system.
// C:\x\y maps to <root>/drive_c/x/y, \\server\share\x to <root>/unc/server/share/x,
// a POSIX absolute path passes through, and "\" and "/" both separate.
#pragma once
#include <string>
#include <string_view>

namespace winapi {

// WINAPI_STATE_DIR, else $XDG_STATE_HOME/ferrowind, else ~/.local/state/ferrowind.
std::string StateDir();
// WINAPI_ROOT, else <state>/root.
std::string RootDir();
// WINAPI_REGISTRY, else <state>/registry.db.
std::string RegistryFile();

std::string ToHostPath(std::wstring_view windowsPath);
// The Windows form of a host path: under the root it gets its drive letter back,
// anything else stays a POSIX path.
std::wstring ToWindowsPath(std::string_view hostPath);

// mkdir -p; true when the directory exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace winapi
