// Remote machines are out of reach: calls naming one fail as Windows does for a server
// that does not answer.
#pragma once
#include <windows.h>

namespace winapi {

// True for null, empty, ".", "localhost" and this host's name (with or without
// leading backslashes and domain).
bool IsLocalMachine(LPCWSTR machine);

}  // namespace winapi
