#include "relay_client.h"

#include <psapi.h>
#include <winsvc.h>

#include <cwchar>
#include <cwctype>
#include <string_view>

#include "debug_trace.h"
#include "sip_header.h"
#include "token_privileges.h"

namespace {

constexpr const wchar_t* kServiceName = L"MgtCore";
constexpr const wchar_t* kServerProcess = L"MgtCore.exe";
constexpr DWORD kMaxProcesses = 4096;
constexpr LCID kLocaleSystemDefault = 2048;
constexpr LCID kLocaleUserDefault = 1024;
constexpr DWORD kCabinetNumberCode = 0xE204;
// A reply or event that does not decode (RPC_E_INVALID_DATA).
constexpr HRESULT kInvalidReply = static_cast<HRESULT>(0x8001000F);

constexpr const wchar_t* kMemberNames[] = {
    L"JsonRequest", L"TarnQuery", L"TarnRequest", L"CmdRequest", L"VCRequestEx", L"VCRequest", L"SyncRequest",
    L"ServerCabinetNumber", L"DefaultTimeout", L"OstrelVersion", L"ClientName", L"EnableEvents", L"DisableEvents"};

VARIANT ShortArgument(SHORT value) {
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_I2;
  argument.iVal = value;
  return argument;
}

VARIANT BstrReference(BSTR* text) {
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR | VT_BYREF;
  argument.pbstrVal = text;
  return argument;
}

BSTR BytesToBstr(std::span<const uint8_t> bytes) {
  return SysAllocStringByteLen(reinterpret_cast<const char*>(bytes.data()), static_cast<UINT>(bytes.size()));
}

std::wstring BstrText(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

void ModuleAnchor() {}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i]))) return false;
  }
  return true;
}

bool IsRequestFailure(HRESULT hr) { return FAILED(hr) || hr == static_cast<HRESULT>(RPC_S_CALL_CANCELLED); }

}  // namespace

CRelayClient::CRelayClient()
    : m_attachEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr)),
      m_requestEvent(CreateEventW(nullptr, FALSE, TRUE, nullptr)) {
  for (const wchar_t* name : kMemberNames) m_members[name] = -1;
  m_serverClasses.push_back(CLSID_RelayServer);
}

CRelayClient::~CRelayClient() {
  DBG_TRACE(4, L"\nCRelayClient        : Start d'tor");
  if (IsAttached()) {
    DBG_TRACE(1,
              L"\nCRelayClient        : WARNING! Destroying TARN COM client with active connection! Please call "
              L"Detach() first!");
    FinalDetach();
  }
  if (m_cancelEnabled) CoDisableCallCancellation(nullptr);
  DBG_TRACE(4, L"\nCRelayClient        : End d'tor\n");
}

std::wstring CRelayClient::ModuleName() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModuleAnchor), &module)) {
    return std::wstring();
  }
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring name(path, length);
  const size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.erase(dot);
  return name;
}

bool CRelayClient::FindServerProcess() {
  HANDLE token = nullptr;
  const bool haveToken = OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) != FALSE;
  const CKernelHandle tokenHandle(haveToken ? token : nullptr);
  if (haveToken) CTokenPrivileges::SetPrivilege(token, L"SeDebugPrivilege", true);
  std::vector<DWORD> ids(kMaxProcesses);
  DWORD needed = 0;
  bool found = false;
  if (EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &needed)) {
    ids.resize(needed / sizeof(DWORD));
    for (DWORD id : ids) {
      const CKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
      if (!process.Get()) continue;
      HMODULE module = nullptr;
      DWORD moduleBytes = 0;
      if (!EnumProcessModules(process.Get(), &module, sizeof module, &moduleBytes) || moduleBytes == 0) continue;
      wchar_t name[MAX_PATH] = {};
      if (!GetModuleBaseNameW(process.Get(), module, name, MAX_PATH)) continue;
      DBG_TRACE(4, L"\nCRelayClient        : Found process PID 0x%X \"%s\"", id, name);
      if (EqualsIgnoringCase(name, kServerProcess)) {
        found = true;
        break;
      }
    }
  }
  if (haveToken) CTokenPrivileges::SetPrivilege(token, L"SeDebugPrivilege", false);
  return found;
}

bool CRelayClient::IsServerRunning() {
  bool running = false;
  CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.Get()) {
    CServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    if (service.Get()) {
      SERVICE_STATUS status{};
      if (QueryServiceStatus(service.Get(), &status)) {
        running = status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING;
      } else {
        DBG_TRACE(1, L"\nCRelayClient        : ## ERROR! Failed to query status for service \"MgtCore\" (0x%X)",
                  ::GetLastError());
      }
    } else {
      DBG_TRACE(1, L"\nCRelayClient        : ## WARNING! Failed to open service \"MgtCore\"");
      running = FindServerProcess();
    }
  }
  DBG_TRACE(4, L"\nCRelayClient        : COM server is%s running", running ? L"" : L" NOT");
  return running;
}

bool CRelayClient::Attach() {
  DBG_TRACE(4, L"\nCRelayClient        : Attach() - Enter...");
  if (m_clientName.empty()) {
    m_clientName = ModuleName();
    if (m_clientName.empty()) {
      DBG_TRACE(2, L"\nCRelayClient        : ## WARNING! Could not get a valid module name at Attach()!");
    } else {
      DBG_TRACE(4, L"\nCRelayClient        : Attach to localhost as module \"%s\"", m_clientName);
    }
  }
  if (!IsAttached() && !IsServerRunning()) {
    DBG_TRACE(4, L"\nCRelayClient        : Attach to RELAY failed, m_LasthResult=0x%08X", kRelayServerNotRunning);
    SetLastError(static_cast<DWORD>(kRelayServerNotRunning));
    return false;
  }
  DBG_TRACE(6, L"\nCRelayClient        : Attach() - wait for attach/detach event");
  WaitForSingleObject(m_attachEvent.Get(), INFINITE);
  DBG_TRACE(6, L"\nCRelayClient        : Attach() - wait for request event");
  WaitForSingleObject(m_requestEvent.Get(), INFINITE);
  m_attachedThreads.insert(GetCurrentThreadId());

  HRESULT hr = S_OK;
  if (IsAttached()) {
    DBG_TRACE(4, L"\nCRelayClient        :   already attached");
    ++m_attachCount;
  } else {
    try {
      m_cancelled = FALSE;
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                           EOAC_NONE, nullptr);
      IDispatch* server = nullptr;
      if (SUCCEEDED(CreateServer(server))) {
        ++m_attachCount;
        hr = RegisterServer(server);
        if (SUCCEEDED(hr)) ResolveMemberIds(server);
        server->Release();
      }
      if (SUCCEEDED(hr)) hr = m_serverClassCount == 1 ? ChooseRequestMethod() : kRelayNoRequestMethod;
    } catch (...) {
      DBG_TRACE(1, L"\nCRelayClient        : ## EXCEPTION in Attach()!");
      hr = E_UNEXPECTED;
    }
    if (FAILED(hr)) {
      // A half-made attachment is undone, so that the next Attach starts afresh.
      if (IsAttached()) FinalDetach();
      m_attachCount = 0;
      m_attachedThreads.erase(GetCurrentThreadId());
    }
  }
  SetEvent(m_requestEvent.Get());
  SetEvent(m_attachEvent.Get());
  if (SUCCEEDED(hr)) {
    DBG_TRACE(4, L"\nCRelayClient        : Attach succeeded");
  } else {
    DBG_TRACE(4, L"\nCRelayClient        : Attach to RELAY failed, m_LasthResult=0x%08X", hr);
  }
  SetLastError(static_cast<DWORD>(hr));
  return SUCCEEDED(hr);
}

HRESULT CRelayClient::CreateServer(IDispatch*& server) {
  server = nullptr;
  m_serverClassCount = 0;
  HRESULT hr = REGDB_E_CLASSNOTREG;
  for (size_t index = m_serverClasses.size(); index > 0; --index) {
    DBG_TRACE(4, L"\nCRelayClient        : Attach() - Try to create interface instance %d ...", static_cast<int>(index));
    MULTI_QI result{&IID_IDispatch, nullptr, S_OK};
    hr = CoCreateInstanceEx(m_serverClasses[index - 1], nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &result);
    if (SUCCEEDED(hr)) hr = result.hr;
    const bool created = SUCCEEDED(hr) && result.pItf;
    DBG_TRACE(4, L"\nCRelayClient        : ... Attach() - interface instance %d created %s!", static_cast<int>(index),
              created ? L"OK" : L"FALSE");
    if (created) {
      server = static_cast<IDispatch*>(result.pItf);
      m_serverClassCount = static_cast<DWORD>(index);
      return S_OK;
    }
    if (result.pItf) result.pItf->Release();
  }
  return FAILED(hr) ? hr : E_NOINTERFACE;
}

HRESULT CRelayClient::RegisterServer(IDispatch* server) {
  DBG_TRACE(4, L"\nCRelayClient        : Attach() - create global interface table ...");
  HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                                m_globalTable.OutVoid());
  DBG_TRACE(4, L"\nCRelayClient        : Attach() -   global interface created, hResult=0x%08X", hr);
  if (FAILED(hr)) return hr;
  DWORD cookie = 0;
  hr = m_globalTable->RegisterInterfaceInGlobal(server, IID_IDispatch, &cookie);
  DBG_TRACE(4, L"\nCRelayClient        : Attach(): Thread ID %d: RegisterInterfaceInGlobal %s!", GetCurrentThreadId(),
            SUCCEEDED(hr) ? L"OK" : L"FAILED");
  if (FAILED(hr)) {
    m_globalTable.Reset();
    return hr;
  }
  m_attachThread = GetCurrentThreadId();
  m_serverCookie = cookie;
  return S_OK;
}

void CRelayClient::ResolveMemberIds(IDispatch* server) {
  DBG_TRACE(4, L"\nCRelayClient        : Attach() - Get dispatch IDs...");
  for (auto& [name, id] : m_members) {
    std::wstring copy = name;
    LPOLESTR names[] = {copy.data()};
    DISPID resolved = -1;
    if (FAILED(server->GetIDsOfNames(IID_NULL, names, 1, kLocaleSystemDefault, &resolved))) resolved = -1;
    id = resolved;
    DBG_TRACE(6, L"\nCRelayClient        :   ID of method %ls = %d", name, id);
  }
}

HRESULT CRelayClient::ChooseRequestMethod() {
  std::wstring chosen;
  const auto known = [&](const std::wstring& name) { return !name.empty() && MemberId(name) != -1; };
  if (!m_configuredMethod.empty()) {
    if (known(m_configuredMethod)) chosen = m_configuredMethod;
  } else if (known(L"JsonRequest")) {
    chosen = L"JsonRequest";
  } else if (known(L"CmdRequest")) {
    chosen = L"CmdRequest";
  }
  if (chosen.empty()) {
    DBG_TRACE(2, L"\nCRelayClient        : unsupported request method supplied (%s)", m_configuredMethod);
    return kRelayNoRequestMethod;
  }
  m_requestMethod = chosen;
  m_requestMethodId = MemberId(chosen);
  DBG_TRACE(4, L"\nCRelayClient        :   valid interface found, name=%ws, dispatch ID=%d", m_requestMethod,
            m_requestMethodId);
  if (!SetClientName(m_clientName)) DBG_TRACE(1, L"\nCRelayClient        : ERROR! FAILED to set application name");
  return S_OK;
}

bool CRelayClient::Detach() {
  WaitForSingleObject(m_attachEvent.Get(), INFINITE);
  WaitForSingleObject(m_requestEvent.Get(), INFINITE);
  HRESULT hr = S_OK;
  if (!IsAttached()) {
    DBG_TRACE(5, L"\nCRelayClient        : Detach() - not attached (ignored)");
  } else {
    const LONG left = --m_attachCount;
    DBG_TRACE(4, L"\nCRelayClient        : Attach reference count %d", left);
    if (left <= 0) {
      m_attachCount = 0;
      FinalDetach();
      m_attachedThreads.erase(GetCurrentThreadId());
    }
  }
  SetEvent(m_requestEvent.Get());
  SetEvent(m_attachEvent.Get());
  SetLastError(static_cast<DWORD>(hr));
  return SUCCEEDED(hr);
}

void CRelayClient::FinalDetach() {
  DBG_TRACE(4, L"\nCRelayClient        : Detach from RELAY");
  try {
    if (m_attachThread != GetCurrentThreadId()) {
      DBG_TRACE(1,
                L"\nCRelayClient        : WARNING! Attach was done using thread ID %d but the current thread is %d! "
                L"RevokeInterfaceFromGlobal() skipped!",
                m_attachThread, GetCurrentThreadId());
    } else {
      if (EventsEnabled() && m_eventsThread == GetCurrentThreadId()) UnadviseEvents();
      const HRESULT hr = m_globalTable ? m_globalTable->RevokeInterfaceFromGlobal(m_serverCookie) : E_POINTER;
      DBG_TRACE(4, L"\nCRelayClient        : Detach(): Revoke RevokeInterfaceFromGlobal returned 0x%X", hr);
      m_globalTable.Reset();
      m_serverCookie = 0;
      m_attachThread = 0;
    }
  } catch (...) {
    DBG_TRACE(1, L"\nCRelayClient        : ClientDetach() - EXCEPTION!");
  }
  m_requestMethodId = -1;
  m_requestMethod.clear();
  DBG_TRACE(4, L"\nCRelayClient        : ... Detach() done!");
}

HRESULT CRelayClient::InvokeEx(DISPID member, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
  if (m_cancelled) {
    DBG_TRACE(2, L"\nCRelayClient        : ## InvokeEx() cancelled!");
    return static_cast<HRESULT>(RPC_S_CALL_CANCELLED);
  }
  CComPtr<IDispatch> server;
  HRESULT hr = E_FAIL;
  if (m_globalTable && m_serverCookie) {
    hr = m_globalTable->GetInterfaceFromGlobal(m_serverCookie, IID_IDispatch, server.OutVoid());
  }
  if (FAILED(hr) || !server) {
    DBG_TRACE(1, L"\n\nCRelayClient        : ## ERROR! Failed to get pIDispatch in InvokeEx() (hResult = 0x%X)\n", hr);
    return FAILED(hr) ? hr : E_FAIL;
  }
  m_activeCallThread = GetCurrentThreadId();
  DBG_TRACE(5, L"\nCRelayClient        : InvokeEx() dispIdMember %d - current thread ID = %d", member,
            GetCurrentThreadId());
  EXCEPINFO local{};
  EXCEPINFO* info = exception ? exception : &local;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  hr = server->Invoke(member, IID_NULL, kLocaleUserDefault, flags, params ? params : &none, result, info, nullptr);
  if (hr == DISP_E_EXCEPTION) hr = info->scode;
  m_activeCallThread = 0;
  if (!exception) {
    SysFreeString(local.bstrSource);
    SysFreeString(local.bstrDescription);
    SysFreeString(local.bstrHelpFile);
  }
  return hr;
}

void CRelayClient::TraceRecord(const wchar_t* direction, const Tarn& record) {
  if (!DBG_TRACE_ACTIVE()) return;
  const DWORD mi = record.Get(L"MI");
  DBG_TRACE(3, L"\nCRelayClient        : Request() %s CABID %04d: OC 0x%04X-0x%04X OID 0x%04X MID 0x%04X%04X Stat 0x%02X",
            direction, static_cast<LONG>(record.Get(L"CA")), record.Get(L"OC"), record.Get(L"OE"), record.Get(L"OI"),
            mi >> 16, mi & 0xFFFF, static_cast<DWORD>(record.Status()));
}

LONG CRelayClient::Request(Tarn& record, DWORD timeoutSeconds) {
  if (record.IsEmpty()) {
    DBG_TRACE(1, L"\nCRelayClient        : ## ERROR in Request(): SIP is empty!");
    return kTarnStatusFailed;
  }
  if (m_clientName.empty()) {
    DBG_TRACE(1,
              L"\nCRelayClient        : ## ERROR! TARN client application name not set (required for debugging) - "
              L"fix this!");
  }
  const bool waited = WaitForSingleObject(m_attachEvent.Get(), INFINITE) == WAIT_OBJECT_0;
  ResetEvent(m_requestEvent.Get());
  TraceRecord(L"IN ", record);
  if (timeoutSeconds) {
    record.Set(L"TO", timeoutSeconds);
    DBG_TRACE(3, L"\nCRelayClient        :   request timeout (by argument) = %d sec.", timeoutSeconds);
  } else if (record.Has(L"TO")) {
    timeoutSeconds = record.Get(L"TO");
    DBG_TRACE(3, L"\nCRelayClient        :   request timeout (by SIP attribute) = %d sec.", timeoutSeconds);
  }
  const SHORT timeout = static_cast<SHORT>(timeoutSeconds > 0x7FFF ? 0x7FFF : timeoutSeconds);
  HRESULT hr = E_FAIL;
  if (!IsAttached()) {
    hr = E_FAIL;
  } else if (m_requestMethodId == -1) {
    record.Set(L"ST", kTarnStatusNotImplemented);
    hr = E_NOTIMPL;
  } else {
    DBG_TRACE(4, L"\nCRelayClient        : Method \"%ws\" used for TARN request", m_requestMethod);
    try {
      DBG_TRACE(4, L"\nCRelayClient        : Request() - call InvokeEx()...");
      hr = m_requestMethod == L"CmdRequest" ? RequestCmd(record, timeout) : RequestJson(record, timeout);
      DBG_TRACE(4, L"\nCRelayClient        : Request() - ... return from InvokeEx(), hResult=0x%08X", hr);
      if (IsRequestFailure(hr)) record.Set(L"ST", hr == E_NOTIMPL ? kTarnStatusNotImplemented : kTarnStatusFailed);
    } catch (...) {
      DBG_TRACE(1, L"\nCRelayClient        : ## EXCEPTION in Request()!");
      record.Set(L"ST", kTarnStatusFailed);
      hr = E_UNEXPECTED;
    }
  }
  TraceRecord(L"OUT", record);
  if (waited) {
    SetEvent(m_requestEvent.Get());
    SetEvent(m_attachEvent.Get());
  }
  SetLastError(static_cast<DWORD>(hr));
  return record.Status();
}

HRESULT CRelayClient::RequestJson(Tarn& record, SHORT timeout) {
  CBstr text(SysAllocString(record.ToJson().c_str()));
  if (!text.Get()) return E_OUTOFMEMORY;
  VARIANT args[2] = {ShortArgument(timeout), BstrReference(text.Address())};
  DISPPARAMS params{args, nullptr, 2, 0};
  const HRESULT hr = InvokeEx(m_requestMethodId, DISPATCH_METHOD, &params, nullptr);
  if (IsRequestFailure(hr) || SysStringLen(text.Get()) == 0) return hr;
  const size_t index = record.CommandIndex();
  if (!record.FromJson(BstrText(text.Get()))) {
    DBG_TRACE(1, L"\nCRelayClient        : ## ERROR! Reply of \"JsonRequest\" is no valid TARN record - refused");
    return kInvalidReply;
  }
  record.SelectCommand(index);
  return hr;
}

HRESULT CRelayClient::RequestCmd(Tarn& record, SHORT timeout) {
  SipHeader sip;
  sip.oc = record.Get(L"OC");
  sip.oe = record.Get(L"OE");
  sip.oi = record.Get(L"OI");
  sip.ca = record.Get(L"CA");
  sip.st = static_cast<DWORD>(record.Status());
  sip.mi = record.Get(L"MI");
  const auto headerBytes = BuildSipHeader(sip);
  CBstr header(BytesToBstr(headerBytes));
  CBstr data(BytesToBstr(record.DataBytes()));
  if (!header.Get() || !data.Get()) return E_OUTOFMEMORY;
  VARIANT args[3] = {ShortArgument(timeout), BstrReference(data.Address()), BstrReference(header.Address())};
  DISPPARAMS params{args, nullptr, 3, 0};
  const HRESULT hr = InvokeEx(m_requestMethodId, DISPATCH_METHOD, &params, nullptr);
  if (IsRequestFailure(hr)) return hr;
  SipHeader answer;
  if (!ParseSipHeader(header.Bytes(), answer)) {
    DBG_TRACE(1, L"\nCRelayClient        : ## ERROR! Reply of \"CmdRequest\" has no valid $SIP header - refused");
    return kInvalidReply;
  }
  record.Set(L"CA", answer.ca);
  record.Set(L"MI", answer.mi);
  record.Set(L"ST", answer.st);
  record.SetRawData(data.Bytes());
  return hr;
}

bool CRelayClient::Request(const wchar_t* text, std::wstring& reply, DWORD timeoutSeconds) {
  const wchar_t* problem = nullptr;
  if (!text) {
    problem = L"\nCRelayClient        : ## ERROR in Request(stream): Request string is NULL!";
  } else if (!*text) {
    problem = L"\nCRelayClient        : ## ERROR in Request(stream): Request string is empty!";
  } else if (*text != L'<' && *text != L'{') {
    problem = L"\nCRelayClient        : ## ERROR in Request(stream): Unknown request string type (no XML/JSON)!";
  }
  if (problem) {
    DBG_TRACE(1, problem);
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return false;
  }
  const std::wstring method = *text == L'<' ? L"TarnRequest" : L"JsonRequest";
  const bool waited = WaitForSingleObject(m_attachEvent.Get(), INFINITE) == WAIT_OBJECT_0;
  ResetEvent(m_requestEvent.Get());
  DBG_TRACE(5, L"\nCRelayClient        : Request() IN:  %s", text);
  HRESULT hr = E_FAIL;
  try {
    CBstr stream(SysAllocString(text));
    const SHORT timeout = static_cast<SHORT>(timeoutSeconds > 0x7FFF ? 0x7FFF : timeoutSeconds);
    VARIANT args[2] = {ShortArgument(timeout), BstrReference(stream.Address())};
    DISPPARAMS params{args, nullptr, 2, 0};
    hr = stream.Get() ? InvokeEx(MemberId(method), DISPATCH_METHOD, &params, nullptr) : E_OUTOFMEMORY;
    if (!IsRequestFailure(hr)) {
      reply = BstrText(stream.Get());
    } else {
      DBG_TRACE(1, L"\n\nCRelayClient        : ## ERROR! Failed to call InvokeEx(\"%ws\") (hResult = 0x%X)\n", method, hr);
    }
  } catch (...) {
    DBG_TRACE(1, L"\nCRelayClient        : ## EXCEPTION in Request()!");
    hr = E_UNEXPECTED;
  }
  DBG_TRACE(5, L"\nCRelayClient        : Request() OUT: %s", reply);
  if (waited) {
    SetEvent(m_requestEvent.Get());
    SetEvent(m_attachEvent.Get());
  }
  SetLastError(static_cast<DWORD>(hr));
  return !IsRequestFailure(hr);
}

bool CRelayClient::GetServerCabinetNumber(LONG& number) {
  const DISPID id = MemberId(L"ServerCabinetNumber");
  if (id != -1) {
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr = InvokeEx(id, DISPATCH_PROPERTYGET, nullptr, &result);
    bool read = SUCCEEDED(hr) && hr != static_cast<HRESULT>(RPC_S_CALL_CANCELLED);
    if (read && result.vt == VT_I2) number = result.iVal;
    else if (read && result.vt == VT_I4) number = result.lVal;
    else if (read && result.vt == VT_I1) number = result.cVal;
    else read = false;
    VariantClear(&result);
    if (read) return true;
  }
  Tarn query = Tarn::WithCommand();
  query.Set(L"OC", kCabinetNumberCode);
  Request(query, 0);
  if (!query.IsGoodReply()) return false;
  const auto value = query.DataValue();
  if (!value) return false;
  number = static_cast<LONG>(*value);
  return true;
}

bool CRelayClient::SetClientName(const std::wstring& name) {
  m_clientName = name;
  m_clientNameSet = TRUE;
  const DISPID id = MemberId(L"ClientName");
  if (!IsAttached() || id == -1) return false;
  CBstr text(SysAllocString(name.c_str()));
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = text.Get();
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&argument, &named, 1, 1};
  const HRESULT hr = InvokeEx(id, DISPATCH_PROPERTYPUT, &params, nullptr);
  return !IsRequestFailure(hr);
}

void CRelayClient::SetRequestMethod(const std::wstring& method) {
  m_configuredMethod = method;
  if (!method.empty() && !m_members.count(method)) m_members[method] = -1;
}

bool CRelayClient::GetRequestMethod(std::wstring& method) {
  if (m_requestMethod.empty()) return false;
  method = m_requestMethod;
  return true;
}

HRESULT CRelayClient::GetLastError() { return static_cast<HRESULT>(::GetLastError()); }

std::wstring CRelayClient::GetErrorText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length && buffer) {
    std::wstring text(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
  }
  if (buffer) LocalFree(buffer);
  wchar_t text[64] = {};
  if (HRESULT_FACILITY(hr) == FACILITY_DISPATCH) {
    swprintf(text, 64, L"IDispatch error #%d", static_cast<int>(HRESULT_CODE(hr)));
  } else {
    swprintf(text, 64, L"Unknown error 0x%0lX", static_cast<unsigned long>(static_cast<DWORD>(hr)));
  }
  return text;
}

void CRelayClient::Reply(Tarn& /*event*/) {}

bool CRelayClient::EnableCancelRequest(bool enable) {
  const HRESULT hr = enable ? CoEnableCallCancellation(nullptr) : CoDisableCallCancellation(nullptr);
  if (!enable) m_cancelled = FALSE;
  m_cancelEnabled = enable && SUCCEEDED(hr);
  DBG_TRACE(4, L"\nCRelayClient        : EnableCancelRequest(%d) - hResult = 0x%08X", enable ? 1 : 0, hr);
  return SUCCEEDED(hr);
}

bool CRelayClient::CancelRequest(DWORD timeoutSeconds) {
  m_cancelled = TRUE;
  const DWORD thread = m_activeCallThread;
  if (!thread) {
    DBG_TRACE(5, L"\nCRelayClient        : CancelRequest() - no active thread available; ignored");
    return true;
  }
  if (!m_cancelEnabled) {
    DBG_TRACE(5, L"\nCRelayClient        : CancelRequest() - Cancel request not enabled; ignored");
    return true;
  }
  DBG_TRACE(4, L"\nCRelayClient        : CancelRequest() - cancel Invoke() with thread ID=%d Timout %d sec", thread,
            timeoutSeconds);
  const HRESULT hr = CoCancelCall(thread, timeoutSeconds);
  DBG_TRACE(4, L"\nCRelayClient        : CancelRequest() - cancel result = 0x%08X", hr);
  SetLastError(static_cast<DWORD>(hr));
  return hr == S_OK;
}

bool CRelayClient::EnableEvents(bool enable, bool fireCached) {
  CCriticalSectionLock guard(m_eventsLock);
  HRESULT hr = S_OK;
  if (enable) {
    if (EventsEnabled()) {
      DBG_TRACE(4, L"\nCRelayClient        : Events are already enabled!");
      return true;
    }
    DBG_TRACE(4, L"\nCRelayClient        : Enable events as module \"%s\" (fire chached events: %s)", m_clientName,
              fireCached ? L"true" : L"false");
    if (!Attach()) return false;
    hr = AdviseEvents(fireCached);
    // The reference taken for the events goes again when they could not be enabled.
    if (FAILED(hr)) Detach();
  } else {
    if (!EventsEnabled()) {
      DBG_TRACE(4, L"\nCRelayClient        : Events are already disabled!");
      return true;
    }
    DBG_TRACE(4, L"\nCRelayClient        : Disable events");
    hr = UnadviseEvents();
    if (hr == S_OK) Detach();
  }
  SetLastError(static_cast<DWORD>(hr));
  return SUCCEEDED(hr);
}

HRESULT CRelayClient::AdviseEvents(bool fireCached) {
  HRESULT hr = S_OK;
  try {
    CComPtr<IDispatch> server;
    hr = m_globalTable ? m_globalTable->GetInterfaceFromGlobal(m_serverCookie, IID_IDispatch, server.OutVoid()) : E_FAIL;
    if (FAILED(hr)) return hr;
    CComPtr<IConnectionPointContainer> container;
    hr = server->QueryInterface(IID_IConnectionPointContainer, container.OutVoid());
    if (hr == E_NOINTERFACE || !container) return E_POINTER;
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(DIID_RelayEvents, m_connectionPoint.Out());
    if (FAILED(hr)) return hr;
    DWORD cookie = 0;
    hr = m_connectionPoint->Advise(static_cast<IDispatch*>(this), &cookie);
    DBG_TRACE(4, L"\nCRelayClient        : Connection pointer advise %s!", SUCCEEDED(hr) ? L"OK" : L"FAILED");
    if (FAILED(hr)) {
      m_connectionPoint.Reset();
      return hr;
    }
    m_eventsThread = GetCurrentThreadId();
    m_eventCookie = cookie;
    const DISPID id = MemberId(L"EnableEvents");
    if (id != -1) {
      VARIANT argument;
      VariantInit(&argument);
      argument.vt = VT_BOOL;
      argument.boolVal = fireCached ? VARIANT_TRUE : VARIANT_FALSE;
      DISPPARAMS params{&argument, nullptr, 1, 0};
      DBG_TRACE(4, L"\nCRelayClient        : call MEMBER_ID_ENABLE_EVENTS ...");
      const HRESULT called = InvokeEx(id, DISPATCH_METHOD, &params, nullptr);
      DBG_TRACE(4, L"\nCRelayClient        : ... MEMBER_ID_ENABLE_EVENTS returned 0x%08X", called);
    }
  } catch (...) {
    DBG_TRACE(1, L"\nCRelayClient        : ClientEventsEnable() - EXCEPTION during advise\n");
    hr = E_UNEXPECTED;
  }
  return hr;
}

HRESULT CRelayClient::UnadviseEvents() {
  if (m_eventsThread != GetCurrentThreadId()) {
    // Unadvising belongs to the thread that advised; events stay enabled.
    DBG_TRACE(1, L"\nCRelayClient        : WARNING! Events were enabled by thread ID %d, not by thread %d!",
              m_eventsThread, GetCurrentThreadId());
    return RPC_E_WRONG_THREAD;
  }
  HRESULT hr = S_OK;
  try {
    const DISPID id = MemberId(L"DisableEvents");
    if (id != -1) InvokeEx(id, DISPATCH_METHOD, nullptr, nullptr);
    hr = m_connectionPoint ? m_connectionPoint->Unadvise(m_eventCookie) : E_POINTER;
    DBG_TRACE(4, L"\nCRelayClient        : Thread ID %d: Unadvise %s!", GetCurrentThreadId(),
              SUCCEEDED(hr) ? L"OK" : L"FAILED");
    m_connectionPoint.Reset();
  } catch (...) {
    DBG_TRACE(1, L"\nCRelayClient        : ClientEventsDisable() - EXCEPTION during unadvise\n");
    hr = E_UNEXPECTED;
  }
  m_eventsThread = 0;
  m_eventCookie = 0;
  // A lost server takes its connection point with it: the events are off all the same.
  return hr == RPC_E_DISCONNECTED ? S_OK : hr;
}

void CRelayClient::RegisterEventCallback(TarnEventCallback callback, ULONG_PTR context) {
  m_callbacks.Register(callback, context);
}

void CRelayClient::RemoveEventCallback(TarnEventCallback callback) { m_callbacks.Remove(callback); }

DISPID CRelayClient::MemberId(const std::wstring& name) const {
  const auto it = m_members.find(name);
  return it == m_members.end() ? -1 : it->second;
}

HRESULT STDMETHODCALLTYPE CRelayClient::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == DIID_RelayEvents || riid == IID_IDispatch || riid == IID_IUnknown) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CRelayClient::AddRef() { return ++m_sinkRefs; }

ULONG STDMETHODCALLTYPE CRelayClient::Release() { return --m_sinkRefs; }

HRESULT STDMETHODCALLTYPE CRelayClient::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CRelayClient::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CRelayClient::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CRelayClient::Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                               EXCEPINFO*, UINT*) {
  DBG_TRACE(4, L"\n\nCRelayClient        : Invoke() called for event; dispidMember=%d, pdispparams->cArgs=%d", member,
            params ? params->cArgs : 0);
  if (!params || params->cArgs == 0 || !params->rgvarg) return DISP_E_PARAMNOTFOUND;
  HRESULT hr = S_OK;
  try {
    switch (member) {
      case kEventFireReply:
        DBG_TRACE(4, L"\nCRelayClient        : -> method Fire_Reply() - OBSOLETE, no longer supported!");
        hr = E_NOTIMPL;
        break;
      case kEventFireVBReply:
        DBG_TRACE(4, L"\nCRelayClient        : -> method Fire_VBReply() - OBSOLETE, no longer supported!");
        hr = E_NOTIMPL;
        break;
      case kEventFireVCReply:
        DBG_TRACE(4, L"\nCRelayClient        : -> method Fire_VCReply() - OBSOLETE, no longer supported!");
        hr = E_NOTIMPL;
        break;
      case kEventFireCmdEvent:
        hr = DeliverCmdEvent(params);
        break;
      case kEventFireTarnEvent:
        if (params->cArgs != 1) hr = DISP_E_BADPARAMCOUNT;
        else if (params->rgvarg[0].vt != VT_BSTR) hr = DISP_E_TYPEMISMATCH;
        else {
          DBG_TRACE(4, L"\nCRelayClient        : -> method Fire_TarnEvent() - NOT SUPPORTED -> ignored");
          hr = DISP_E_MEMBERNOTFOUND;
        }
        break;
      case kEventJsonEvent:
        hr = DeliverJsonEvent(params);
        break;
      default:
        DBG_TRACE(1, L"\n## ERROR! Unsupported method #%d in CRelayClient::Invoke()", member);
        hr = DISP_E_MEMBERNOTFOUND;
        break;
    }
  } catch (...) {
    DBG_TRACE(1, L"\nCRelayClient        : ## EXCEPTION in Invoke()!");
    hr = E_UNEXPECTED;
  }
  DBG_TRACE(4, L"\nCRelayClient        : return with hr=0x%08X", hr);
  return hr;
}

HRESULT CRelayClient::DeliverCmdEvent(DISPPARAMS* params) {
  if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
  const VARIANT& headerArg = params->rgvarg[1];  // first parameter
  const VARIANT& dataArg = params->rgvarg[0];
  if (headerArg.vt != VT_BSTR || dataArg.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  const std::span<const uint8_t> headerBytes(reinterpret_cast<const uint8_t*>(headerArg.bstrVal),
                                             SysStringByteLen(headerArg.bstrVal));
  const std::span<const uint8_t> dataBytes(reinterpret_cast<const uint8_t*>(dataArg.bstrVal),
                                           SysStringByteLen(dataArg.bstrVal));
  SipHeader sip;
  // A short header, or one that claims more data than came, is refused.
  if (!ParseSipHeader(headerBytes, sip) || sip.dataLength > dataBytes.size()) {
    DBG_TRACE(1, L"\nCRelayClient        : ## ERROR! Fire_CmdEvent() with an invalid $SIP header - refused");
    return DISP_E_TYPEMISMATCH;
  }
  Tarn event = Tarn::WithCommand();
  event.Set(L"OC", sip.oc);
  event.Set(L"OE", sip.oe);
  event.Set(L"OI", sip.oi);
  event.Set(L"CA", sip.ca);
  event.Set(L"ST", sip.st);
  event.SetRawData(dataBytes.first(sip.dataLength));
  Deliver(event);
  return S_OK;
}

HRESULT CRelayClient::DeliverJsonEvent(DISPPARAMS* params) {
  if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
  if (params->rgvarg[0].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  const std::wstring text = BstrText(params->rgvarg[0].bstrVal);
  DBG_TRACE(4, L"\nCRelayClient        :     fire event from JSON SIP string: \"%s\"", text);
  Tarn event;
  if (!event.FromJson(text) || event.IsEmpty()) return DISP_E_TYPEMISMATCH;
  Deliver(event);
  return S_OK;
}

void CRelayClient::Deliver(Tarn& event) {
  m_callbacks.Deliver(event);
  Reply(event);
}
