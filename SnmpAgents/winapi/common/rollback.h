// Undoes a step already taken (a descriptor opened, a file created, pages mapped, a
// handle inserted) when the code after it fails, by an early return or by a throw, so
// that a failed call leaves nothing behind. Keep() once the step is handed on.
#pragma once
#include <utility>

namespace winapi {

template <class Undo>
class Rollback {
 public:
  explicit Rollback(Undo undo) noexcept : undo_(std::move(undo)) {}
  ~Rollback() {
    if (armed_) undo_();
  }
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  void Keep() noexcept { armed_ = false; }

 private:
  Undo undo_;
  bool armed_ = true;
};

}  // namespace winapi
