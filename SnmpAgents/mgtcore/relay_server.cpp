#include "relay_server.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "management_settings.h"
#include "relay_client.h"
#include "sip_header.h"

namespace mgtcore {
namespace {

constexpr DWORD kCabinetNumberCode = 0xE204;
constexpr LONG kStatusOk = 0;
constexpr LONG kStatusNoSuchObject = 1;
constexpr LONG kStatusBadValue = 4;
constexpr DWORD kConfigWriteCode = 0xE002;
// Longest hang of an unresponsive service, so that a forgotten test cannot wedge it.
constexpr auto kMaxHang = std::chrono::minutes(10);

const std::pair<const wchar_t*, DISPID> kMembers[] = {
    {L"JsonRequest", kJsonRequest},   {L"TarnQuery", kTarnQuery},
    {L"TarnRequest", kTarnRequest},   {L"CmdRequest", kCmdRequest},
    {L"ServerCabinetNumber", kServerCabinetNumber}, {L"DefaultTimeout", kDefaultTimeout},
    {L"OstrelVersion", kOstrelVersion}, {L"ClientName", kClientName},
    {L"EnableEvents", kEnableEvents}, {L"DisableEvents", kDisableEvents},
    {L"MgtControl", kMgtControl},
};

std::wstring ControlReply(bool ok, const std::string& detail) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ok");
  writer.Bool(ok);
  writer.Key(ok ? "result" : "error");
  writer.String(detail.c_str());
  writer.EndObject();
  return Wide(buffer.GetString());
}

std::vector<uint8_t> BytesOf(const rapidjson::Value& array) {
  std::vector<uint8_t> bytes;
  if (!array.IsArray()) return bytes;
  for (const auto& element : array.GetArray()) {
    if (element.IsUint()) bytes.push_back(static_cast<uint8_t>(element.GetUint()));
  }
  return bytes;
}

BSTR BstrOfBytes(const std::vector<uint8_t>& bytes) {
  return SysAllocStringByteLen(reinterpret_cast<const char*>(bytes.data()), static_cast<UINT>(bytes.size()));
}

std::span<const uint8_t> BytesOfBstr(BSTR text) {
  return {reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(SysStringByteLen(text))};
}

}  // namespace

void Log(const std::string& line) {
  char stamp[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s mgtcore: %s\n", stamp, line.c_str());
  std::fflush(stderr);
}

RelayService::RelayService(ServiceState state, std::string configPath)
    : m_state(std::move(state)), m_configPath(std::move(configPath)) {}

bool RelayService::DelayReply() {
  std::unique_lock wait(m_lock);
  if (m_delayMs) m_changed.wait_for(wait, std::chrono::milliseconds(m_delayMs), [&] { return m_stopping; });
  if (m_unresponsive) m_changed.wait_for(wait, kMaxHang, [&] { return m_stopping || !m_unresponsive; });
  return !m_stopping;
}

void RelayService::Shutdown() {
  std::lock_guard guard(m_lock);
  m_stopping = true;
  m_changed.notify_all();
}

bool RelayService::TakeFault(const std::string& kind) {
  std::lock_guard guard(m_lock);
  auto it = m_faults.find(kind);
  if (it == m_faults.end() || it->second <= 0) return false;
  --it->second;
  return true;
}

LONG RelayService::CabinetNumber() {
  std::lock_guard guard(m_lock);
  return m_state.cabinetNumber;
}

bool RelayService::Answer(Tarn& record) {
  std::lock_guard guard(m_lock);
  bool all = true;
  for (size_t i = 0; i < record.CommandCount(); ++i) {
    record.SelectCommand(i);
    const DWORD oc = record.Get(L"OC");
    bool answered = false;
    if (oc == kConfigSpaceCode) answered = Read(record);
    if (oc == kConfigWriteCode) answered = Write(record);
    if (oc == kCabinetNumberCode) {
      record.Set(L"ST", kStatusOk);
      record.SetNumberData(m_state.cabinetNumber);
      answered = true;
    }
    if (!answered) {
      record.Set(L"ST", kStatusNoSuchObject);
      all = false;
    }
  }
  record.SelectCommand(0);
  return all;
}

namespace {

ValueKey KeyOf(const Tarn& record) { return {record.Get(L"OE"), record.Get(L"OI"), record.Get(L"CA")}; }

// The written data in the kind of the value it replaces: a number stays a number, a
// text a text (so that a value written through "CmdRequest" bytes reads back the same);
// a value of any other form takes the data as it comes. Empty when it does not fit.
std::wstring WrittenData(const Tarn& write, const std::wstring& current) {
  if (!write.HasData()) return std::wstring();
  const wchar_t first = current.empty() ? L'\0' : current[0];
  Tarn normal;
  if (first == L'-' || (first >= L'0' && first <= L'9')) {
    const auto number = write.DataValue();
    if (!number) return std::wstring();
    normal.SetNumberData(*number);
    return normal.DataJson();
  }
  if (first == L'"') {
    const auto text = write.DataText();
    if (!text) return std::wstring();
    normal.SetStringData(*text);
    return normal.DataJson();
  }
  return write.DataJson();
}

}  // namespace

// A configuration-space value first, else a setting by its OE.
bool RelayService::Read(Tarn& record) {
  const auto value = m_state.values.find(KeyOf(record));
  if (value != m_state.values.end()) {
    record.Set(L"ST", value->second.status);
    record.SetDataJson(value->second.data);
    return true;
  }
  const auto setting = m_state.settings.find(record.Get(L"OE"));
  if (setting == m_state.settings.end()) return false;
  record.Set(L"ST", kStatusOk);
  record.SetNumberData(setting->second);
  return true;
}

// Applies the write unless the value refuses it; answers with the value it now has.
bool RelayService::Write(Tarn& record) {
  const auto value = m_state.values.find(KeyOf(record));
  if (value == m_state.values.end()) return false;
  ConfigValue& stored = value->second;
  if (stored.writeStatus != kStatusOk) {
    record.Set(L"ST", stored.writeStatus);
    record.SetDataJson(stored.data);
    return true;
  }
  const std::wstring written = WrittenData(record, stored.data);
  if (written.empty()) {
    record.Set(L"ST", kStatusBadValue);
    record.SetDataJson(stored.data);
    return true;
  }
  stored.data = written;
  Persist();
  record.Set(L"ST", kStatusOk);
  record.SetDataJson(stored.data);
  return true;
}

void RelayService::Persist() {
  if (m_configPath.empty()) return;
  std::string error;
  if (!SaveConfig(m_configPath, m_state, error)) Log("values kept in memory only: " + error);
}

void RelayService::Attach(RelayObject* object) {
  std::lock_guard guard(m_lock);
  m_objects.insert(object);
}

void RelayService::Detach(RelayObject* object) {
  std::lock_guard guard(m_lock);
  m_objects.erase(object);
}

std::vector<RelayObject*> RelayService::Listeners() {
  std::lock_guard guard(m_lock);
  std::vector<RelayObject*> objects;
  for (auto* object : m_objects) {
    if (object->TryAddRef()) objects.push_back(object);
  }
  return objects;
}

void RelayService::FireJson(const std::wstring& text) {
  for (RelayObject* object : Listeners()) {
    std::vector<VARIANT> args(1);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(text.c_str());
    object->Fire(kEventJsonEvent, args);
    VariantClear(&args[0]);
    object->Release();
  }
  Log("event JsonEvent: " + Narrow(text));
}

void RelayService::FireCmd(const std::vector<uint8_t>& header, const std::vector<uint8_t>& data) {
  for (RelayObject* object : Listeners()) {
    std::vector<VARIANT> args(2);
    args[1].vt = VT_BSTR;  // first parameter: the header
    args[1].bstrVal = BstrOfBytes(header);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = BstrOfBytes(data);
    object->Fire(kEventFireCmdEvent, args);
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    object->Release();
  }
  Log("event Fire_CmdEvent: header " + std::to_string(header.size()) + " bytes, data " + std::to_string(data.size()) +
      " bytes");
}

std::wstring RelayService::Control(const std::wstring& command) {
  rapidjson::Document request;
  const std::string text = Narrow(command);
  request.Parse(text.c_str());
  if (request.HasParseError() || !request.IsObject() || !request.HasMember("op") || !request["op"].IsString()) {
    return ControlReply(false, "control command must be a JSON object with \"op\"");
  }
  const std::string op = request["op"].GetString();
  const auto number = [&](const char* key, int64_t& out) {
    if (!request.HasMember(key) || !request[key].IsInt64()) return false;
    out = request[key].GetInt64();
    return true;
  };
  const bool viaCmd = request.HasMember("via") && request["via"].IsString() && std::string(request["via"].GetString()) == "cmd";
  Log("control: " + text);
  if (op == "set" || op == "power") {
    int64_t value = 0;
    if (!number("value", value)) return ControlReply(false, "\"value\" must be an integer");
    DWORD oc = kPowerStateCode;
    DWORD oe = 0;
    if (op == "set") {
      const std::string name = request.HasMember("name") && request["name"].IsString() ? request["name"].GetString() : "";
      const DWORD code = SettingCode(name);
      if (!code) return ControlReply(false, "unknown setting \"" + name + "\" (" + SettingNames() + ")");
      oc = kSettingsChangedCode;
      oe = code;
      std::lock_guard guard(m_lock);
      m_state.settings[oe] = value;
      Persist();
    } else if (value != 1 && value != 4 && value != 5) {
      return ControlReply(false, "power state must be 1 (S0), 4 (S3) or 5 (S4)");
    }
    const LONG cabinet = CabinetNumber();
    if (viaCmd) {
      SipHeader header{4, oc, oe, 0, static_cast<DWORD>(cabinet), 0, 0};
      const auto headerBytes = BuildSipHeader(header);
      const uint32_t bits = static_cast<uint32_t>(value);
      FireCmd(std::vector<uint8_t>(headerBytes.begin(), headerBytes.end()),
              {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
               static_cast<uint8_t>(bits >> 24)});
    } else {
      Tarn event = Tarn::WithCommand();
      event.Set(L"OC", oc);
      event.Set(L"OE", oe);
      event.Set(L"OI", 0);
      event.Set(L"CA", cabinet);
      event.Set(L"ST", kStatusOk);
      event.SetNumberData(value);
      FireJson(event.ToJson());
    }
    return ControlReply(true, op);
  }
  if (op == "slow") {
    int64_t ms = 0;
    if (!number("ms", ms) || ms < 0 || ms > 600000) return ControlReply(false, "\"ms\" must be 0 to 600000");
    std::lock_guard guard(m_lock);
    m_delayMs = static_cast<DWORD>(ms);
    return ControlReply(true, "slow " + std::to_string(ms) + " ms");
  }
  if (op == "unresponsive") {
    const bool on = request.HasMember("on") && request["on"].IsBool() && request["on"].GetBool();
    std::lock_guard guard(m_lock);
    m_unresponsive = on;
    m_changed.notify_all();
    return ControlReply(true, on ? "unresponsive" : "responsive");
  }
  if (op == "fire-json") {
    if (!request.HasMember("text") || !request["text"].IsString()) return ControlReply(false, "\"text\" must be a string");
    FireJson(Wide(request["text"].GetString()));
    return ControlReply(true, "fired");
  }
  if (op == "fire-cmd") {
    if (!request.HasMember("header") || !request.HasMember("data")) return ControlReply(false, "\"header\" and \"data\" byte arrays needed");
    FireCmd(BytesOf(request["header"]), BytesOf(request["data"]));
    return ControlReply(true, "fired");
  }
  if (op == "fault") {
    const std::string kind = request.HasMember("kind") && request["kind"].IsString() ? request["kind"].GetString() : "";
    int64_t count = 1;
    number("count", count);
    if (kind != "json" && kind != "header") return ControlReply(false, "\"kind\" must be \"json\" or \"header\"");
    std::lock_guard guard(m_lock);
    m_faults[kind] = static_cast<int>(count);
    return ControlReply(true, "fault " + kind);
  }
  if (op == "value-set" || op == "value-show") return ValueControl(request, op);
  if (op == "status") {
    std::lock_guard guard(m_lock);
    return ControlReply(true, "requests=" + std::to_string(m_requests.load()) + " clients=" + std::to_string(m_objects.size()));
  }
  return ControlReply(false, "unknown op \"" + op + "\"");
}

namespace {

std::string JsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

bool ControlCode(const rapidjson::Document& request, const char* name, DWORD& code) {
  if (!request.HasMember(name) || !request[name].IsInt64()) return false;
  const int64_t value = request[name].GetInt64();
  if (value < 0 || value > 0xFFFFFFFFll) return false;
  code = static_cast<DWORD>(value);
  return true;
}

bool ControlStatus(const rapidjson::Document& request, const char* name, LONG& status) {
  if (!request.HasMember(name)) return true;
  if (!request[name].IsInt()) return false;
  status = request[name].GetInt();
  return true;
}


}  // namespace

// value-set: creates or changes a value (its data and the statuses it answers with);
// value-show: one value or all of them.
std::wstring RelayService::ValueControl(const rapidjson::Document& request, const std::string& op) {
  ValueKey key;
  const bool keyed = ControlCode(request, "oe", key.oe) && ControlCode(request, "oi", key.oi) &&
                     ControlCode(request, "ca", key.ca);
  std::lock_guard guard(m_lock);
  if (op == "value-set") {
    if (!keyed) return ControlReply(false, "\"oe\", \"oi\" and \"ca\" must be 0 to 4294967295");
    auto found = m_state.values.find(key);
    const bool hasData = request.HasMember("value");
    if (found == m_state.values.end() && !hasData) return ControlReply(false, "no such value: give its data first");
    ConfigValue value = found == m_state.values.end() ? ConfigValue() : found->second;
    if (hasData) value.data = Wide(JsonText(request["value"]));
    if (!ControlStatus(request, "status", value.status) || !ControlStatus(request, "writeStatus", value.writeStatus)) {
      return ControlReply(false, "\"status\" and \"writeStatus\" must be integers");
    }
    m_state.values[key] = value;
    Persist();
    return ControlReply(true, "value set");
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ok");
  writer.Bool(true);
  writer.Key("values");
  writer.StartArray();
  for (const auto& [valueKey, value] : m_state.values) {
    if (keyed && (valueKey < key || key < valueKey)) continue;
    WriteConfigValue(writer, valueKey, value);
  }
  writer.EndArray();
  writer.EndObject();
  return Wide(buffer.GetString());
}

RelayObject::RelayObject(RelayService& service) : m_service(service) { m_service.Attach(this); }

RelayObject::~RelayObject() {
  m_service.Detach(this);
  for (auto& [cookie, sink] : m_sinks) sink->Release();
}

HRESULT STDMETHODCALLTYPE RelayObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch) *ppv = static_cast<IDispatch*>(this);
  if (riid == IID_IConnectionPointContainer) *ppv = static_cast<IConnectionPointContainer*>(this);
  if (riid == IID_IConnectionPoint) *ppv = static_cast<IConnectionPoint*>(this);
  if (!*ppv) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE RelayObject::AddRef() { return ++m_refs; }

bool RelayObject::TryAddRef() {
  ULONG refs = m_refs.load();
  while (refs != 0) {
    if (m_refs.compare_exchange_weak(refs, refs + 1)) return true;
  }
  return false;
}

ULONG STDMETHODCALLTYPE RelayObject::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE RelayObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RelayObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids) return E_INVALIDARG;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (const auto& [name, id] : kMembers) {
      if (names[i] && std::wstring_view(names[i]) == name) ids[i] = id;
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE RelayObject::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                              VARIANT* result, EXCEPINFO*, UINT*) {
  if (!params) return E_INVALIDARG;
  switch (member) {
    case kJsonRequest:
      return JsonRequest(params);
    case kCmdRequest:
      return CmdRequest(params);
    case kServerCabinetNumber:
      if (!(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
      VariantInit(result);
      result->vt = VT_I4;
      result->lVal = m_service.CabinetNumber();
      return S_OK;
    case kClientName: {
      if (!(flags & DISPATCH_PROPERTYPUT) || params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR) {
        return DISP_E_TYPEMISMATCH;
      }
      std::lock_guard guard(m_lock);
      m_clientName = params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"";
      Log("client name \"" + Narrow(m_clientName) + "\"");
      return S_OK;
    }
    case kEnableEvents: {
      std::lock_guard guard(m_lock);
      m_eventsEnabled = true;
      Log("events enabled for \"" + Narrow(m_clientName) + "\"");
      return S_OK;
    }
    case kDisableEvents: {
      std::lock_guard guard(m_lock);
      m_eventsEnabled = false;
      Log("events disabled for \"" + Narrow(m_clientName) + "\"");
      return S_OK;
    }
    case kMgtControl:
      return Control(params, result);
    case kTarnQuery:
    case kTarnRequest:
    case kDefaultTimeout:
    case kOstrelVersion:
      return E_NOTIMPL;
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT RelayObject::JsonRequest(DISPPARAMS* params) {
  // (text in/out, timeout): the last parameter comes first.
  if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
  VARIANT& text = params->rgvarg[1];
  if (text.vt != (VT_BSTR | VT_BYREF) || !text.pbstrVal) return DISP_E_TYPEMISMATCH;
  m_service.CountRequest();
  const std::wstring in = *text.pbstrVal ? std::wstring(*text.pbstrVal, SysStringLen(*text.pbstrVal)) : std::wstring();
  Tarn record;
  if (!record.FromJson(in)) {
    Log("JsonRequest: refused, no TARN record: " + Narrow(in));
    return E_INVALIDARG;
  }
  m_service.Answer(record);
  if (!m_service.DelayReply()) return RPC_E_DISCONNECTED;
  std::wstring out = record.ToJson();
  if (m_service.TakeFault("json")) out = L"{\"SIP\":{\"CMD\":[{\"ST\":0,";
  Log("JsonRequest: " + Narrow(in) + " -> " + Narrow(out));
  SysFreeString(*text.pbstrVal);
  *text.pbstrVal = SysAllocString(out.c_str());
  return S_OK;
}

HRESULT RelayObject::CmdRequest(DISPPARAMS* params) {
  // (header in/out, data in/out, timeout).
  if (params->cArgs != 3) return DISP_E_BADPARAMCOUNT;
  VARIANT& header = params->rgvarg[2];
  VARIANT& data = params->rgvarg[1];
  if (header.vt != (VT_BSTR | VT_BYREF) || data.vt != (VT_BSTR | VT_BYREF) || !header.pbstrVal || !data.pbstrVal) {
    return DISP_E_TYPEMISMATCH;
  }
  m_service.CountRequest();
  SipHeader sip;
  if (!ParseSipHeader(BytesOfBstr(*header.pbstrVal), sip)) {
    Log("CmdRequest: refused, no valid $SIP header");
    return E_INVALIDARG;
  }
  Tarn record = Tarn::WithCommand();
  record.Set(L"OC", sip.oc);
  record.Set(L"OE", sip.oe);
  record.Set(L"OI", sip.oi);
  record.Set(L"CA", sip.ca);
  if (SysStringByteLen(*data.pbstrVal)) record.SetRawData(BytesOfBstr(*data.pbstrVal));
  m_service.Answer(record);
  if (!m_service.DelayReply()) return RPC_E_DISCONNECTED;
  sip.st = static_cast<DWORD>(record.Status());
  const std::vector<uint8_t> answer = record.DataBytes();
  sip.dataLength = static_cast<DWORD>(answer.size());
  auto headerBytes = BuildSipHeader(sip);
  const size_t headerSize = m_service.TakeFault("header") ? 20 : headerBytes.size();
  Log("CmdRequest: OC " + std::to_string(sip.oc) + " OE " + std::to_string(sip.oe) + " -> ST " + std::to_string(sip.st));
  SysFreeString(*header.pbstrVal);
  *header.pbstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(headerBytes.data()), static_cast<UINT>(headerSize));
  SysFreeString(*data.pbstrVal);
  *data.pbstrVal = BstrOfBytes(answer);
  return S_OK;
}

HRESULT RelayObject::Control(DISPPARAMS* params, VARIANT* result) {
  if (params->cArgs != 1 || params->rgvarg[0].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  const std::wstring reply = m_service.Control(params->rgvarg[0].bstrVal ? params->rgvarg[0].bstrVal : L"");
  if (result) {
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(reply.c_str());
  }
  return S_OK;
}

void RelayObject::Fire(DISPID member, std::vector<VARIANT>& args) {
  std::vector<IDispatch*> sinks;
  {
    std::lock_guard guard(m_lock);
    if (!m_eventsEnabled) return;
    for (auto& [cookie, sink] : m_sinks) {
      sink->AddRef();
      sinks.push_back(sink);
    }
  }
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  for (IDispatch* sink : sinks) {
    sink->Invoke(member, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    sink->Release();
  }
}

HRESULT STDMETHODCALLTYPE RelayObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RelayObject::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (riid != DIID_RelayEvents) return CONNECT_E_NOCONNECTION;
  *point = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID_RelayEvents;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(DIID_RelayEvents, reinterpret_cast<void**>(&dispatch)))) return CONNECT_E_CANNOTCONNECT;
  std::lock_guard guard(m_lock);
  *cookie = m_nextCookie++;
  m_sinks[*cookie] = dispatch;
  Log("advise " + std::to_string(*cookie));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::Unadvise(DWORD cookie) {
  IDispatch* sink = nullptr;
  {
    std::lock_guard guard(m_lock);
    auto it = m_sinks.find(cookie);
    if (it == m_sinks.end()) return CONNECT_E_NOCONNECTION;
    sink = it->second;
    m_sinks.erase(it);
  }
  sink->Release();
  Log("unadvise " + std::to_string(cookie));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE RelayObject::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RelayFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE RelayFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) RelayObject(m_service);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  Log("client connected");
  return hr;
}

}  // namespace mgtcore
