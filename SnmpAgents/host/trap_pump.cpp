#include "trap_pump.h"

#include <windows.h>

#include "loaded_agent.h"
#include "host_log.h"

namespace host {
namespace {

// How often a waiting trap thread looks at the stop flag.
constexpr DWORD kStopCheckMs = 200;

}  // namespace

void TrapPump::Start(LoadedAgent& agent) {
  if (!agent.HasTraps()) return;
  threads_.emplace_back([this, &agent] { Run(agent); });
}

void TrapPump::Stop() {
  stop_ = true;
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
  threads_.clear();
}

void TrapPump::Run(LoadedAgent& agent) {
  try {
    while (!stop_) {
      const DWORD wait = WaitForSingleObject(static_cast<HANDLE>(agent.TrapEvent()), kStopCheckMs);
      if (wait == WAIT_TIMEOUT) continue;
      if (wait != WAIT_OBJECT_0) {
        HostLog(LogLevel::Error, agent.Name() + ": waiting for its trap event failed; its traps stop");
        return;
      }
      Trap trap;
      while (!stop_ && agent.NextTrap(trap)) {
        if (trap.enterprise.empty()) {
          HostLog(LogLevel::Warning, agent.Name() + ": dropped a trap with a malformed enterprise or varbinds");
          continue;
        }
        // A full queue counts the drop; the SNMP thread reports the count.
        queue_.Push(std::move(trap));
      }
    }
  } catch (const std::exception& e) {
    HostLog(LogLevel::Error, agent.Name() + ": trap thread ended: " + e.what());
  }
}

}  // namespace host
