// The management client as the agent main thread drives it, not yet connected to the
// service (CTarnClient in mgmt/): attaching succeeds, requests fail, no event arrives.
#pragma once

#include <windows.h>

#include <string>

class CDetachedTarnClient {
 public:
  CDetachedTarnClient() = default;
  virtual ~CDetachedTarnClient() = default;
  CDetachedTarnClient(const CDetachedTarnClient&) = delete;
  CDetachedTarnClient& operator=(const CDetachedTarnClient&) = delete;

  void SetClientName(const wchar_t* name) { m_clientName = name ? name : L""; }
  const std::wstring& GetClientName() const { return m_clientName; }
  virtual bool Attach() { return true; }
  virtual void Detach() {}
  DWORD GetLastError() const { return m_lastError; }
  void EnableCancelRequest(bool enable) { m_cancelEnabled = enable; }
  virtual bool EnableEvents(bool /*enable*/, bool /*fireCached*/) { return true; }
  virtual void CancelRequest(DWORD /*timeoutMs*/) {}

 protected:
  std::wstring m_clientName;
  DWORD m_lastError = 0;
  bool m_cancelEnabled = false;
};
