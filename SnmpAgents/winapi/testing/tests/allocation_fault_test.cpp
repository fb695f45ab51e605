// The out-of-memory hook itself: the armed allocation fails once, in every form, on the
// arming thread only, and the loop counts the allocations of a fault-free run.
#include "allocation_fault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using fault_injection::AllocationFailed;
using fault_injection::FailNthAllocation;

struct Form {
  const char* name;
  std::function<void*()> allocate;  // null when the allocation failed
  std::function<void(void*)> release;
};

template <class Fn>
void* CatchingBadAlloc(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const std::vector<Form>& Forms() {
  constexpr auto kAlign = std::align_val_t{64};
  static const std::vector<Form> forms = {
      {"new", [] { return CatchingBadAlloc([] { return ::operator new(24); }); },
       [](void* p) { ::operator delete(p); }},
      {"new[]", [] { return CatchingBadAlloc([] { return ::operator new[](24); }); },
       [](void* p) { ::operator delete[](p); }},
      {"nothrow new", [] { return ::operator new(24, std::nothrow); }, [](void* p) { ::operator delete(p); }},
      {"nothrow new[]", [] { return ::operator new[](24, std::nothrow); }, [](void* p) { ::operator delete[](p); }},
      {"aligned new", [=] { return CatchingBadAlloc([=] { return ::operator new(24, kAlign); }); },
       [=](void* p) { ::operator delete(p, kAlign); }},
      {"aligned new[]", [=] { return CatchingBadAlloc([=] { return ::operator new[](24, kAlign); }); },
       [=](void* p) { ::operator delete[](p, kAlign); }},
      {"aligned nothrow new", [=] { return ::operator new(24, kAlign, std::nothrow); },
       [=](void* p) { ::operator delete(p, kAlign); }},
  };
  return forms;
}

TEST(AllocationFault, TheArmedAllocationFailsOnceInEveryForm) {
  for (const Form& form : Forms()) {
    void* blocks[3] = {};
    FailNthAllocation(2);
    for (void*& block : blocks) block = form.allocate();
    const bool failed = AllocationFailed();
    FailNthAllocation(0);
    EXPECT_NE(blocks[0], nullptr) << form.name << ": the first allocation is before the armed one";
    EXPECT_EQ(blocks[1], nullptr) << form.name << ": the second allocation is the armed one";
    EXPECT_NE(blocks[2], nullptr) << form.name << ": one fault only";
    EXPECT_TRUE(failed) << form.name;
    if (std::string(form.name).starts_with("aligned")) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks[0]) % 64, 0u) << form.name;
    }
    for (void* block : blocks) {
      if (block) form.release(block);
    }
  }
}

TEST(AllocationFault, OtherThreadsNeitherFailNorCountDown) {
  std::atomic<bool> go{false};
  bool otherFailed = true;
  std::thread other([&] {
    while (!go) std::this_thread::yield();
    std::vector<std::string> many;
    for (int i = 0; i < 100; ++i) many.emplace_back(64, 'x');
    otherFailed = false;
  });
  FailNthAllocation(1);
  go = true;
  other.join();
  void* mine = ::operator new(8, std::nothrow);
  const bool failed = AllocationFailed();
  FailNthAllocation(0);
  EXPECT_FALSE(otherFailed) << "another thread met the fault";
  EXPECT_EQ(mine, nullptr) << "the armed thread's first allocation fails";
  EXPECT_TRUE(failed);
  ::operator delete(mine);
}

TEST(AllocationFault, LoopEndsAfterTheAllocationsOfAFaultFreeRun) {
  for (const int allocations : {0, 1, 7}) {
    int faults = 0;
    const long end = fault_injection::ForEachAllocationFault(
        100,
        [&] {
          for (int i = 0; i < allocations; ++i) ::operator delete(::operator new(16, std::nothrow));
        },
        [&](long, bool failed) { faults += failed ? 1 : 0; });
    EXPECT_EQ(end, allocations + 1) << allocations << " allocations";
    EXPECT_EQ(faults, allocations) << allocations << " allocations";
  }
  const auto fourAllocations = [] {
    for (int i = 0; i < 4; ++i) ::operator delete(::operator new(16, std::nothrow));
  };
  EXPECT_EQ(0, fault_injection::ForEachAllocationFault(3, fourAllocations, [](long, bool) {}))
      << "a limit below the allocations of a run";
}

}  // namespace
