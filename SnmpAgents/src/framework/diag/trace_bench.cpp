// Cost of a trace call site with tracing off, and trace lines per second into the append
// file and into the ring file.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "debug_trace.h"
#include "trace_test_support.h"

namespace {

using namespace fw::diag::testing;

constexpr wchar_t kApp[] = L"BenchApp";

// The call site as the system writes it, against an instance of our own.
#define BENCH_TRACE(trace, level, ...)                        \
  do {                                                        \
    if ((trace).IsActive()) (trace).Trace(level, __VA_ARGS__); \
  } while (0)

struct FileTrace {
  explicit FileTrace(bool ring)
      : key(ring ? L"BenchRing" : L"BenchAppend"),
        dir(TempDirFor(L"bench")),
        path(dir + (ring ? L"\\ring.log" : L"\\append.log")) {
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".txt").c_str());
    key.SetDword(kApp, L"FileDebugLevel", 2);
    key.SetString(kApp, L"TraceFile", path);
    key.SetDword(kApp, L"TraceFileMemoryMapped", ring ? 1 : 0);
    key.SetDword(kApp, L"TraceFileLimit", 0x80000000u | (16u << 20));
    key.SetDword(kApp, L"TimeStampOn", 1);
    key.SetDword(kApp, L"ThreadIdOn", 1);
    trace = std::make_unique<CDebugTrace>(key.Path());
    trace->Initialize(kApp, false);
  }
  ~FileTrace() {
    trace.reset();
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".txt").c_str());
    RemoveDirectoryW(dir.c_str());
  }
  ScratchSettingsKey key;
  std::wstring dir;
  std::wstring path;
  std::unique_ptr<CDebugTrace> trace;
};

void BM_TraceCallSiteOff(benchmark::State& state) {
  const ScratchSettingsKey key(L"BenchOff");
  CDebugTrace trace(key.Path());
  const std::wstring name = L"vnkWpClusterName";
  for (auto _ : state) {
    BENCH_TRACE(trace, 4, L"\n%-20s: lookup %s index %d", L"CSnmpMibTree", name, 42);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceCallSiteOff);

void BM_TraceLines(benchmark::State& state, bool ring) {
  FileTrace file(ring);
  int line = 0;
  for (auto _ : state) {
    BENCH_TRACE(*file.trace, 2, L"\n%-20s: request %d for %s", L"Ferrowind_MIB", ++line, L"1.3.6.1.4.1.884.2.10.2.9.1");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_TraceLines, append_file, false);
BENCHMARK_CAPTURE(BM_TraceLines, ring_file, true);

}  // namespace

BENCHMARK_MAIN();
