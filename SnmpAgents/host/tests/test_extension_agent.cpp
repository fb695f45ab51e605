// An extension agent for the host's tests, over a small table of its own: scalars of
// every ASN type, a read-write pair, a table, objects at the largest sub-identifier,
// three regions, and objects that raise traps when written or answer badly on purpose.
#include <windows.h>
#include <snmp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ids = std::vector<UINT>;

const Ids kBase{1, 3, 6, 1, 4, 1, 99999};
// Objects that answer badly on purpose live in a region of their own.
const Ids kFaults{1, 3, 6, 1, 4, 1, 99997};
constexpr UINT kMaxId = 4294967295u;

struct Object {
  AsnAny value{};
  bool writable = false;
};

Ids Under(std::initializer_list<UINT> tail) {
  Ids ids = kBase;
  ids.insert(ids.end(), tail);
  return ids;
}

Ids Fault(UINT n) {
  Ids ids = kFaults;
  ids.push_back(n);
  ids.push_back(0);
  return ids;
}

AsnAny Integer(BYTE type, LONG value) {
  AsnAny any{};
  any.asnType = type;
  any.asnValue.number = value;
  return any;
}

// Constant bytes: never freed, so not dynamic.
AsnAny Bytes(BYTE type, const char* data, UINT length) {
  AsnAny any{};
  any.asnType = type;
  any.asnValue.string.stream = reinterpret_cast<BYTE*>(const_cast<char*>(data));
  any.asnValue.string.length = length;
  any.asnValue.string.dynamic = FALSE;
  return any;
}

struct State {
  std::mutex lock;
  std::map<Ids, Object> objects;
  std::vector<Ids> regions{kFaults, Under({1}), Under({2})};
  size_t nextRegion = 0;
  HANDLE trapEvent = nullptr;
  DWORD uptimeReference = 0;
  struct PendingTrap {
    LONG generic;
    LONG specific;
    LONG sequence;
  };
  std::deque<PendingTrap> traps;
  std::vector<std::thread> delayed;
  LONG sequence = 0;
  UINT enterpriseIds[7] = {1, 3, 6, 1, 4, 1, 99999};
  UINT oidValue[7] = {1, 3, 6, 1, 4, 1, 99999};
};

State& TheState() {
  static State state;
  return state;
}

void Build(State& s) {
  static const char kHello[] = "hello";
  static const char kIp[] = {10, 1, 2, 3};
  static const char kOpaque[] = {1, 2};
  static const char kRows[3][5] = {"row1", "row2", "row3"};
  s.objects[Under({1, 1, 0})] = {Integer(ASN_INTEGER, -5)};
  s.objects[Under({1, 2, 0})] = {Bytes(ASN_OCTETSTRING, kHello, 5)};
  AsnAny oid{};
  oid.asnType = ASN_OBJECTIDENTIFIER;
  oid.asnValue.object = {7, s.oidValue};
  s.objects[Under({1, 3, 0})] = {oid};
  s.objects[Under({1, 4, 0})] = {Bytes(ASN_IPADDRESS, kIp, 4)};
  AsnAny counter = Integer(ASN_COUNTER32, 0);
  counter.asnValue.counter = 4000000000u;
  s.objects[Under({1, 5, 0})] = {counter};
  s.objects[Under({1, 6, 0})] = {Integer(ASN_GAUGE32, 42)};
  s.objects[Under({1, 7, 0})] = {Integer(ASN_TIMETICKS, 12345)};
  s.objects[Under({1, 8, 0})] = {Bytes(ASN_OPAQUE, kOpaque, 2)};
  AsnAny c64{};
  c64.asnType = ASN_COUNTER64;
  c64.asnValue.counter64.QuadPart = (1ull << 40) + 1;
  s.objects[Under({1, 9, 0})] = {c64};
  s.objects[Under({1, 10, 0})] = {Integer(ASN_INTEGER, 7), true};
  s.objects[Under({1, 11, 0})] = {Bytes(ASN_OCTETSTRING, "abc", 3), true};
  for (UINT row = 1; row <= 3; ++row) {
    s.objects[Under({1, 20, 1, 2, row})] = {Bytes(ASN_OCTETSTRING, kRows[row - 1], 4)};
    s.objects[Under({1, 20, 1, 3, row})] = {Integer(ASN_INTEGER, static_cast<LONG>(row * 10))};
  }
  s.objects[Under({1, 30, 0})] = {Integer(ASN_INTEGER, 0), true};  // write N: N traps
  s.objects[Under({1, 32, 0})] = {Integer(ASN_INTEGER, 0), true};  // write G: generic trap G
  s.objects[Under({1, 33, 0})] = {Integer(ASN_INTEGER, 0), true};  // write N: N traps 3 s later
  s.objects[Under({1, 50, kMaxId})] = {Integer(ASN_INTEGER, 1)};
  s.objects[Under({1, kMaxId, kMaxId})] = {Integer(ASN_INTEGER, 2)};
  s.objects[Under({2, 1, 0})] = {Integer(ASN_INTEGER, 2)};
  const char* rows = std::getenv("FW_TEST_AGENT_ROWS");
  const long count = rows ? std::strtol(rows, nullptr, 10) : 0;
  for (long i = 1; i <= count; ++i)
    s.objects[Under({2, 3, 1, static_cast<UINT>(i)})] = {Integer(ASN_INTEGER, static_cast<LONG>(i))};
  s.objects[Fault(1)] = {Integer(ASN_INTEGER, 0)};  // answers with a malformed OID
  s.objects[Fault(2)] = {Integer(ASN_INTEGER, 0)};  // answers with an extra varbind
  s.objects[Fault(3)] = {Integer(ASN_INTEGER, 0)};  // the query returns FALSE
  s.objects[Fault(4)] = {Integer(ASN_INTEGER, 4)};  // first answered after 3 s, as after a MIB rebuild
  // The GETNEXT from 5 takes 100 ms every time, longer than the host waits for a quick answer.
  for (UINT n : {5u, 6u, 7u}) s.objects[Fault(n)] = {Integer(ASN_INTEGER, static_cast<LONG>(n))};
}

Ids IdsOf(const AsnObjectIdentifier& oid) { return Ids(oid.ids, oid.ids + oid.idLength); }

void SetName(SnmpVarBind& vb, const Ids& ids) {
  SnmpUtilOidFree(&vb.name);
  vb.name.ids = static_cast<UINT*>(SnmpUtilMemAlloc(static_cast<UINT>(ids.size() * sizeof(UINT))));
  std::memcpy(vb.name.ids, ids.data(), ids.size() * sizeof(UINT));
  vb.name.idLength = static_cast<UINT>(ids.size());
}

void SetValue(SnmpVarBind& vb, const AsnAny& value) {
  SnmpUtilAsnAnyFree(&vb.value);
  SnmpUtilAsnAnyCpy(&vb.value, const_cast<AsnAny*>(&value));
}

void QueueTraps(State& s, LONG generic, LONG specific, LONG count) {
  for (LONG i = 0; i < count; ++i) s.traps.push_back({generic, specific, ++s.sequence});
  if (count > 0) SetEvent(s.trapEvent);
}

// The faulty objects of region 3 spoil the answer as their names say.
enum class Answer { Good, MalformedOid, ExtraVarbind, Refused };

Answer AnswerFor(const Ids& name) {
  if (name == Fault(1)) return Answer::MalformedOid;
  if (name == Fault(2)) return Answer::ExtraVarbind;
  if (name == Fault(3)) return Answer::Refused;
  return Answer::Good;
}

WINBOOL Spoil(Answer answer, SnmpVarBindList* list) {
  if (answer == Answer::Refused) return FALSE;
  if (answer == Answer::MalformedOid) {
    list->list[0].name.idLength = 200;
    return TRUE;
  }
  auto* grown = static_cast<SnmpVarBind*>(SnmpUtilMemReAlloc(list->list, (list->len + 1) * sizeof(SnmpVarBind)));
  std::memset(&grown[list->len], 0, sizeof(SnmpVarBind));
  SnmpUtilVarBindCpy(&grown[list->len], &grown[0]);
  list->list = grown;
  ++list->len;
  return TRUE;
}

}  // namespace

extern "C" WINBOOL SNMP_FUNC_TYPE SnmpExtensionInit(DWORD dwUptimeReference, HANDLE* phSubagentTrapEvent,
                                                   AsnObjectIdentifier* pFirstSupportedRegion) {
  State& s = TheState();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.objects.empty()) Build(s);
  s.uptimeReference = dwUptimeReference;
  if (!s.trapEvent) s.trapEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  *phSubagentTrapEvent = s.trapEvent;
  s.nextRegion = 1;
  pFirstSupportedRegion->idLength = static_cast<UINT>(s.regions[0].size());
  pFirstSupportedRegion->ids = s.regions[0].data();
  return TRUE;
}

extern "C" WINBOOL SNMP_FUNC_TYPE SnmpExtensionInitEx(AsnObjectIdentifier* pNextSupportedRegion) {
  State& s = TheState();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.nextRegion >= s.regions.size()) return FALSE;
  Ids& region = s.regions[s.nextRegion++];
  pNextSupportedRegion->idLength = static_cast<UINT>(region.size());
  pNextSupportedRegion->ids = region.data();
  return TRUE;
}

extern "C" WINBOOL SNMP_FUNC_TYPE SnmpExtensionQuery(BYTE bPduType, SnmpVarBindList* pVarBindList,
                                                    AsnInteger32* pErrorStatus, AsnInteger32* pErrorIndex) {
  // The first query of it takes 3 s, as the first request after a change while an agent
  // rebuilds its MIB; the master's retransmissions of it are then answered at once.
  static std::atomic<bool> slowOnce{true};
  for (UINT i = 0; i < pVarBindList->len; ++i) {
    if (IdsOf(pVarBindList->list[i].name) == Fault(4) && slowOnce.exchange(false)) Sleep(3000);
    if (IdsOf(pVarBindList->list[i].name) == Fault(5) && bPduType == SNMP_PDU_GETNEXT) Sleep(100);
  }
  State& s = TheState();
  std::lock_guard<std::mutex> guard(s.lock);
  *pErrorStatus = SNMP_ERRORSTATUS_NOERROR;
  *pErrorIndex = 0;
  Answer spoil = Answer::Good;
  for (UINT i = 0; i < pVarBindList->len; ++i) {
    SnmpVarBind& vb = pVarBindList->list[i];
    const Ids name = IdsOf(vb.name);
    auto fail = [&](AsnInteger32 status) {
      *pErrorStatus = status;
      *pErrorIndex = static_cast<AsnInteger32>(i + 1);
      return TRUE;
    };
    if (bPduType == SNMP_PDU_GETNEXT) {
      auto next = s.objects.upper_bound(name);
      if (next == s.objects.end()) return fail(SNMP_ERRORSTATUS_NOSUCHNAME);
      SetName(vb, next->first);
      SetValue(vb, next->second.value);
      if (spoil == Answer::Good) spoil = AnswerFor(next->first);
      continue;
    }
    auto found = s.objects.find(name);
    if (found == s.objects.end()) return fail(SNMP_ERRORSTATUS_NOSUCHNAME);
    if (bPduType == SNMP_PDU_GET) {
      SetValue(vb, found->second.value);
      if (spoil == Answer::Good) spoil = AnswerFor(name);
      continue;
    }
    if (bPduType != SNMP_PDU_SET) return fail(SNMP_ERRORSTATUS_GENERR);
    if (!found->second.writable) return fail(SNMP_ERRORSTATUS_READONLY);
    if (vb.value.asnType != found->second.value.asnType) return fail(SNMP_ERRORSTATUS_BADVALUE);
  }
  if (bPduType == SNMP_PDU_SET) {
    for (UINT i = 0; i < pVarBindList->len; ++i) {
      SnmpVarBind& vb = pVarBindList->list[i];
      const Ids name = IdsOf(vb.name);
      Object& object = s.objects[name];
      if (name == Under({1, 30, 0})) QueueTraps(s, 6, 1, vb.value.asnValue.number);
      if (name == Under({1, 32, 0})) QueueTraps(s, vb.value.asnValue.number, 0, 1);
      if (name == Under({1, 33, 0})) {
        const LONG count = vb.value.asnValue.number;
        s.delayed.emplace_back([count] {
          Sleep(3000);
          State& later = TheState();
          std::lock_guard<std::mutex> lock(later.lock);
          if (later.trapEvent) QueueTraps(later, 6, 2, count);
        });
      }
      // Values written by the host are copied into the agent's own allocation.
      if (object.value.asnType == ASN_OCTETSTRING && object.value.asnValue.string.dynamic)
        SnmpUtilAsnAnyFree(&object.value);
      SnmpUtilAsnAnyCpy(&object.value, &vb.value);
    }
  }
  return spoil == Answer::Good ? TRUE : Spoil(spoil, pVarBindList);
}

extern "C" WINBOOL SNMP_FUNC_TYPE SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                                                   AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp,
                                                   SnmpVarBindList* pVarBindList) {
  State& s = TheState();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.traps.empty()) return FALSE;
  const State::PendingTrap trap = s.traps.front();
  s.traps.pop_front();
  AsnObjectIdentifier enterprise{7, s.enterpriseIds};
  SnmpUtilOidCpy(pEnterpriseOid, &enterprise);
  *pGenericTrapId = trap.generic;
  *pSpecificTrapId = trap.specific;
  *pTimeStamp = static_cast<DWORD>(GetTickCount64() / 10) - s.uptimeReference;
  pVarBindList->len = 2;
  pVarBindList->list = static_cast<SnmpVarBind*>(SnmpUtilMemAlloc(2 * sizeof(SnmpVarBind)));
  std::memset(pVarBindList->list, 0, 2 * sizeof(SnmpVarBind));
  SetName(pVarBindList->list[0], Under({1, 31, 0}));
  pVarBindList->list[0].value = Integer(ASN_INTEGER, trap.sequence);
  SetName(pVarBindList->list[1], Under({1, 2, 0}));
  SetValue(pVarBindList->list[1], Bytes(ASN_OCTETSTRING, "trap", 4));
  return TRUE;
}

extern "C" VOID SNMP_FUNC_TYPE SnmpExtensionClose(void) {
  State& s = TheState();
  std::vector<std::thread> delayed;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    delayed.swap(s.delayed);
  }
  for (auto& thread : delayed) thread.join();
  std::lock_guard<std::mutex> guard(s.lock);
  // Only strings written by SETs are the agent's allocations; the rest are constants.
  for (auto& [name, object] : s.objects)
    if (object.value.asnType == ASN_OCTETSTRING && object.value.asnValue.string.dynamic)
      SnmpUtilAsnAnyFree(&object.value);
  s.objects.clear();
  s.traps.clear();
  if (s.trapEvent) CloseHandle(s.trapEvent);
  s.trapEvent = nullptr;
}
