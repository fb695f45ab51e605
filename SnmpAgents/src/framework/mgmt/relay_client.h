// COM client of the management service "MgtCore": attaches (reference-counted) to
// its out-of-process server RELAY, sends Tarn requests through "JsonRequest" or
// "CmdRequest", can cancel a hanging call, and receives the server's events through a
// connection point whose sink it implements itself.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "callback_map.h"
#include "com_ptr.h"
#include "critical_section.h"
#include "tarn.h"
#include "win32_handle.h"

// {5B7E21C4-93A0-11D2-A6F1-00A0D4E3B2C7}: the RELAY server class.
inline constexpr CLSID CLSID_RelayServer = {0x5B7E21C4, 0x93A0, 0x11D2, {0xA6, 0xF1, 0x00, 0xA0, 0xD4, 0xE3, 0xB2, 0xC7}};
// {71C4E0A9-2B58-11D2-8C3D-0000B7A4E219}: the server's outgoing event interface.
inline constexpr IID DIID_RelayEvents = {0x71C4E0A9, 0x2B58, 0x11D2, {0x8C, 0x3D, 0x00, 0x00, 0xB7, 0xA4, 0xE2, 0x19}};

// Dispatch IDs of the events the server fires at the sink.
enum RelayEventId : DISPID {
  kEventFireReply = 1,
  kEventFireVBReply = 2,
  kEventFireVCReply = 3,
  kEventFireCmdEvent = 4,
  kEventFireTarnEvent = 5,
  kEventJsonEvent = 6,
};

// The event side of the client.
class IRelayEvents {
 public:
  virtual ~IRelayEvents() = default;
  virtual bool EnableEvents(bool enable, bool fireCached) = 0;
  virtual void RegisterEventCallback(TarnEventCallback callback, ULONG_PTR context) = 0;
  virtual void RemoveEventCallback(TarnEventCallback callback) = 0;
};

class CRelayClient : public IRelayEvents, public IDispatch {
 public:
  CRelayClient();
  virtual ~CRelayClient();
  CRelayClient(const CRelayClient&) = delete;
  CRelayClient& operator=(const CRelayClient&) = delete;

  virtual bool Attach();
  virtual bool Detach();
  // The record's status ("ST", 22 when unanswered).
  virtual LONG Request(Tarn& record, DWORD timeoutSeconds);
  virtual bool GetServerCabinetNumber(LONG& number);
  virtual bool SetClientName(const std::wstring& name);
  virtual void Reserved() {}
  virtual void SetRequestMethod(const std::wstring& method);
  virtual bool GetRequestMethod(std::wstring& method);
  virtual HRESULT GetLastError();
  virtual std::wstring GetErrorText(HRESULT hr);
  virtual bool Request(const wchar_t* text, std::wstring& reply, DWORD timeoutSeconds);
  // Event hook, after the registered callbacks.
  virtual void Reply(Tarn& event);

  bool EnableEvents(bool enable, bool fireCached) override;
  void RegisterEventCallback(TarnEventCallback callback, ULONG_PTR context) override;
  void RemoveEventCallback(TarnEventCallback callback) override;

  bool EnableCancelRequest(bool enable);
  bool CancelRequest(DWORD timeoutSeconds);

  // Event sink.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argErr) override;

  bool IsAttached() const { return m_serverCookie != 0; }
  bool EventsEnabled() const { return m_eventCookie != 0; }
  LONG AttachCount() const { return m_attachCount.load(); }
  // -1 until the server told it.
  DISPID MemberId(const std::wstring& name) const;

  // The server is running: its service is running or starting, or, when the service
  // cannot be opened, a process "MgtCore.exe" exists.
  static bool IsServerRunning();

 protected:
  HRESULT InvokeEx(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception = nullptr);

 private:
  static bool FindServerProcess();
  HRESULT CreateServer(IDispatch*& server);
  HRESULT RegisterServer(IDispatch* server);
  void ResolveMemberIds(IDispatch* server);
  HRESULT ChooseRequestMethod();
  void FinalDetach();
  HRESULT AdviseEvents(bool fireCached);
  HRESULT UnadviseEvents();
  HRESULT RequestJson(Tarn& record, SHORT timeout);
  HRESULT RequestCmd(Tarn& record, SHORT timeout);
  void TraceRecord(const wchar_t* direction, const Tarn& record);
  HRESULT DeliverCmdEvent(DISPPARAMS* params);
  HRESULT DeliverJsonEvent(DISPPARAMS* params);
  void Deliver(Tarn& event);
  static std::wstring ModuleName();

  std::atomic<ULONG> m_sinkRefs{0};
  CKernelHandle m_attachEvent;
  CKernelHandle m_requestEvent;
  CCriticalSection m_eventsLock;
  std::set<DWORD> m_attachedThreads;
  CComPtr<IConnectionPoint> m_connectionPoint;
  CComPtr<IGlobalInterfaceTable> m_globalTable;
  std::wstring m_clientName;
  std::wstring m_configuredMethod;
  std::map<std::wstring, DISPID> m_members;
  std::wstring m_requestMethod;
  std::atomic<DWORD> m_activeCallThread{0};
  DISPID m_requestMethodId = -1;
  std::atomic<DWORD> m_serverCookie{0};
  DWORD m_attachThread = 0;
  DWORD m_serverClassCount = 0;
  DWORD m_eventsThread = 0;
  std::atomic<DWORD> m_eventCookie{0};
  std::atomic<BOOL> m_cancelled{FALSE};
  std::atomic<BOOL> m_cancelEnabled{FALSE};
  BOOL m_clientNameSet = FALSE;
  std::atomic<LONG> m_attachCount{0};
  CCallbackMap m_callbacks;

  std::vector<CLSID> m_serverClasses;
};

// RPC_E_RETRY: the server is not running.
inline constexpr HRESULT kRelayServerNotRunning = static_cast<HRESULT>(0x80010109);
// RPC_E_INVALIDMETHOD: no request method, or no server class could be created.
inline constexpr HRESULT kRelayNoRequestMethod = static_cast<HRESULT>(0x80010107);
inline constexpr LONG kTarnStatusFailed = 6;
inline constexpr LONG kTarnStatusNotImplemented = 25;
