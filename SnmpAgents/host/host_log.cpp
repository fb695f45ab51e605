#include "host_log.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace host {
namespace {

std::atomic<LogLevel> g_minimum{LogLevel::Info};
std::mutex g_lock;

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Warning: return "warning";
    case LogLevel::Error: return "error";
  }
  return "?";
}

}  // namespace

void SetLogLevel(LogLevel minimum) { g_minimum = minimum; }

void HostLog(LogLevel level, const std::string& message) {
  if (level < g_minimum) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> guard(g_lock);
  std::fprintf(stderr, "%s snmpext-host[%d] %s: %s\n", stamp, static_cast<int>(getpid()), LevelName(level),
               message.c_str());
  std::fflush(stderr);
}

}  // namespace host
