// COM apartments: each thread keeps its model and how many initialisations it owes.
#include <objbase.h>

#include <atomic>

#include "com_internal.h"

namespace {

struct ThreadApartment {
  unsigned count = 0;
  bool singleThreaded = false;
};

thread_local ThreadApartment t_apartment;
std::atomic<bool> g_securityInitialized{false};

}  // namespace

namespace winapi::com {
bool IsThreadInitialized() { return t_apartment.count > 0; }
}  // namespace winapi::com

// CoInitializeEx
extern "C" WINOLEAPI CoInitializeEx(LPVOID /*pvReserved*/, DWORD dwCoInit) {
  const bool singleThreaded = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  auto& apartment = t_apartment;
  if (apartment.count == 0) {
    apartment.singleThreaded = singleThreaded;
    apartment.count = 1;
    return S_OK;
  }
  if (apartment.singleThreaded != singleThreaded) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

// CoInitialize
extern "C" WINOLEAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

// CoUninitialize
extern "C" WINOLEAPI_(void) CoUninitialize(void) {
  auto& apartment = t_apartment;
  if (apartment.count > 0) --apartment.count;
}

// CoInitializeSecurity
extern "C" WINOLEAPI CoInitializeSecurity(PVOID /*pSecDesc*/, LONG /*cAuthSvc*/,
                                          SOLE_AUTHENTICATION_SERVICE* /*asAuthSvc*/, void* /*pReserved1*/,
                                          DWORD /*dwAuthnLevel*/, DWORD /*dwImpLevel*/, void* /*pAuthList*/,
                                          DWORD /*dwCapabilities*/, void* /*pReserved3*/) {
  if (!winapi::com::IsThreadInitialized()) return CO_E_NOTINITIALIZED;
  if (g_securityInitialized.exchange(true)) return RPC_E_TOO_LATE;
  return S_OK;
}
