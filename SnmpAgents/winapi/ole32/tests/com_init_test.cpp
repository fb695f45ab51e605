// COM initialisation results per thread, each sequence on a fresh thread.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

enum class Call { Mta, Sta, Legacy, Uninit };

struct Step {
  Call call;
  HRESULT expected;
};

HRESULT Perform(Call call) {
  switch (call) {
    case Call::Mta: return CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    case Call::Sta: return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    case Call::Legacy: return CoInitialize(nullptr);
    case Call::Uninit: CoUninitialize(); return S_OK;
  }
  return E_UNEXPECTED;
}

TEST(ComApartments, InitialisationResultsPerThread) {
  const std::vector<std::vector<Step>> sequences = {
      {{Call::Mta, S_OK}, {Call::Mta, S_FALSE}, {Call::Sta, RPC_E_CHANGED_MODE}, {Call::Uninit, S_OK},
       {Call::Uninit, S_OK}},
      {{Call::Sta, S_OK}, {Call::Legacy, S_FALSE}, {Call::Mta, RPC_E_CHANGED_MODE}, {Call::Uninit, S_OK},
       {Call::Uninit, S_OK}},
      // A balanced uninitialise ends the apartment: the next call starts over in any model.
      {{Call::Mta, S_OK}, {Call::Uninit, S_OK}, {Call::Sta, S_OK}, {Call::Uninit, S_OK}, {Call::Mta, S_OK},
       {Call::Uninit, S_OK}},
      // A refused change of model owes no uninitialise.
      {{Call::Mta, S_OK}, {Call::Sta, RPC_E_CHANGED_MODE}, {Call::Uninit, S_OK}, {Call::Sta, S_OK},
       {Call::Uninit, S_OK}},
  };
  for (size_t s = 0; s < sequences.size(); ++s) {
    std::vector<HRESULT> results;
    std::thread worker([&] {
      for (const auto& step : sequences[s]) results.push_back(Perform(step.call));
    });
    worker.join();
    ASSERT_EQ(sequences[s].size(), results.size());
    for (size_t i = 0; i < results.size(); ++i) {
      EXPECT_EQ(sequences[s][i].expected, results[i]) << "sequence " << s << " step " << i << std::hex
                                                      << " got 0x" << static_cast<unsigned long>(results[i]);
    }
  }
}

TEST(ComApartments, ThreadsDoNotShareTheirModel) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  HRESULT other = E_UNEXPECTED;
  std::thread worker([&] {
    other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(other)) CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(S_OK, other) << "a second thread starts its own apartment";
  CoUninitialize();
}

}  // namespace
