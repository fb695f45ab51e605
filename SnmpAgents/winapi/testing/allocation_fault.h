// Out-of-memory injection for tests: linking this library replaces every form of the
// global operator new and delete. While armed, the Nth allocation of the arming thread
// fails (std::bad_alloc, or null from the nothrow forms), once; other threads, the test
// framework's included, never fail.
//
// A test arms around the calls it examines and allocates nothing itself while armed
// (paths and buffers are made beforehand), so that only the code under test meets the fault.
#pragma once

namespace fault_injection {

// The nth allocation of the calling thread from now fails; 0 disarms.
void FailNthAllocation(long n);
// True when the armed allocation failed since the thread last armed.
bool AllocationFailed();

// Runs run() with its nth allocation failing and then check(n, failed), for n = 1, 2, ...
// until a run no longer reaches the fault (check sees failed == false once). Returns that
// n, which is one more than the allocations of a fault-free run, or 0 when `limit` runs
// all failed an allocation.
template <class Run, class Check>
long ForEachAllocationFault(long limit, Run&& run, Check&& check) {
  for (long n = 1; n <= limit; ++n) {
    FailNthAllocation(n);
    run();
    const bool failed = AllocationFailed();
    FailNthAllocation(0);
    check(n, failed);
    if (!failed) return n;
  }
  return 0;
}

}  // namespace fault_injection
