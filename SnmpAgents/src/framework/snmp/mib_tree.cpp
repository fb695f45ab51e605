#include "mib_tree.h"

#include <cstdlib>
#include <cstring>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "debug_trace.h"

// ---------------------------------------------------------------------------------------
// CMibObjectName

namespace {

// The distinct names of the process, kept for its life.
class CNameTable {
 public:
  const std::wstring* Intern(const wchar_t* text) {
    CCriticalSectionLock lock(m_lock);
    return &*m_names.emplace(text ? text : L"").first;
  }

 private:
  CCriticalSection m_lock;
  std::unordered_set<std::wstring> m_names FW_GUARDED_BY(m_lock);
};

CNameTable& Names() {
  static CNameTable table;
  return table;
}

}  // namespace

CMibObjectName::CMibObjectName() : m_text(Names().Intern(L"")) {}

CMibObjectName& CMibObjectName::operator=(const wchar_t* text) {
  m_text = Names().Intern(text);
  return *this;
}

// ---------------------------------------------------------------------------------------
// MibObject

MibObject::~MibObject() { ReleaseOwned(); }

MibObject::MibObject(const MibObject& other) { *this = other; }

MibObject& MibObject::operator=(const MibObject& other) {
  if (this == &other) return *this;
  ReleaseOwned();
  GetFunc = other.GetFunc;
  SetFunc = other.SetFunc;
  GetSetFunc = other.GetSetFunc;
  CheckGetFunc = other.CheckGetFunc;
  GetSetChecksetFuncEx = other.GetSetChecksetFuncEx;
  SnmpUtilVarBindCpy(&VarBind, const_cast<SnmpVarBind*>(&other.VarBind));
  Name = other.Name;
  Access = other.Access;
  AsnType = other.AsnType;
  if (other.ContextSize) SetContext(other.ContextData, other.ContextSize);
  else ContextData = other.ContextData;
  if (other.TarnAttribute) TarnAttribute = other.TarnAttribute->Clone();
  return *this;
}

bool MibObject::IsWritable() const {
  return Access == MIB_ACCESS_READ_WRITE || (TarnAttribute && TarnAttribute->IsSetEnabled());
}

bool MibObject::HasCallbacks() const {
  return GetFunc || SetFunc || GetSetFunc || CheckGetFunc || GetSetChecksetFuncEx || TarnAttribute;
}

void MibObject::SetContext(const void* data, size_t size) {
  if (ContextSize) std::free(ContextData);
  ContextData = nullptr;
  ContextSize = 0;
  if (!data || !size) return;
  ContextData = std::malloc(size);
  if (!ContextData) return;
  std::memcpy(ContextData, data, size);
  ContextSize = size;
}

void MibObject::ReleaseOwned() {
  SnmpUtilVarBindFree(&VarBind);
  VarBind = EmptyVarBind();
  if (ContextSize) std::free(ContextData);
  ContextData = nullptr;
  ContextSize = 0;
  TarnAttribute.reset();
}

// ---------------------------------------------------------------------------------------
// CSnmpMibTree

// Holds the tree lock for one operation, with the lock traffic of trace level 6.
class FW_SCOPED_CAPABILITY CSnmpMibTree::TreeLock {
 public:
  explicit TreeLock(CCriticalSection& section) FW_ACQUIRE(section) : m_section(section) {
    DBG_TRACE(6, L"\nCSnmpMibTree        : Locking MIB tree ...");
    m_section.Enter();
    DBG_TRACE(6, L"\nCSnmpMibTree        : ...MIB tree locked");
  }
  ~TreeLock() FW_RELEASE() {
    DBG_TRACE(6, L"\nCSnmpMibTree        : Unlocking MIB tree ...");
    m_section.Leave();
    DBG_TRACE(6, L"\nCSnmpMibTree        : ...MIB tree unlocked");
  }
  TreeLock(const TreeLock&) = delete;
  TreeLock& operator=(const TreeLock&) = delete;

 private:
  CCriticalSection& m_section;
};

CSnmpMibTree::OidKey::OidKey(const AsnObjectIdentifier& source) : m_length(source.ids ? source.idLength : 0) {
  UINT* target = m_inline;
  if (m_length > kInline) {
    m_heap = std::make_unique<UINT[]>(m_length);
    target = m_heap.get();
  }
  if (m_length) std::memcpy(target, source.ids, static_cast<size_t>(m_length) * sizeof(UINT));
}

CSnmpMibTree::OidKey::OidKey(OidKey&& other) noexcept : m_length(other.m_length), m_heap(std::move(other.m_heap)) {
  std::memcpy(m_inline, other.m_inline, sizeof(m_inline));
  other.m_length = 0;
}

// The order of Windows' SnmpUtilOidCmp: sub-identifier by sub-identifier as unsigned
// numbers, a prefix before the longer OID. Compared here rather than through snmpapi,
// whose Wine implementation orders by length first.
int CSnmpMibTree::OidLess::Compare(const AsnObjectIdentifier& a, const AsnObjectIdentifier& b) {
  const UINT lengthA = a.ids ? a.idLength : 0;
  const UINT lengthB = b.ids ? b.idLength : 0;
  const UINT common = lengthA < lengthB ? lengthA : lengthB;
  for (UINT i = 0; i < common; ++i) {
    if (a.ids[i] != b.ids[i]) return a.ids[i] < b.ids[i] ? -1 : 1;
  }
  if (lengthA == lengthB) return 0;
  return lengthA < lengthB ? -1 : 1;
}

CSnmpMibTree::~CSnmpMibTree() = default;

void CSnmpMibTree::AddObject(const SnmpVarBind* varbind, const wchar_t* name, DWORD access, MibCallback getFunc,
                             MibCallback setFunc, MibCallback getSetFunc, MibCallback checkGetFunc, void* context) {
  if (!varbind) return;
  TreeLock lock(m_lock);
  auto found = m_store->Objects.find(varbind->name);
  if (found == m_store->Objects.end()) {
    found = m_store->Objects.emplace(std::piecewise_construct, std::forward_as_tuple(varbind->name), std::tuple<>())
                .first;
  }
  Entry& entry = found->second;
  const bool callbacks = getFunc || setFunc || getSetFunc || checkGetFunc || context;
  const bool attribute = entry.Object && entry.Object->TarnAttribute;
  bool copied = false;
  if (!callbacks && !attribute && access != MIB_ACCESS_READ_WRITE) {
    entry.Object.reset();
    entry.DropValue();
    copied = SnmpUtilAsnAnyCpy(&entry.Value, const_cast<AsnAny*>(&varbind->value));
    if (copied && name) entry.Name = name;
  } else {
    entry.DropValue();
    MibObject& object = Promote(entry);
    SnmpUtilVarBindFree(&object.VarBind);
    object.VarBind = EmptyVarBind();
    // A constant's name is its key; only objects with callbacks keep a copy of it.
    copied = callbacks ? SnmpUtilVarBindCpy(&object.VarBind, const_cast<SnmpVarBind*>(varbind))
                       : SnmpUtilAsnAnyCpy(&object.VarBind.value, const_cast<AsnAny*>(&varbind->value));
    object.Access = access;
    object.GetFunc = getFunc;
    object.SetFunc = setFunc;
    object.GetSetFunc = getSetFunc;
    object.CheckGetFunc = checkGetFunc;
    if (object.ContextSize) object.SetContext(nullptr, 0);
    object.ContextData = context;
    if (name) object.Name = name;
  }
  if (!copied) {
    // Nothing half-copied is ever answered.
    if (m_store->LastRead == found) m_store->LastRead = m_store->Objects.end();
    m_store->Objects.erase(found);
  }
}

MibObject& CSnmpMibTree::Promote(Entry& entry) {
  if (entry.Object) return *entry.Object;
  auto object = std::make_unique<MibObject>();
  object->VarBind.value = entry.Value;  // takes the value's allocation over
  entry.Value = AsnAny{};
  entry.Value.asnType = ASN_NULL;
  object->Name = entry.Name;
  entry.Object = std::move(object);
  return *entry.Object;
}

void CSnmpMibTree::RegisterConst(SnmpVarBind& varbind, const wchar_t* name, DWORD access) {
  if (DBG_TRACE_ACTIVE()) {
    std::wstring text;
    DBG_TRACE(1, L"\n## Const MIB entry  : %-30s%s %s", name ? name : L"",
              access == MIB_ACCESS_READ_WRITE ? L" (RW) -" : L" -", VarBindToText(text, &varbind));
  }
  AddObject(&varbind, name, access);
  SnmpUtilVarBindFree(&varbind);
}

void CSnmpMibTree::RegisterTableCell(SnmpVarBind& varbind, const wchar_t* name, const DWORD (&indexes)[5]) {
  PlaceIndexes(varbind.name, indexes);
  if (DBG_TRACE_ACTIVE()) {
    std::wstring text;
    DBG_TRACE(1, L"\n## Const table entry: %-30s - %s", name ? name : L"", VarBindToText(text, &varbind));
  }
  AddObject(&varbind, name, 0);
  SnmpUtilVarBindFree(&varbind);
}

void CSnmpMibTree::AddConstEntry(const wchar_t* oidText, const wchar_t* name, const wchar_t* value, BYTE asnType,
                                 DWORD access) {
  SnmpVarBind varbind = EmptyVarBind();
  if (TextToOid(oidText, &varbind.name)) SetValueText(&varbind, value, asnType);
  RegisterConst(varbind, name, access);
}

void CSnmpMibTree::AddConstNumberEntry(const wchar_t* oidText, const wchar_t* name, DWORD value, BYTE asnType,
                                       DWORD access) {
  SnmpVarBind varbind = EmptyVarBind();
  if (TextToOid(oidText, &varbind.name)) SetValueNumber(&varbind, value, asnType);
  RegisterConst(varbind, name, access);
}

void CSnmpMibTree::AddConstTableEntry(const wchar_t* oidText, const wchar_t* name, const wchar_t* value, BYTE asnType,
                                      DWORD index1, DWORD index2, DWORD index3, DWORD index4, DWORD index5) {
  SnmpVarBind varbind = EmptyVarBind();
  if (TextToOid(oidText, &varbind.name)) SetValueText(&varbind, value, asnType);
  RegisterTableCell(varbind, name, {index1, index2, index3, index4, index5});
}

void CSnmpMibTree::AddConstTableNumberEntry(const wchar_t* oidText, const wchar_t* name, DWORD value, BYTE asnType,
                                            const DWORD (&indexes)[5]) {
  SnmpVarBind varbind = EmptyVarBind();
  if (TextToOid(oidText, &varbind.name)) SetValueNumber(&varbind, value, asnType);
  RegisterTableCell(varbind, name, indexes);
}

void CSnmpMibTree::AddConstTableEntry(const wchar_t* oidText, const wchar_t* name, const BYTE* bytes, UINT length,
                                      BYTE asnType, DWORD index1, DWORD index2, DWORD index3, DWORD index4,
                                      DWORD index5) {
  SnmpVarBind varbind = EmptyVarBind();
  if (TextToOid(oidText, &varbind.name)) SetValueBytes(&varbind, bytes, length, asnType);
  RegisterTableCell(varbind, name, {index1, index2, index3, index4, index5});
}

void CSnmpMibTree::PlaceIndexes(AsnObjectIdentifier& oid, const DWORD (&indexes)[5]) {
  std::vector<DWORD> present;
  for (DWORD index : indexes) {
    if (index != MIB_NO_INDEX) present.push_back(index);
  }
  if (!oid.ids) return;
  for (size_t k = present.size(); k-- > 0;) {
    const size_t fromEnd = present.size() - 1 - k;
    if (fromEnd >= oid.idLength) continue;  // would lie before the start of the OID
    oid.ids[oid.idLength - 1 - fromEnd] = present[k];
  }
}

bool CSnmpMibTree::AttachTarnAttribute(const AsnObjectIdentifier& oid, const CTarnAttribute& attribute,
                                       BYTE asnType) {
  TreeLock lock(m_lock);
  auto found = m_store->Objects.find(oid);
  if (found == m_store->Objects.end()) return false;
  MibObject& object = Promote(found->second);
  object.TarnAttribute = attribute.Clone();
  object.AsnType = asnType;
  return true;
}

void CSnmpMibTree::Clear() {
  auto emptied = std::make_unique<Store>();
  {
    TreeLock lock(m_lock);
    m_store.swap(emptied);
  }
  // The old objects are freed outside the lock: a big tree takes a while.
}

void CSnmpMibTree::Publish(CSnmpMibTree& staging) {
  if (&staging == this) return;
  auto fresh = std::make_unique<Store>();
  {
    TreeLock lock(staging.m_lock);
    staging.m_store.swap(fresh);
  }
  {
    TreeLock lock(m_lock);
    m_store.swap(fresh);
  }
}

CSnmpMibTree::ObjectMap::iterator CSnmpMibTree::FindNext(const AsnObjectIdentifier& requested) {
  if (m_store->LastRead != m_store->Objects.end() && OidLess::Compare(m_store->LastRead->first.View(), requested) == 0) {
    return std::next(m_store->LastRead);
  }
  return m_store->Objects.upper_bound(requested);
}

size_t CSnmpMibTree::Size() {
  TreeLock lock(m_lock);
  return m_store->Objects.size();
}

SNMPSTATUS CSnmpMibTree::Invoke(MibCallback callback, SnmpVarBind* varbind, BYTE mode) {
  try {
    return (m_owner->*callback)(varbind, mode);
  } catch (...) {
    return SNMP_ERRORSTATUS_GENERR;
  }
}

SNMPSTATUS CSnmpMibTree::Invoke(MibCallbackEx callback, MibObject& object, SnmpVarBind* varbind, BYTE mode) {
  try {
    return (m_owner->*callback)(object, varbind, mode);
  } catch (...) {
    return SNMP_ERRORSTATUS_GENERR;
  }
}

// The read chain on a copy of the record: attribute, CheckGetFunc, extended callback,
// GetFunc, each while the status is still 0.
SNMPSTATUS CSnmpMibTree::ReadObject(MibObject& object) {
  SNMPSTATUS status = SNMP_ERRORSTATUS_NOERROR;
  if (object.TarnAttribute) {
    DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   TARN object found, request value via TARN...");
    try {
      status = m_tarnRequests ? m_tarnRequests->RequestTarnGet(object) : SNMP_ERRORSTATUS_GENERR;
    } catch (...) {
      status = SNMP_ERRORSTATUS_GENERR;
    }
  }
  if (status == SNMP_ERRORSTATUS_NOERROR && object.CheckGetFunc) {
    DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   CheckGetFunc() callback found, execute it...");
    status = Invoke(object.CheckGetFunc, &object.VarBind, MIB_MODE_CHECKGET);
  }
  if (status == SNMP_ERRORSTATUS_NOERROR && object.GetSetChecksetFuncEx) {
    DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   GetSetChecksetFuncEx() callback found, execute it...");
    status = Invoke(object.GetSetChecksetFuncEx, object, &object.VarBind, MIB_MODE_GET);
  }
  if (status == SNMP_ERRORSTATUS_NOERROR && object.GetFunc) {
    DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   GetFunc() callback found, execute it...");
    status = Invoke(object.GetFunc, &object.VarBind, MIB_MODE_GET);
  }
  return status;
}

bool CSnmpMibTree::MibGetVarbind(SnmpVarBind* varbind, BYTE requestType, SNMPSTATUS* status,
                                 std::wstring* objectName) {
  SNMPSTATUS ignored = 0;
  if (!status) status = &ignored;
  *status = SNMP_ERRORSTATUS_NOSUCHNAME;
  if (!varbind) return false;
  if (DBG_TRACE_ACTIVE()) {
    std::wstring text;
    DBG_TRACE(4, L"\nCSnmpMibTree (GET)  : Get varbind for OID=%s", OidToText(text, &varbind->name));
  }
  bool found = false;
  {
    TreeLock lock(m_lock);
    ObjectMap::iterator record = m_store->Objects.end();
    if (requestType == SNMP_PDU_GET) {
      DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   request type=GET");
      record = m_store->Objects.find(varbind->name);
    } else if (requestType == SNMP_PDU_GETNEXT) {
      DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   request type=GETNEXT");
      record = FindNext(varbind->name);
    }
    if (record != m_store->Objects.end()) m_store->LastRead = record;
    if (record != m_store->Objects.end() && record->first.View().idLength != 0) {
      found = true;
      *status = SNMP_ERRORSTATUS_NOERROR;
      const Entry& entry = record->second;
      if (objectName) *objectName = entry.ObjectName();
      DBG_TRACE(4, L"\nCSnmpMibTree (GET)  :   -> object found, name=\"%s\"", entry.ObjectName().c_str());
      DBG_TRACE(5, L"\nCSnmpMibTree (GET)  : reply that object by caller's varbind");
      bool copied = false;
      if (entry.Object && entry.Object->HasCallbacks()) {
        MibObject copy = *entry.Object;
        if (copy.VarBind.name.idLength == 0) {
          AsnObjectIdentifier name = record->first.View();
          SnmpUtilOidCpy(&copy.VarBind.name, &name);
        }
        *status = ReadObject(copy);
        SnmpUtilVarBindFree(varbind);
        copied = SnmpUtilVarBindCpy(varbind, &copy.VarBind);
      } else {
        // A constant object is answered from the stored record without copying it first;
        // its name comes from the key, which lies in the tree node already read.
        AsnObjectIdentifier name = record->first.View();
        SnmpUtilVarBindFree(varbind);
        const AsnAny& value = entry.Object ? entry.Object->VarBind.value : entry.Value;
        copied = SnmpUtilOidCpy(&varbind->name, &name) && SnmpUtilAsnAnyCpy(&varbind->value, const_cast<AsnAny*>(&value));
      }
      if (!copied) {
        SnmpUtilVarBindFree(varbind);
        *varbind = EmptyVarBind();
        if (*status == SNMP_ERRORSTATUS_NOERROR) *status = SNMP_ERRORSTATUS_GENERR;
      }
    }
  }
  DBG_TRACE(4, L"\nCSnmpMibTree (GET)  : item found=%d", found ? 1 : 0);
  return found;
}

bool CSnmpMibTree::MibCheckSetVarbind(SnmpVarBind* varbind, SNMPSTATUS* status, std::wstring* objectName) {
  SNMPSTATUS ignored = 0;
  if (!status) status = &ignored;
  *status = SNMP_ERRORSTATUS_NOSUCHNAME;
  if (!varbind) return false;
  TreeLock lock(m_lock);
  auto record = m_store->Objects.find(varbind->name);
  if (record == m_store->Objects.end()) return false;
  *status = SNMP_ERRORSTATUS_NOERROR;
  if (objectName) *objectName = record->second.ObjectName();
  if (!record->second.Object || !record->second.Object->IsWritable()) {
    *status = SNMP_ERRORSTATUS_READONLY;
    DBG_TRACE(3, L"\nCSnmpMibTree (CHSET): read-only object -> SET not possible");
    return true;
  }
  MibObject& object = *record->second.Object;
  if (object.GetSetFunc) {
    DBG_TRACE(4, L"\nCSnmpMibTree (CHSET):   GetSetFunc() callback found, execute it...");
    *status = Invoke(object.GetSetFunc, varbind, MIB_MODE_CHECKSET);
  } else if (CheckSetCallback) {
    DBG_TRACE(4,
              L"\nCSnmpMibTree (CHSET):   Global CHECKSET callback found and no other callback available, execute it...");
    *status = Invoke(CheckSetCallback, object, varbind, MIB_MODE_CHECKSET);
  }
  if (*status == SNMP_ERRORSTATUS_NOERROR && object.GetSetChecksetFuncEx) {
    DBG_TRACE(4, L"\nCSnmpMibTree (CHSET):   GetSetChecksetFuncEx() callback found, execute it...");
    *status = Invoke(object.GetSetChecksetFuncEx, object, varbind, MIB_MODE_CHECKSET);
  }
  if (*status == SNMP_ERRORSTATUS_NOERROR && object.TarnAttribute) {
    DBG_TRACE(4, L"\nCSnmpMibTree (CHSET):   TARN object found, check set via TARN...");
    try {
      *status = m_tarnRequests ? m_tarnRequests->RequestTarnCheckSet(object) : SNMP_ERRORSTATUS_GENERR;
    } catch (...) {
      *status = SNMP_ERRORSTATUS_GENERR;
    }
  }
  return true;
}

bool CSnmpMibTree::MibSetVarbind(SnmpVarBind* varbind, SNMPSTATUS* status) {
  SNMPSTATUS ignored = 0;
  if (!status) status = &ignored;
  *status = SNMP_ERRORSTATUS_NOSUCHNAME;
  if (!varbind) return false;
  TreeLock lock(m_lock);
  auto record = m_store->Objects.find(varbind->name);
  if (record == m_store->Objects.end()) return false;
  *status = SNMP_ERRORSTATUS_NOERROR;
  if (!record->second.Object || !record->second.Object->IsWritable()) {
    *status = SNMP_ERRORSTATUS_READONLY;
    DBG_TRACE(3, L"\nCSnmpMibTree (SET)  : SNMP SET not enabled -> read-only object");
    return true;
  }
  MibObject& object = *record->second.Object;
  if (object.GetSetChecksetFuncEx) {
    DBG_TRACE(4, L"\nCSnmpMibTree (SET)  :   GetSetChecksetFuncEx() callback found, execute it...");
    *status = Invoke(object.GetSetChecksetFuncEx, object, varbind, MIB_MODE_SET);
  } else if (object.SetFunc) {
    DBG_TRACE(4, L"\nCSnmpMibTree (SET)  :   SetFunc() callback found, execute it...");
    *status = Invoke(object.SetFunc, varbind, MIB_MODE_SET);
  } else if (object.TarnAttribute) {
    DBG_TRACE(4, L"\nCSnmpMibTree (SET)  :   TARN object found, set value via TARN...");
    try {
      *status = m_tarnRequests ? m_tarnRequests->RequestTarnSet(object, varbind) : SNMP_ERRORSTATUS_GENERR;
    } catch (...) {
      *status = SNMP_ERRORSTATUS_GENERR;
    }
  }
  if (*status != SNMP_ERRORSTATUS_NOERROR) return true;
  SnmpVarBind stored = EmptyVarBind();
  if (!SnmpUtilVarBindCpy(&stored, varbind)) {
    *status = SNMP_ERRORSTATUS_GENERR;  // the old value stays rather than a half copy
    return true;
  }
  SnmpUtilVarBindFree(&object.VarBind);
  object.VarBind = stored;
  return true;
}
