#include "query_worker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace host {

QueryWorkers::QueryWorkers() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

QueryWorkers::~QueryWorkers() {
  Stop();
  if (fd_ >= 0) close(fd_);
}

void QueryWorkers::Submit(const void* agent, Work work, Done done) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) return;
  Lane* lane = nullptr;
  for (auto& entry : lanes_) {
    if (entry.first == agent) lane = &entry.second;
  }
  if (!lane) {
    lane = &lanes_.emplace_back(agent, Lane{}).second;
    lane->thread = std::thread([this, lane] { RunLane(*lane); });
  }
  lane->queue.push_back({std::move(work), std::move(done)});
  wake_.notify_all();
}

void QueryWorkers::RunLane(Lane& lane) {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [&] { return stopping_ || !lane.queue.empty(); });
    if (stopping_) return;
    Job job = std::move(lane.queue.front());
    lane.queue.pop_front();
    guard.unlock();
    job.work();
    guard.lock();
    completed_.push_back(std::move(job.done));
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
  }
}

void QueryWorkers::RunCompleted() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
  std::deque<Done> ready;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ready.swap(completed_);
  }
  for (Done& done : ready) done();
}

void QueryWorkers::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    wake_.notify_all();
  }
  for (auto& entry : lanes_) {
    if (entry.second.thread.joinable()) entry.second.thread.join();
  }
}

}  // namespace host
