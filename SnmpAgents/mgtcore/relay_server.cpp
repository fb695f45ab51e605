#include "relay_server.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "control_protocol.h"
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
    {control::kMember, kMgtControl},
};

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
  Log("event JsonEvent: " + Utf8FromWide(text));
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

namespace {

std::string Refused(const std::string& error) { return control::ReplyText(false, error); }
std::string Done(const std::string& result) { return control::ReplyText(true, result); }

// A DWORD code of a value's key; nothing when the field is missing or out of range.
std::optional<DWORD> KeyCode(const control::CommandReader& command, const char* name) {
  const auto value = command.Integer(name);
  if (!value || *value < 0 || *value > 0xFFFFFFFFll) return std::nullopt;
  return static_cast<DWORD>(*value);
}

std::optional<ValueKey> KeyOf(const control::CommandReader& command) {
  const auto oe = KeyCode(command, control::field::kOe);
  const auto oi = KeyCode(command, control::field::kOi);
  const auto ca = KeyCode(command, control::field::kCa);
  if (!oe || !oi || !ca) return std::nullopt;
  return ValueKey{*oe, *oi, *ca};
}

// A status field: absent keeps the status, anything but an integer is refused.
bool ReadStatus(const control::CommandReader& command, const char* name, LONG& status) {
  if (!command.Has(name)) return true;
  const auto value = command.SmallInteger(name);
  if (!value) return false;
  status = *value;
  return true;
}

}  // namespace

std::wstring RelayService::Control(const std::wstring& text) {
  struct Operation {
    const char* op;
    std::string (RelayService::*handler)(const control::CommandReader&);
  };
  static constexpr Operation kOperations[] = {
      {control::kSet, &RelayService::ControlSetting},
      {control::kPower, &RelayService::ControlPower},
      {control::kSlow, &RelayService::ControlSlow},
      {control::kUnresponsive, &RelayService::ControlUnresponsive},
      {control::kFireJson, &RelayService::ControlFireJson},
      {control::kFireCmd, &RelayService::ControlFireCmd},
      {control::kFault, &RelayService::ControlFault},
      {control::kValueSet, &RelayService::ControlValueSet},
      {control::kValueShow, &RelayService::ControlValueShow},
      {control::kStatus, &RelayService::ControlStatus},
  };
  const std::string utf8 = Utf8FromWide(text);
  control::CommandReader command;
  if (!command.Parse(utf8)) return WideFromUtf8(Refused("control command must be a JSON object with \"op\""));
  Log("control: " + utf8);
  for (const auto& operation : kOperations) {
    if (command.Op() == operation.op) return WideFromUtf8((this->*operation.handler)(command));
  }
  return WideFromUtf8(Refused("unknown op \"" + command.Op() + "\""));
}

// A settings change (OC 0xE002) or a power state (OC 0x1350) as an event, through
// JsonEvent or, via "cmd", Fire_CmdEvent.
void RelayService::FireChange(DWORD oc, DWORD oe, int64_t value, bool viaCmd) {
  const LONG cabinet = CabinetNumber();
  if (viaCmd) {
    SipHeader header{4, oc, oe, 0, static_cast<DWORD>(cabinet), 0, 0};
    const auto headerBytes = BuildSipHeader(header);
    const uint32_t bits = static_cast<uint32_t>(value);
    FireCmd(std::vector<uint8_t>(headerBytes.begin(), headerBytes.end()),
            {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
             static_cast<uint8_t>(bits >> 24)});
    return;
  }
  Tarn event = Tarn::WithCommand();
  event.Set(L"OC", oc);
  event.Set(L"OE", oe);
  event.Set(L"OI", 0);
  event.Set(L"CA", cabinet);
  event.Set(L"ST", kStatusOk);
  event.SetNumberData(value);
  FireJson(event.ToJson());
}

namespace {

bool ViaCmd(const control::CommandReader& command) { return command.Text(control::field::kVia) == control::kViaCmd; }

}  // namespace

std::string RelayService::ControlSetting(const control::CommandReader& command) {
  const auto value = command.Integer(control::field::kValue);
  if (!value) return Refused("\"value\" must be an integer");
  const std::string name = command.Text(control::field::kName).value_or("");
  const DWORD code = SettingCode(name);
  if (!code) return Refused("unknown setting \"" + name + "\" (" + SettingNames() + ")");
  {
    std::lock_guard guard(m_lock);
    m_state.settings[code] = *value;
    Persist();
  }
  FireChange(kSettingsChangedCode, code, *value, ViaCmd(command));
  return Done(control::kSet);
}

std::string RelayService::ControlPower(const control::CommandReader& command) {
  const auto value = command.Integer(control::field::kValue);
  if (!value) return Refused("\"value\" must be an integer");
  if (*value != 1 && *value != 4 && *value != 5) return Refused("power state must be 1 (S0), 4 (S3) or 5 (S4)");
  FireChange(kPowerStateCode, 0, *value, ViaCmd(command));
  return Done(control::kPower);
}

std::string RelayService::ControlSlow(const control::CommandReader& command) {
  const auto ms = command.Integer(control::field::kMs);
  if (!ms || *ms < 0 || *ms > 600000) return Refused("\"ms\" must be 0 to 600000");
  std::lock_guard guard(m_lock);
  m_delayMs = static_cast<DWORD>(*ms);
  return Done("slow " + std::to_string(*ms) + " ms");
}

std::string RelayService::ControlUnresponsive(const control::CommandReader& command) {
  const bool on = command.Flag(control::field::kOn);
  std::lock_guard guard(m_lock);
  m_unresponsive = on;
  m_changed.notify_all();
  return Done(on ? "unresponsive" : "responsive");
}

std::string RelayService::ControlFireJson(const control::CommandReader& command) {
  const auto text = command.Text(control::field::kText);
  if (!text) return Refused("\"text\" must be a string");
  FireJson(WideFromUtf8(*text));
  return Done("fired");
}

std::string RelayService::ControlFireCmd(const control::CommandReader& command) {
  if (!command.Has(control::field::kHeader) || !command.Has(control::field::kData)) {
    return Refused("\"header\" and \"data\" byte arrays needed");
  }
  FireCmd(command.Bytes(control::field::kHeader), command.Bytes(control::field::kData));
  return Done("fired");
}

std::string RelayService::ControlFault(const control::CommandReader& command) {
  const std::string kind = command.Text(control::field::kKind).value_or("");
  const int64_t count = command.Integer(control::field::kCount).value_or(1);
  if (kind != "json" && kind != "header") return Refused("\"kind\" must be \"json\" or \"header\"");
  std::lock_guard guard(m_lock);
  m_faults[kind] = static_cast<int>(count);
  return Done("fault " + kind);
}

std::string RelayService::ControlStatus(const control::CommandReader&) {
  std::lock_guard guard(m_lock);
  return Done("requests=" + std::to_string(m_requests.load()) + " clients=" + std::to_string(m_objects.size()));
}

// Creates or changes a value: its data and the statuses it answers with.
std::string RelayService::ControlValueSet(const control::CommandReader& command) {
  const auto key = KeyOf(command);
  if (!key) return Refused("\"oe\", \"oi\" and \"ca\" must be 0 to 4294967295");
  std::lock_guard guard(m_lock);
  auto found = m_state.values.find(*key);
  const bool hasData = command.Has(control::field::kValue);
  if (found == m_state.values.end() && !hasData) return Refused("no such value: give its data first");
  ConfigValue value = found == m_state.values.end() ? ConfigValue() : found->second;
  if (hasData) value.data = WideFromUtf8(command.Json(control::field::kValue));
  if (!ReadStatus(command, control::field::kStatus, value.status) ||
      !ReadStatus(command, control::field::kWriteStatus, value.writeStatus)) {
    return Refused("\"status\" and \"writeStatus\" must be integers");
  }
  m_state.values[*key] = value;
  Persist();
  return Done("value set");
}

// One value, or all of them when no key is given.
std::string RelayService::ControlValueShow(const control::CommandReader& command) {
  const auto key = KeyOf(command);
  std::lock_guard guard(m_lock);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key(control::reply::kOk);
  writer.Bool(true);
  writer.Key(control::reply::kValues);
  writer.StartArray();
  for (const auto& [valueKey, value] : m_state.values) {
    if (key && (valueKey < *key || *key < valueKey)) continue;
    WriteConfigValue(writer, valueKey, value);
  }
  writer.EndArray();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
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
      Log("client name \"" + Utf8FromWide(m_clientName) + "\"");
      return S_OK;
    }
    case kEnableEvents: {
      std::lock_guard guard(m_lock);
      m_eventsEnabled = true;
      Log("events enabled for \"" + Utf8FromWide(m_clientName) + "\"");
      return S_OK;
    }
    case kDisableEvents: {
      std::lock_guard guard(m_lock);
      m_eventsEnabled = false;
      Log("events disabled for \"" + Utf8FromWide(m_clientName) + "\"");
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
    Log("JsonRequest: refused, no TARN record: " + Utf8FromWide(in));
    return E_INVALIDARG;
  }
  m_service.Answer(record);
  if (!m_service.DelayReply()) return RPC_E_DISCONNECTED;
  std::wstring out = record.ToJson();
  if (m_service.TakeFault("json")) out = L"{\"SIP\":{\"CMD\":[{\"ST\":0,";
  Log("JsonRequest: " + Utf8FromWide(in) + " -> " + Utf8FromWide(out));
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
