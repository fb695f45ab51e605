// The agent's MIB objects, keyed and ordered by OID, and the three per-varbind
// operations of a request: read (GET/GETNEXT), check a SET, apply a SET.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <cstddef>
#include <map>
#include <memory_resource>
#include <memory>
#include <string>
#include <type_traits>

#include "critical_section.h"
#include "snmp_value.h"
#include "tarn_attribute.h"

class CSnmpAgent;
struct MibObject;

// An object name held once per distinct text: a tree holds hundreds of thousands of
// objects but only a few hundred names. Reads as the wide string it names.
class CMibObjectName {
 public:
  CMibObjectName();
  CMibObjectName& operator=(const wchar_t* text);
  CMibObjectName& operator=(const std::wstring& text) { return *this = text.c_str(); }
  operator const std::wstring&() const { return *m_text; }
  const std::wstring& str() const { return *m_text; }
  const wchar_t* c_str() const { return m_text->c_str(); }
  bool empty() const { return m_text->empty(); }
  size_t size() const { return m_text->size(); }
  friend bool operator==(const CMibObjectName& a, const std::wstring& b) { return a.str() == b; }

 private:
  const std::wstring* m_text;
};

// Callbacks are members of the agent that owns the tree.
using MibCallback = SNMPSTATUS (CSnmpAgent::*)(SnmpVarBind* varbind, BYTE mode);
using MibCallbackEx = SNMPSTATUS (CSnmpAgent::*)(MibObject& object, SnmpVarBind* varbind, BYTE mode);

enum MibCallbackMode : BYTE { MIB_MODE_GET = 0, MIB_MODE_SET = 1, MIB_MODE_CHECKSET = 2, MIB_MODE_CHECKGET = 3 };

constexpr DWORD MIB_ACCESS_READ_WRITE = 2;
constexpr DWORD MIB_NO_INDEX = 0xFFFFFFFF;

struct MibObject {
  MibCallback GetFunc = nullptr;
  MibCallback SetFunc = nullptr;
  MibCallback GetSetFunc = nullptr;
  MibCallback CheckGetFunc = nullptr;
  MibCallbackEx GetSetChecksetFuncEx = nullptr;
  std::unique_ptr<CTarnAttribute> TarnAttribute;
  SnmpVarBind VarBind = EmptyVarBind();
  void* ContextData = nullptr;
  CMibObjectName Name;
  DWORD Access = 0;
  BYTE AsnType = ASN_NULL;
  size_t ContextSize = 0;  // non-zero: ContextData is an owned heap copy of that many bytes

  MibObject() = default;
  ~MibObject();
  MibObject(const MibObject& other);
  MibObject& operator=(const MibObject& other);

  bool IsWritable() const;
  bool HasCallbacks() const;
  void SetContext(const void* data, size_t size);

 private:
  void ReleaseOwned();
};

class CSnmpMibTree {
 public:
  explicit CSnmpMibTree(CSnmpAgent* owner) : m_owner(owner) {}
  ~CSnmpMibTree();
  CSnmpMibTree(const CSnmpMibTree&) = delete;
  CSnmpMibTree& operator=(const CSnmpMibTree&) = delete;

  // Inserts or overwrites the object under the varbind's OID (see the .cpp for what an
  // overwrite keeps).
  void AddObject(const SnmpVarBind* varbind, const wchar_t* name, DWORD access, MibCallback getFunc = nullptr,
                 MibCallback setFunc = nullptr, MibCallback getSetFunc = nullptr, MibCallback checkGetFunc = nullptr,
                 void* context = nullptr);

  void AddConstEntry(const wchar_t* oidText, const wchar_t* name, const wchar_t* value, BYTE asnType, DWORD access = 0);
  template <class Number>
    requires std::is_integral_v<Number>
  void AddConstEntry(const wchar_t* oidText, const wchar_t* name, Number value, BYTE asnType, DWORD access = 0) {
    AddConstNumberEntry(oidText, name, static_cast<DWORD>(value), asnType, access);
  }

  void AddConstTableEntry(const wchar_t* oidText, const wchar_t* name, const wchar_t* value, BYTE asnType,
                          DWORD index1, DWORD index2 = MIB_NO_INDEX, DWORD index3 = MIB_NO_INDEX,
                          DWORD index4 = MIB_NO_INDEX, DWORD index5 = MIB_NO_INDEX);
  template <class Number>
    requires std::is_integral_v<Number>
  void AddConstTableEntry(const wchar_t* oidText, const wchar_t* name, Number value, BYTE asnType, DWORD index1,
                          DWORD index2 = MIB_NO_INDEX, DWORD index3 = MIB_NO_INDEX, DWORD index4 = MIB_NO_INDEX,
                          DWORD index5 = MIB_NO_INDEX) {
    AddConstTableNumberEntry(oidText, name, static_cast<DWORD>(value), asnType, {index1, index2, index3, index4, index5});
  }
  void AddConstTableEntry(const wchar_t* oidText, const wchar_t* name, const BYTE* bytes, UINT length, BYTE asnType,
                          DWORD index1, DWORD index2 = MIB_NO_INDEX, DWORD index3 = MIB_NO_INDEX,
                          DWORD index4 = MIB_NO_INDEX, DWORD index5 = MIB_NO_INDEX);

  void Clear();
  size_t Size();
  // Replaces every object with those of `staging` in one step under the tree lock, so a
  // request sees either the old objects or the new ones; `staging` is left empty.
  void Publish(CSnmpMibTree& staging);

  bool MibGetVarbind(SnmpVarBind* varbind, BYTE requestType, SNMPSTATUS* status, std::wstring* objectName);
  bool MibCheckSetVarbind(SnmpVarBind* varbind, SNMPSTATUS* status, std::wstring* objectName);
  bool MibSetVarbind(SnmpVarBind* varbind, SNMPSTATUS* status);

  // Tree-wide SET check for objects without a check of their own; never set in this system.
  MibCallbackEx CheckSetCallback = nullptr;

  // Gives the object under the OID a management-service attribute and the ASN type of
  // the values the service delivers for it; false when there is no such object.
  bool AttachTarnAttribute(const AsnObjectIdentifier& oid, const CTarnAttribute& attribute, BYTE asnType);
  // Where attribute objects are read, checked and written; without it they answer
  // "generic error".
  void SetTarnRequests(ITarnRequests* requests) { m_tarnRequests = requests; }

  // Writes the indexes into the trailing placeholder sub-identifiers of a table cell OID.
  static void PlaceIndexes(AsnObjectIdentifier& oid, const DWORD (&indexes)[5]);

 private:
  // A key owns a copy of its OID; MIB OIDs fit inline, so a lookup touches one block per
  // tree level instead of two.
  class OidKey {
   public:
    explicit OidKey(const AsnObjectIdentifier& source);
    OidKey(OidKey&& other) noexcept;
    OidKey(const OidKey&) = delete;
    OidKey& operator=(const OidKey&) = delete;
    ~OidKey() = default;
    AsnObjectIdentifier View() const { return {m_length, const_cast<UINT*>(Ids())}; }

   private:
    static constexpr UINT kInline = 20;
    const UINT* Ids() const { return m_heap ? m_heap.get() : m_inline; }
    UINT m_length = 0;
    UINT m_inline[kInline] = {};
    std::unique_ptr<UINT[]> m_heap;
  };
  struct OidLess {
    using is_transparent = void;
    static int Compare(const AsnObjectIdentifier& a, const AsnObjectIdentifier& b);
    bool operator()(const OidKey& a, const OidKey& b) const { return Compare(a.View(), b.View()) < 0; }
    bool operator()(const OidKey& a, const AsnObjectIdentifier& b) const { return Compare(a.View(), b) < 0; }
    bool operator()(const AsnObjectIdentifier& a, const OidKey& b) const { return Compare(a, b.View()) < 0; }
  };
  // An entry of the map. A plain constant (read-only, no callbacks, no attribute), what a
  // big MIB mostly holds, keeps only its value and name in the node; any other object is a
  // whole MibObject apart from the node.
  struct Entry {
    AsnAny Value;
    CMibObjectName Name;
    std::unique_ptr<MibObject> Object;
    Entry() { Value.asnType = ASN_NULL; }
    ~Entry() { SnmpUtilAsnAnyFree(&Value); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    const CMibObjectName& ObjectName() const { return Object ? Object->Name : Name; }
    void DropValue() {
      SnmpUtilAsnAnyFree(&Value);
      Value = AsnAny{};
      Value.asnType = ASN_NULL;
    }
  };
  using ObjectMap = std::pmr::map<OidKey, Entry, OidLess>;
  // The objects with the pool their nodes come from; swapped as a whole by Publish.
  struct Store {
    // Nodes from one pool lie close together, in registration order.
    std::pmr::unsynchronized_pool_resource NodePool;
    ObjectMap Objects{&NodePool};
    // The object last read: a walk asks for its successor next, found without a search.
    // Insertions keep it valid; Clear resets it.
    ObjectMap::iterator LastRead = Objects.end();
  };

  class TreeLock;

  void AddConstNumberEntry(const wchar_t* oidText, const wchar_t* name, DWORD value, BYTE asnType, DWORD access);
  void AddConstTableNumberEntry(const wchar_t* oidText, const wchar_t* name, DWORD value, BYTE asnType,
                                const DWORD (&indexes)[5]);
  void RegisterConst(SnmpVarBind& varbind, const wchar_t* name, DWORD access);
  void RegisterTableCell(SnmpVarBind& varbind, const wchar_t* name, const DWORD (&indexes)[5]);

  SNMPSTATUS Invoke(MibCallback callback, SnmpVarBind* varbind, BYTE mode);
  SNMPSTATUS Invoke(MibCallbackEx callback, MibObject& object, SnmpVarBind* varbind, BYTE mode);
  SNMPSTATUS ReadObject(MibObject& object);
  // The entry as a whole object, keeping its value and name.
  static MibObject& Promote(Entry& entry);

  ObjectMap::iterator FindNext(const AsnObjectIdentifier& requested) FW_REQUIRES(m_lock);

  CCriticalSection m_lock;
  std::unique_ptr<Store> m_store FW_GUARDED_BY(m_lock) = std::make_unique<Store>();
  CSnmpAgent* m_owner;
  ITarnRequests* m_tarnRequests = nullptr;
};
