#include "trap_handoff.h"

#include <fcntl.h>
#include <unistd.h>

namespace host {

TrapHandoff::TrapHandoff(size_t capacity) : capacity_(capacity) {
  if (pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0) pipe_[0] = pipe_[1] = -1;
}

TrapHandoff::~TrapHandoff() {
  for (int fd : pipe_)
    if (fd >= 0) close(fd);
}

bool TrapHandoff::Push(Trap trap) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (traps_.size() >= capacity_) {
      ++dropped_;
      return false;
    }
    traps_.push_back(std::move(trap));
  }
  Wake();
  return true;
}

bool TrapHandoff::Pop(Trap& trap) {
  std::lock_guard<std::mutex> guard(lock_);
  if (traps_.empty()) return false;
  trap = std::move(traps_.front());
  traps_.pop_front();
  return true;
}

void TrapHandoff::Unpop(Trap trap) {
  std::lock_guard<std::mutex> guard(lock_);
  traps_.push_front(std::move(trap));
}

size_t TrapHandoff::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return traps_.size();
}

size_t TrapHandoff::TakeDropped() {
  std::lock_guard<std::mutex> guard(lock_);
  const size_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

void TrapHandoff::Wake() {
  const char byte = 1;
  // A full pipe already wakes the reader.
  [[maybe_unused]] const ssize_t ignored = write(pipe_[1], &byte, 1);
}

void TrapHandoff::DrainWake() {
  char buffer[256];
  while (read(pipe_[0], buffer, sizeof buffer) > 0) {
  }
}

}  // namespace host
