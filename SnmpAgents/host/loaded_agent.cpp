#include "loaded_agent.h"

#include "utf8_text.h"

#include <windows.h>
#include <snmp.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// Agents answer with OIDs of at most this many sub-identifiers (SNMP's own limit).
constexpr UINT kMaxOidLength = 128;
// Longer values than an SNMP message can carry are refused.
constexpr UINT kMaxValueLength = 65535;


std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

bool ReadOid(const AsnObjectIdentifier& in, Oid& out) {
  if (in.idLength > kMaxOidLength || (in.idLength && !in.ids)) return false;
  out.assign(in.ids, in.ids + in.idLength);
  return true;
}

bool WriteOid(const Oid& in, AsnObjectIdentifier& out) {
  out.idLength = 0;
  out.ids = nullptr;
  if (in.empty()) return true;
  out.ids = static_cast<UINT*>(SnmpUtilMemAlloc(static_cast<UINT>(in.size() * sizeof(UINT))));
  if (!out.ids) return false;
  std::memcpy(out.ids, in.data(), in.size() * sizeof(UINT));
  out.idLength = static_cast<UINT>(in.size());
  return true;
}

bool ReadBytes(const AsnOctetString& in, std::string& out) {
  if (in.length > kMaxValueLength || (in.length && !in.stream)) return false;
  out.assign(reinterpret_cast<const char*>(in.stream), in.length);
  return true;
}

bool WriteBytes(const std::string& in, AsnOctetString& out) {
  out.stream = nullptr;
  out.length = 0;
  out.dynamic = FALSE;
  if (in.empty()) return true;
  out.stream = static_cast<BYTE*>(SnmpUtilMemAlloc(static_cast<UINT>(in.size())));
  if (!out.stream) return false;
  std::memcpy(out.stream, in.data(), in.size());
  out.length = static_cast<UINT>(in.size());
  out.dynamic = TRUE;
  return true;
}

bool ReadValue(const AsnAny& in, Value& out) {
  out = Value{};
  out.type = in.asnType;
  switch (in.asnType) {
    case ASN_INTEGER:
      out.integer = in.asnValue.number;
      return true;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
    case ASN_UNSIGNED32:
      out.integer = in.asnValue.unsigned32;
      return true;
    case ASN_COUNTER64:
      out.counter64 = in.asnValue.counter64.QuadPart;
      return true;
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      return ReadBytes(in.asnValue.string, out.bytes);
    case ASN_OBJECTIDENTIFIER:
      return ReadOid(in.asnValue.object, out.oid);
    case ASN_NULL:
    case SNMP_EXCEPTION_NOSUCHOBJECT:
    case SNMP_EXCEPTION_NOSUCHINSTANCE:
    case SNMP_EXCEPTION_ENDOFMIBVIEW:
      return true;
    default:
      return false;
  }
}

bool WriteValue(const Value& in, AsnAny& out) {
  std::memset(&out, 0, sizeof out);
  out.asnType = in.type;
  switch (in.type) {
    case ASN_INTEGER:
      out.asnValue.number = static_cast<AsnInteger32>(in.integer);
      return true;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
    case ASN_UNSIGNED32:
      out.asnValue.unsigned32 = static_cast<AsnUnsigned32>(in.integer);
      return true;
    case ASN_COUNTER64:
      out.asnValue.counter64.QuadPart = in.counter64;
      return true;
    case ASN_OCTETSTRING:
    case ASN_BITS:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      return WriteBytes(in.bytes, out.asnValue.string);
    case ASN_OBJECTIDENTIFIER:
      return WriteOid(in.oid, out.asnValue.object);
    case ASN_NULL:
      return true;
    default:
      out.asnType = ASN_NULL;
      return false;
  }
}

// Owns a varbind list in the snmpapi allocator; the agent may replace its contents.
class VarBindListHolder {
 public:
  VarBindListHolder() = default;
  ~VarBindListHolder() { SnmpUtilVarBindListFree(&list_); }
  VarBindListHolder(const VarBindListHolder&) = delete;
  VarBindListHolder& operator=(const VarBindListHolder&) = delete;
  SnmpVarBindList* get() { return &list_; }

  bool Fill(const std::vector<VarBind>& varbinds) {
    if (varbinds.empty()) return true;
    const UINT bytes = static_cast<UINT>(varbinds.size() * sizeof(SnmpVarBind));
    list_.list = static_cast<SnmpVarBind*>(SnmpUtilMemAlloc(bytes));
    if (!list_.list) return false;
    std::memset(list_.list, 0, bytes);
    list_.len = static_cast<UINT>(varbinds.size());
    for (UINT i = 0; i < list_.len; ++i) {
      if (!WriteOid(varbinds[i].name, list_.list[i].name)) return false;
      if (!WriteValue(varbinds[i].value, list_.list[i].value)) return false;
    }
    return true;
  }

 private:
  SnmpVarBindList list_{nullptr, 0};
};

bool ReadList(const SnmpVarBindList& list, std::vector<VarBind>& out, std::string& problem) {
  if (list.len && !list.list) {
    problem = "varbind list without entries";
    return false;
  }
  out.resize(list.len);
  for (UINT i = 0; i < list.len; ++i) {
    if (!ReadOid(list.list[i].name, out[i].name)) {
      problem = "malformed OID in varbind " + std::to_string(i + 1);
      return false;
    }
    if (!ReadValue(list.list[i].value, out[i].value)) {
      problem = "value of unknown type 0x" + std::to_string(list.list[i].value.asnType) + " or bad length in varbind " +
                std::to_string(i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

struct LoadedAgent::Exports {
  PFNSNMPEXTENSIONINIT init = nullptr;
  PFNSNMPEXTENSIONINITEX initEx = nullptr;
  PFNSNMPEXTENSIONQUERY query = nullptr;
  PFNSNMPEXTENSIONTRAP trap = nullptr;
  PFNSNMPEXTENSIONCLOSE close = nullptr;
};

template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::unique_ptr<LoadedAgent> LoadedAgent::Load(const std::string& path, std::string& error) {
  // A relative path means the current directory, not the module search path.
  char resolved[PATH_MAX];
  const std::string full = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  HMODULE module = LoadLibraryW(WideFromUtf8(full).c_str());
  if (!module) {
    error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  auto exports = std::make_unique<Exports>();
  exports->init = Export<PFNSNMPEXTENSIONINIT>(module, "SnmpExtensionInit");
  exports->initEx = Export<PFNSNMPEXTENSIONINITEX>(module, "SnmpExtensionInitEx");
  exports->query = Export<PFNSNMPEXTENSIONQUERY>(module, "SnmpExtensionQuery");
  exports->trap = Export<PFNSNMPEXTENSIONTRAP>(module, "SnmpExtensionTrap");
  exports->close = Export<PFNSNMPEXTENSIONCLOSE>(module, "SnmpExtensionClose");
  if (!exports->init || !exports->query) {
    error = path + " lacks the export " + std::string(!exports->init ? "SnmpExtensionInit" : "SnmpExtensionQuery");
    FreeLibrary(module);
    return nullptr;
  }
  std::unique_ptr<LoadedAgent> agent(new LoadedAgent());
  agent->path_ = path;
  agent->name_ = BaseName(path);
  agent->module_ = module;
  agent->trap_ = reinterpret_cast<void*>(exports->trap);
  agent->exports_ = std::move(exports);
  return agent;
}

LoadedAgent::~LoadedAgent() {
  Close();
  if (module_) FreeLibrary(static_cast<HMODULE>(module_));
}

bool LoadedAgent::Initialize(uint32_t uptimeReference, std::string& error) {
  HANDLE event = nullptr;
  AsnObjectIdentifier region{0, nullptr};
  if (!exports_->init(uptimeReference, &event, &region)) {
    error = "SnmpExtensionInit returned FALSE";
    return false;
  }
  trapEvent_ = event;
  // Region OIDs stay the agent's: copied, never freed here.
  for (int guard = 0; guard < 10000; ++guard) {
    Oid oid;
    if (!ReadOid(region, oid) || oid.empty()) {
      error = "malformed or empty region OID";
      return false;
    }
    regions_.push_back(std::move(oid));
    if (!exports_->initEx) break;
    region = {0, nullptr};
    if (!exports_->initEx(&region)) break;
  }
  return true;
}

QueryResult LoadedAgent::Query(uint8_t pduType, const std::vector<VarBind>& request) {
  QueryResult result;
  VarBindListHolder list;
  if (!list.Fill(request)) {
    result.problem = "out of memory or unsupported value in the request";
    return result;
  }
  AsnInteger32 status = 0;
  AsnInteger32 index = 0;
  result.called = exports_->query(pduType, list.get(), &status, &index) != FALSE;
  result.status = status;
  result.index = index;
  if (!result.called) return result;
  if (list.get()->len != request.size()) {
    result.called = false;
    result.problem = "answered " + std::to_string(list.get()->len) + " varbinds for " + std::to_string(request.size());
    return result;
  }
  if (!ReadList(*list.get(), result.varbinds, result.problem)) result.called = false;
  return result;
}

bool LoadedAgent::NextTrap(Trap& trap) {
  if (!trap_) return false;
  AsnObjectIdentifier enterprise{0, nullptr};
  AsnInteger32 generic = 0;
  AsnInteger32 specific = 0;
  AsnTimeticks stamp = 0;
  SnmpVarBindList list{nullptr, 0};
  const bool more = exports_->trap(&enterprise, &generic, &specific, &stamp, &list) != FALSE;
  trap = Trap{};
  trap.agent = name_;
  std::string problem;
  const bool readable = more && ReadOid(enterprise, trap.enterprise) && ReadList(list, trap.varbinds, problem);
  // The outputs are the host's now; free them and leave them empty for the next call.
  SnmpUtilOidFree(&enterprise);
  SnmpUtilVarBindListFree(&list);
  if (!more) return false;
  trap.generic = generic;
  trap.specific = specific;
  trap.timestamp = stamp;
  if (!readable) trap.enterprise.clear();
  return true;
}

void LoadedAgent::Close() {
  if (closed_ || !exports_) return;
  closed_ = true;
  if (exports_->close) exports_->close();
}

}  // namespace host
