// An allocation fault looped over a pass of API calls: each step is one call (or a
// call and what it needs), its result folded into an Outcome. The pass allocates nothing
// of its own while a fault is armed: its handles and buffers live in a Pass made before.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iterator>
#include <ostream>

#include "allocation_fault.h"

namespace fault_injection {

struct Outcome {
  DWORD error;  // the Win32 error or HRESULT of the call
  DWORD value;  // what it returned, folded into a number
  bool operator==(const Outcome&) const = default;
};

inline void PrintTo(const Outcome& outcome, std::ostream* out) {
  *out << "{0x" << std::hex << outcome.error << ", 0x" << outcome.value << std::dec << "}";
}

// FNV-1a over bytes, for folding returned names and buffers into an Outcome.
inline DWORD Fold(const void* data, std::size_t bytes, DWORD hash = 2166136261u) {
  for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ static_cast<const BYTE*>(data)[i]) * 16777619u;
  return hash;
}
inline DWORD Fold(const wchar_t* text) { return text ? Fold(text, wcslen(text) * sizeof(wchar_t)) : 0; }

// What a failed call may leave behind: handles of the layer's table and descriptors of
// the process, counted before the faults and compared after each.
struct OpenCounts {
  DWORD handles = 0;
  long descriptors = 0;

  static OpenCounts Now() {
    OpenCounts counts;
    GetProcessHandleCount(GetCurrentProcess(), &counts.handles);
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    counts.descriptors = std::distance(begin(entries), end(entries));
    return counts;
  }

  void ExpectUnchanged(long n, std::size_t step) const {
    const OpenCounts now = Now();
    EXPECT_EQ(handles, now.handles) << "fault " << n << " in step " << step << " leaves a handle open";
    EXPECT_EQ(descriptors, now.descriptors) << "fault " << n << " in step " << step << " leaves a descriptor open";
  }
};

template <class Pass>
using Step = Outcome (*)(Pass&);

// Runs the steps in order until one answers `outOfMemory` or, given a reference, answers
// otherwise than it; returns how many ran.
template <class Pass, std::size_t N>
std::size_t RunPass(const Step<Pass> (&steps)[N], Pass& pass, DWORD outOfMemory, std::array<Outcome, N>& outcomes,
                    const std::array<Outcome, N>* reference = nullptr) {
  for (std::size_t i = 0; i < N; ++i) {
    outcomes[i] = steps[i](pass);
    if (outcomes[i].error == outOfMemory || (reference && outcomes[i] != (*reference)[i])) return i + 1;
  }
  return N;
}

// A pass without a fault must succeed at every step; then, for N = 1, 2, ... until a pass
// no longer meets the fault, the pass runs with its Nth allocation failing: the step that
// meets it answers `outOfMemory` and the steps before it as without a fault. After each
// pass pass.Close() lets go of what it holds, expectNothingLeft(n, step) checks that
// nothing stayed behind, and a pass without a fault answers as the first one did.
template <class Pass, std::size_t N>
void ExpectEveryAllocationFaultFailsOneStep(const Step<Pass> (&steps)[N], Pass& pass, DWORD outOfMemory,
                                            const std::function<void(long n, std::size_t step)>& expectNothingLeft) {
  std::array<Outcome, N> reference{};
  ASSERT_EQ(RunPass(steps, pass, outOfMemory, reference), N);
  pass.Close();
  for (std::size_t i = 0; i < N; ++i) ASSERT_EQ(reference[i].error, 0u) << "step " << i << " without a fault";

  std::array<Outcome, N> outcomes{};
  std::size_t ran = 0;
  const long end = ForEachAllocationFault(
      100000, [&] { ran = RunPass(steps, pass, outOfMemory, outcomes, &reference); },
      [&](long n, bool failed) {
        pass.Close();
        const std::size_t last = ran - 1;
        if (outcomes[last] != reference[last]) {
          EXPECT_EQ(outOfMemory, outcomes[last].error) << "fault " << n << " in step " << last;
          EXPECT_TRUE(failed) << "step " << last << " reported a lack of memory that was not there";
        }
        expectNothingLeft(n, last);
        std::array<Outcome, N> after{};
        ASSERT_EQ(RunPass(steps, pass, outOfMemory, after), N) << "after fault " << n << " in step " << last;
        pass.Close();
        EXPECT_EQ(after, reference) << "after fault " << n << " in step " << last;
      });
  EXPECT_GT(end, static_cast<long>(N)) << "the pass never ran to its end without a fault";
}

}  // namespace fault_injection
