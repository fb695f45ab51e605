// The global interface table: one per process, cookies never reused.
#include "com_internal.h"

#include <map>

#include "errors.h"

namespace winapi::com {
namespace {

class GlobalTable final : public IGlobalInterfaceTable {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
      *ppv = static_cast<IGlobalInterfaceTable*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The table lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* unknown, REFIID riid, DWORD* cookie) override {
    if (!unknown || !cookie) return E_INVALIDARG;
    void* held = nullptr;
    const HRESULT hr = unknown->QueryInterface(riid, &held);
    if (FAILED(hr)) return hr;
    const HRESULT stored = GuardedHResult([&] {
      std::lock_guard guard(lock_);
      entries_[next_] = {static_cast<IUnknown*>(held), riid};
      *cookie = next_++;
      return S_OK;
    });
    if (FAILED(stored)) static_cast<IUnknown*>(held)->Release();
    return stored;
  }

  HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD cookie) override {
    IUnknown* held = nullptr;
    {
      std::lock_guard guard(lock_);
      auto it = entries_.find(cookie);
      if (it == entries_.end()) return E_INVALIDARG;
      held = it->second.object;
      entries_.erase(it);
    }
    held->Release();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    IUnknown* held = nullptr;
    {
      std::lock_guard guard(lock_);
      auto it = entries_.find(cookie);
      if (it == entries_.end()) return E_INVALIDARG;
      held = it->second.object;
      held->AddRef();  // kept alive while queried outside the lock
    }
    const HRESULT hr = held->QueryInterface(riid, ppv);
    held->Release();
    return hr;
  }

 private:
  struct Entry {
    IUnknown* object;
    IID iid;
  };
  std::mutex lock_;
  std::map<DWORD, Entry> entries_;
  DWORD next_ = 0x100;
};

}  // namespace

IGlobalInterfaceTable* GlobalInterfaceTable() {
  static GlobalTable* table = new GlobalTable;  // never destroyed: cookies may outlive static destruction
  return table;
}

}  // namespace winapi::com
