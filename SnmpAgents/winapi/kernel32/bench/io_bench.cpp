// Costs the trace facility pays per line: formatting, code page conversion, debugger
// output, and the profile lookups the trap filter does per trap.
#include <windows.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

void FormatInserts(benchmark::State& state) {
  const DWORD_PTR args[] = {(DWORD_PTR)L"NODE-1", 42, 0xBEEF};
  wchar_t buffer[256];
  for (auto _ : state) {
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   L"Node %1 changed to state %2!d! (flags %3!08X!)%n", 0, 0, buffer, 256,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(FormatInserts);

void WideToCodePage(benchmark::State& state) {
  const UINT codePage = static_cast<UINT>(state.range(0));
  const std::wstring line = L"[12:34:56.789] (004242) CSnmpMibTree        : " + std::wstring(150, L'x') + L"\u00FC\r\n";
  char buffer[512];
  for (auto _ : state) {
    const int n = WideCharToMultiByte(codePage, 0, line.data(), static_cast<int>(line.size()), buffer, 512, nullptr,
                                      nullptr);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(WideToCodePage)->Arg(CP_ACP)->Arg(CP_UTF8);

void ProfileIntLookup(benchmark::State& state) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring path = std::wstring(dir) + L"io_bench_traps.ini";
  for (int i = 0; i < 50; ++i)
    WritePrivateProfileStringW(L"TrapTable", (L"Trap" + std::to_wstring(800 + i)).c_str(), L"1", path.c_str());
  for (auto _ : state) {
    const UINT value = GetPrivateProfileIntW(L"TrapTable", L"Trap849", 0, path.c_str());
    benchmark::DoNotOptimize(value);
  }
  DeleteFileW(path.c_str());
}
BENCHMARK(ProfileIntLookup);

void DebugOutputToFile(benchmark::State& state) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring path = std::wstring(dir) + L"io_bench_debug.txt";
  SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", path.c_str());
  const std::wstring line = L"CSnmpAgent          : " + std::wstring(100, L'x') + L"\n";
  for (auto _ : state) OutputDebugStringW(line.c_str());
  SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", nullptr);
  DeleteFileW(path.c_str());
}
BENCHMARK(DebugOutputToFile);

}  // namespace

BENCHMARK_MAIN();
