// Runs an extension agent's queries on a thread of its own, so that the host's event
// loop goes on answering the master (its pings included) while an agent holds a request,
// as the cluster agent does while it rebuilds its MIB. Completed queries are handed back
// on the event loop's thread through a descriptor that becomes readable.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace host {

class QueryWorkers {
 public:
  using Work = std::function<void()>;  // runs on the agent's thread
  using Done = std::function<void()>;  // runs on the event loop's thread

  QueryWorkers();
  ~QueryWorkers();
  QueryWorkers(const QueryWorkers&) = delete;
  QueryWorkers& operator=(const QueryWorkers&) = delete;

  // Queues work for the agent's thread (one per key, started on first use), in order.
  void Submit(const void* agent, Work work, Done done);
  // Readable while completed work waits for RunCompleted.
  int CompletionFd() const { return fd_; }
  // Runs the Done of every completed job, in completion order.
  void RunCompleted();
  // Ends every thread after its current job; queued jobs are dropped.
  void Stop();

 private:
  struct Job {
    Work work;
    Done done;
  };
  struct Lane {
    std::deque<Job> queue;
    std::thread thread;
  };
  void RunLane(Lane& lane);

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::pair<const void*, Lane>> lanes_;
  std::deque<Done> completed_;
  bool stopping_ = false;
  int fd_;
};

}  // namespace host
