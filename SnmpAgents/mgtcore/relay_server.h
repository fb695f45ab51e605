// The RELAY COM class of the management service stand-in: answers the Tarn requests
// ("JsonRequest", "CmdRequest"), the settings requests (OC 0xE001), the cabinet number,
// takes the client name, fires JsonEvent and Fire_CmdEvent at advised sinks, and obeys
// the control member "MgtControl" that mgtctl calls (settings changes, power events,
// slow or unresponsive replies, malformed replies and events for fault tests).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config_file.h"
#include "control_protocol.h"
#include "tarn.h"

namespace mgtcore {

enum MemberId : DISPID {
  kJsonRequest = 1,
  kTarnQuery = 2,
  kTarnRequest = 3,
  kCmdRequest = 4,
  kServerCabinetNumber = 8,
  kDefaultTimeout = 9,
  kOstrelVersion = 10,
  kClientName = 11,
  kEnableEvents = 12,
  kDisableEvents = 13,
  kMgtControl = 100,
};

class RelayObject;

// Shared by every object of the process: state, fault modes, the live objects.
class RelayService {
 public:
  // configPath: where written values are kept; empty: in memory only.
  RelayService(ServiceState state, std::string configPath = std::string());

  // Applies the configured delay or hang before a reply; false when shutting down.
  bool DelayReply();
  void Shutdown();

  // Control commands (JSON text in, JSON text out).
  std::wstring Control(const std::wstring& command);

  bool Answer(Tarn& record);
  LONG CabinetNumber();
  // Consumes one pending malformed reply of the kind ("json" or "header").
  bool TakeFault(const std::string& kind);

  void Attach(RelayObject* object);
  void Detach(RelayObject* object);
  void FireJson(const std::wstring& text);
  void FireCmd(const std::vector<uint8_t>& header, const std::vector<uint8_t>& data);
  uint64_t RequestCount() const { return m_requests; }
  void CountRequest() { ++m_requests; }

 private:
  std::vector<RelayObject*> Listeners();

  std::mutex m_lock;
  std::condition_variable m_changed;
  // Control commands, each answering with its reply text.
  std::string ControlSetting(const control::CommandReader& command);
  std::string ControlPower(const control::CommandReader& command);
  std::string ControlSlow(const control::CommandReader& command);
  std::string ControlUnresponsive(const control::CommandReader& command);
  std::string ControlFireJson(const control::CommandReader& command);
  std::string ControlFireCmd(const control::CommandReader& command);
  std::string ControlFault(const control::CommandReader& command);
  std::string ControlStatus(const control::CommandReader& command);
  std::string ControlValueSet(const control::CommandReader& command);
  std::string ControlValueShow(const control::CommandReader& command);
  void FireChange(DWORD oc, DWORD oe, int64_t value, bool viaCmd);

  // Both under m_lock.
  bool Read(Tarn& record);
  bool Write(Tarn& record);
  void Persist();

  ServiceState m_state;
  std::string m_configPath;
  DWORD m_delayMs = 0;
  bool m_unresponsive = false;
  bool m_stopping = false;
  std::map<std::string, int> m_faults;
  std::set<RelayObject*> m_objects;
  std::atomic<uint64_t> m_requests{0};
};

class RelayObject final : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  explicit RelayObject(RelayService& service);
  ~RelayObject();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argErr) override;
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  // AddRef unless the object is already being destroyed.
  bool TryAddRef();
  // Sends an event to every advised sink while events are enabled.
  void Fire(DISPID member, std::vector<VARIANT>& args);

 private:
  HRESULT JsonRequest(DISPPARAMS* params);
  HRESULT CmdRequest(DISPPARAMS* params);
  HRESULT Control(DISPPARAMS* params, VARIANT* result);

  std::atomic<ULONG> m_refs{1};
  RelayService& m_service;
  std::mutex m_lock;
  std::map<DWORD, IDispatch*> m_sinks;
  DWORD m_nextCookie = 1;
  bool m_eventsEnabled = false;
  std::wstring m_clientName;
};

class RelayFactory final : public IClassFactory {
 public:
  explicit RelayFactory(RelayService& service) : m_service(service) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  RelayService& m_service;
};

// Log lines go to stderr with a time stamp.
void Log(const std::string& line);

}  // namespace mgtcore
