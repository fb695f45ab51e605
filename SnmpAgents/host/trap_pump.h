// One thread per agent with traps: waits on the agent's trap event and calls
// SnmpExtensionTrap until it returns FALSE, as the Windows SNMP service does, handing
// each trap to the queue.
#pragma once
#include <atomic>
#include <thread>
#include <vector>

#include "trap_handoff.h"

namespace host {

class LoadedAgent;

class TrapPump {
 public:
  explicit TrapPump(TrapHandoff& queue) : queue_(queue) {}
  ~TrapPump() { Stop(); }
  TrapPump(const TrapPump&) = delete;
  TrapPump& operator=(const TrapPump&) = delete;

  void Start(LoadedAgent& agent);
  // Ends and joins every thread; the agents' trap events are not touched.
  void Stop();

 private:
  void Run(LoadedAgent& agent);

  TrapHandoff& queue_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

}  // namespace host
