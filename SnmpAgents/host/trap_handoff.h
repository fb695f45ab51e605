// Traps on their way from the agents' trap threads to the SNMP thread: a bounded FIFO
// and a pipe whose read end wakes the SNMP thread's select loop. Producers never call
// net-snmp.
#pragma once
#include <cstddef>
#include <deque>
#include <mutex>

#include "host_types.h"

namespace host {

class TrapHandoff {
 public:
  explicit TrapHandoff(size_t capacity);
  ~TrapHandoff();
  TrapHandoff(const TrapHandoff&) = delete;
  TrapHandoff& operator=(const TrapHandoff&) = delete;

  // False when the queue is full: the trap is dropped and counted.
  bool Push(Trap trap);
  bool Pop(Trap& trap);
  // Puts a trap back at the front, when it could not be sent.
  void Unpop(Trap trap);
  size_t Size() const;
  // Traps dropped since the last call.
  size_t TakeDropped();

  int WakeFd() const { return pipe_[0]; }
  // Empties the pipe; called by the SNMP thread when the wake fd is readable.
  void DrainWake();
  // Wakes the SNMP thread again, for the rest of a long queue.
  void Rewake() { Wake(); }

 private:
  void Wake();

  mutable std::mutex lock_;
  std::deque<Trap> traps_;
  size_t capacity_;
  size_t dropped_ = 0;
  int pipe_[2] = {-1, -1};
};

}  // namespace host
