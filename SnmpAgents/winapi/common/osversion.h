// The Windows version the layer reports (Windows Server 2022), in GetVersionExW and as
// the file version of the layer itself, which stands for kernel32.dll.
#pragma once

namespace winapi {
inline constexpr unsigned kOsMajor = 10;
inline constexpr unsigned kOsMinor = 0;
inline constexpr unsigned kOsBuild = 20348;
inline constexpr unsigned kOsRevision = 1;
}  // namespace winapi
