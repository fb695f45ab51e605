// Client of the management service as the agent main thread drives it. Not connected to
// the service yet: attaching succeeds without a service, requests fail, no event arrives.
#pragma once

#include <windows.h>

#include <string>

class CTarnClient {
 public:
  CTarnClient() = default;
  virtual ~CTarnClient() = default;
  CTarnClient(const CTarnClient&) = delete;
  CTarnClient& operator=(const CTarnClient&) = delete;

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
