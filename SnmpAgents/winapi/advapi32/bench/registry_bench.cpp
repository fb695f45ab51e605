// Registry reads and writes per second through the Win32 calls, on a private database.
#include <windows.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

constexpr const wchar_t* kKey = L"Software\\FerrowindBench";

HKEY OpenBenchKey() {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  const DWORD number = 1234;
  RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  const std::wstring text = L"C:\\Program Files\\Vornekt\\Agents\\traps.ini";
  RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
  return key;
}

void ReadDwordOnOpenKey(benchmark::State& state) {
  HKEY key = OpenBenchKey();
  for (auto _ : state) {
    DWORD value = 0, size = sizeof value;
    benchmark::DoNotOptimize(
        RegQueryValueExW(key, L"Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(key);
}
BENCHMARK(ReadDwordOnOpenKey)->ThreadRange(1, 2);

void ReadStringTwoCalls(benchmark::State& state) {
  HKEY key = OpenBenchKey();
  WCHAR buffer[128];
  for (auto _ : state) {
    DWORD size = 0;
    RegQueryValueExW(key, L"Text", nullptr, nullptr, nullptr, &size);
    benchmark::DoNotOptimize(RegQueryValueExW(key, L"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size));
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(key);
}
BENCHMARK(ReadStringTwoCalls);

// What the agent's settings readers do for every value: open, read, close.
void OpenReadClose(benchmark::State& state) {
  RegCloseKey(OpenBenchKey());
  for (auto _ : state) {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key);
    DWORD value = 0, size = sizeof value;
    benchmark::DoNotOptimize(
        RegQueryValueExW(key, L"Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
    RegCloseKey(key);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OpenReadClose);

void WriteDword(benchmark::State& state) {
  HKEY key = OpenBenchKey();
  DWORD value = 0;
  for (auto _ : state) {
    ++value;
    benchmark::DoNotOptimize(
        RegSetValueExW(key, L"Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
  }
  state.SetItemsProcessed(state.iterations());
  RegCloseKey(key);
}
BENCHMARK(WriteDword);

}  // namespace

int main(int argc, char** argv) {
  // A private registry unless the caller chose one.
  if (!std::getenv("WINAPI_REGISTRY")) {
    char dir[] = "/tmp/registry-bench-XXXXXX";
    if (mkdtemp(dir)) setenv("WINAPI_REGISTRY", (std::string(dir) + "/registry.db").c_str(), 1);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
