// File descriptors of the layer's own plumbing: whole writes and Unix-socket connections.
#pragma once
#include <string>
#include <string_view>

namespace winapi {

// Writes every byte, retrying after signals; false (errno set) on an error.
bool WriteAll(int fd, std::string_view bytes);
// Connects to a Unix stream socket; -1 with errno on failure (ENAMETOOLONG for a path
// that does not fit).
int ConnectUnixSocket(const std::string& path);

}  // namespace winapi
