// The local CIB's change notifications, through Pacemaker's libcib, as a descriptor: it
// becomes readable on every change and whenever the connection to the CIB manager comes
// or goes. libcib delivers on a GLib main loop, which runs on a thread of its own; the
// server's thread only reads the descriptor.
#pragma once
#include <atomic>
#include <string>
#include <thread>

namespace pcmkclus {

class CibWatch {
 public:
  // retrySeconds: how often a lost connection is tried again.
  explicit CibWatch(unsigned retrySeconds);
  ~CibWatch();
  CibWatch(const CibWatch&) = delete;
  CibWatch& operator=(const CibWatch&) = delete;

  // Starts the thread; false with the reason when it cannot (one watch per process).
  bool Start(std::string& error);
  int Descriptor() const { return event_; }
  // Whether the last attempt to reach the CIB manager holds.
  bool Connected() const { return connected_.load(); }
  // Clears the descriptor; whether anything had happened since the last call.
  bool Acknowledge();
  // Changes seen since the watch started.
  unsigned long long Changes() const { return changes_.load(); }

 private:
  void Run();

  unsigned retrySeconds_;
  int event_ = -1;
  std::thread thread_;
  std::atomic<bool> connected_{false};
  std::atomic<unsigned long long> changes_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace pcmkclus
