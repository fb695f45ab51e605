// The host's log: one line per event on stderr, with time, level and message.
#pragma once
#include <string>

namespace host {

enum class LogLevel { Debug, Info, Warning, Error };

void SetLogLevel(LogLevel minimum);
void HostLog(LogLevel level, const std::string& message);

}  // namespace host
