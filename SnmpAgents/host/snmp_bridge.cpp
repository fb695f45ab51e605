#include "snmp_bridge.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <set>

#include "bulk_answers.h"
#include "loaded_agent.h"
#include "host_log.h"
#include "query_worker.h"

namespace host {
namespace {

const Oid kSysUpTime{1, 3, 6, 1, 2, 1, 1, 3, 0};
const Oid kSnmpTrapOid{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const Oid kSnmpTrapEnterprise{1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const Oid kSnmpTraps{1, 3, 6, 1, 6, 3, 1, 1, 5};

std::vector<oid> NetOid(const Oid& in) { return std::vector<oid>(in.begin(), in.end()); }

Oid HostOid(const oid* ids, size_t length) {
  Oid out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint32_t>(ids[i]));
  return out;
}

// net-snmp's oids against ours, each sub-identifier taken as 32 bits; -1, 0 or 1.
int CompareAsHost(const oid* ids, size_t length, const Oid& other) {
  const size_t common = std::min(length, other.size());
  for (size_t i = 0; i < common; ++i) {
    const auto id = static_cast<uint32_t>(ids[i]);
    if (id != other[i]) return id < other[i] ? -1 : 1;
  }
  if (length == other.size()) return 0;
  return length < other.size() ? -1 : 1;
}

// Names the varbind; false when the name is longer than SNMP allows.
bool SetName(variable_list& vb, const Oid& name) {
  std::array<oid, MAX_OID_LEN> ids;
  if (name.size() > ids.size()) return false;
  std::copy(name.begin(), name.end(), ids.begin());
  return snmp_set_var_objid(&vb, ids.data(), name.size()) == 0;
}

// One region of one agent, the data of its handler registration.
struct RegionBinding {
  LoadedAgent* agent;
  Oid root;
};

// v1 statuses as SNMPv2 errors of a SET.
int SetError(int status) {
  switch (status) {
    case 2: return SNMP_ERR_NOTWRITABLE;  // noSuchName
    case 3: return SNMP_ERR_WRONGVALUE;   // badValue
    case 4: return SNMP_ERR_NOTWRITABLE;  // readOnly
    case 1: return SNMP_ERR_TOOBIG;
    default: return status >= 6 && status <= 18 ? status : SNMP_ERR_GENERR;
  }
}

// The name a GET asks the agent for; false when it lies outside the region.
bool AskGet(const RegionBinding& binding, netsnmp_request_info* request, VarBind& asked) {
  asked.name = HostOid(request->requestvb->name, request->requestvb->name_length);
  return IsPrefix(binding.root, asked.name);
}

void ApplyGet(RegionBinding& binding, netsnmp_agent_request_info* info, netsnmp_request_info* request,
              const VarBind& asked, const QueryResult& result) {
  if (!result.called) {
    HostLog(LogLevel::Warning, binding.agent->Name() + ": GET " + OidText(asked.name) + " failed: " +
                                   (result.problem.empty() ? "agent returned FALSE" : result.problem));
    netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
    return;
  }
  if (result.status == kNoSuchName) {
    netsnmp_set_request_error(info, request, SNMP_NOSUCHOBJECT);
    return;
  }
  if (result.status != kNoError) {
    netsnmp_set_request_error(info, request, result.status == 1 ? SNMP_ERR_TOOBIG : SNMP_ERR_GENERR);
    return;
  }
  if (result.varbinds[0].name != asked.name || !ToNetSnmp(result.varbinds[0], *request->requestvb)) {
    HostLog(LogLevel::Warning, binding.agent->Name() + ": GET " + OidText(asked.name) + " answered another OID or type");
    netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
  }
}

// Nothing more in this region. A subagent says endOfMibView and its master goes on with
// the next subtree; as the master, the library does so for a request left unanswered
// (an endOfMibView would end a GETBULK's repetitions here).
void PassOn(netsnmp_agent_request_info* info, netsnmp_request_info* request) {
  if (netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE))
    netsnmp_set_request_error(info, request, SNMP_ENDOFMIBVIEW);
}

// The name a GETNEXT asks the agent for: below the region's root the agent starts at
// the root itself.
bool AskGetNext(const RegionBinding& binding, netsnmp_request_info* request, VarBind& asked) {
  asked.name = HostOid(request->requestvb->name, request->requestvb->name_length);
  if (asked.name < binding.root) asked.name = binding.root;
  return true;
}

// An answer beyond the region or the master's search range is not ours: the master
// asks the next subtree.
void ApplyGetNext(RegionBinding& binding, netsnmp_agent_request_info* info, netsnmp_request_info* request,
                  const VarBind& asked, const QueryResult& result) {
  if (!result.called) {
    HostLog(LogLevel::Warning, binding.agent->Name() + ": GETNEXT " + OidText(asked.name) + " failed: " +
                                   (result.problem.empty() ? "agent returned FALSE" : result.problem));
    netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
    return;
  }
  if (result.status == kNoSuchName) {
    PassOn(info, request);
    return;
  }
  if (result.status != kNoError) {
    netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
    return;
  }
  const VarBind& answer = result.varbinds[0];
  // Compared as 32-bit sub-identifiers: AgentX delivers 4294967295 sign-extended in a
  // 64-bit oid, which net-snmp's own compare would rank above every real value.
  const bool ascending = CompareAsHost(request->requestvb->name, request->requestvb->name_length, answer.name) < 0;
  const bool inRegion = IsPrefix(binding.root, answer.name);
  const bool inRange =
      request->range_end_len == 0 || CompareAsHost(request->range_end, request->range_end_len, answer.name) > 0;
  if (!ascending || !inRegion || !inRange) {
    if (!ascending) HostLog(LogLevel::Warning, binding.agent->Name() + ": GETNEXT " + OidText(asked.name) +
                                                   " answered the non-ascending " + OidText(answer.name));
    PassOn(info, request);
    return;
  }
  if (!SetName(*request->requestvb, answer.name) || !ToNetSnmp(answer, *request->requestvb)) netsnmp_set_request_error(info, request, SNMP_ERR_GENERR);
}

QueryWorkers& Workers() {
  static QueryWorkers workers;
  return workers;
}

// One request of a GET or GETNEXT: what was asked and what the agent answered. A
// repetition of a GETBULK also carries the agent's answers to the repetitions after it.
struct DelegatedItem {
  netsnmp_request_info* request;
  VarBind asked;
  QueryResult result;
  size_t lookahead = 0;  // further GETNEXTs to run after this one
  std::vector<QueryResult> ahead;
};

long TransactionOf(netsnmp_agent_request_info* info) {
  return info && info->asp && info->asp->pdu ? info->asp->pdu->transid : 0;
}

BulkAnswers::Key BulkKeyOf(netsnmp_agent_request_info* info, netsnmp_request_info* request) {
  return BulkAnswers::Key{info->asp, TransactionOf(info), request->index};
}

BulkAnswers& BulkCache() {
  static BulkAnswers cache;
  return cache;
}

// Repetitions fetched ahead in one pass: enough for a full response, few enough that a
// response the library cuts short wastes little of the agent's time.
constexpr long kMaxLookahead = 128;

size_t LookaheadOf(netsnmp_agent_request_info* info, netsnmp_request_info* request) {
  const bool bulk = info->asp && info->asp->pdu && info->asp->pdu->command == SNMP_MSG_GETBULK;
  if (!bulk || request->repeat <= 0) return 0;
  return static_cast<size_t>(std::min<long>(request->repeat, kMaxLookahead));
}

// The GETNEXT of `item`, then the GETNEXTs of the repetitions after it while the agent
// stays inside the region.
void QueryAhead(const RegionBinding& binding, DelegatedItem& item) {
  item.result = binding.agent->Query(kPduGetNext, {item.asked});
  Oid last = item.asked.name;
  const QueryResult* previous = &item.result;
  for (size_t n = 0; n < item.lookahead; ++n) {
    if (!BulkAnswers::Ascends(*previous, last) || !IsPrefix(binding.root, previous->varbinds[0].name)) return;
    last = previous->varbinds[0].name;
    VarBind next;
    next.name = last;
    item.ahead.push_back(binding.agent->Query(kPduGetNext, {next}));
    previous = &item.ahead.back();
  }
}

// The queries of one handler call, run on the agent's thread. The loop waits a little
// for them: most answers come at once and are given straight away; only a query that
// takes longer (an agent rebuilding its MIB) is left delegated, so the loop goes on.
struct QueryJob {
  std::vector<DelegatedItem> items;
  std::mutex lock;
  std::condition_variable answered;
  bool done = false;
  // Read and written on the loop's thread only.
  bool delegated = false;
  netsnmp_delegated_cache* cache = nullptr;
};

constexpr auto kInlineWait = std::chrono::milliseconds(20);

void Apply(RegionBinding& binding, netsnmp_agent_request_info* info, DelegatedItem& item, bool next) {
  if (!next) {
    ApplyGet(binding, info, item.request, item.asked, item.result);
    return;
  }
  if (BulkAnswers::Ascends(item.result, item.asked.name))
    BulkCache().Keep(BulkKeyOf(info, item.request), item.result.varbinds[0].name, std::move(item.ahead));
  ApplyGetNext(binding, info, item.request, item.asked, item.result);
}

// A later repetition of a GETBULK whose answer an earlier pass fetched: answered at once.
bool AnsweredAhead(RegionBinding& binding, netsnmp_agent_request_info* info, DelegatedItem& item) {
  QueryResult answer;
  if (!BulkCache().Take(BulkKeyOf(info, item.request), item.asked.name, answer)) return false;
  ApplyGetNext(binding, info, item.request, item.asked, answer);
  return true;
}

void Delegate(netsnmp_mib_handler* handler, netsnmp_handler_registration* registration,
              netsnmp_agent_request_info* info, netsnmp_request_info* requests, bool next) {
  auto* binding = static_cast<RegionBinding*>(registration->my_reg_void);
  // Made only when the agent is to be asked: later passes of a GETBULK are mostly answered
  // from what the first one fetched.
  std::shared_ptr<QueryJob> job;
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    if (r->processed) continue;
    DelegatedItem item{r, {}, {}};
    if (!(next ? AskGetNext(*binding, r, item.asked) : AskGet(*binding, r, item.asked))) {
      netsnmp_set_request_error(info, r, SNMP_NOSUCHOBJECT);
      continue;
    }
    if (r->inclusive) {
      // Entering the region from below: net-snmp resolves such a request before it waits
      // for delegated ones, so it is answered here.
      ApplyGetNext(*binding, info, r, item.asked, binding->agent->Query(kPduGetNext, {item.asked}));
      continue;
    }
    if (next && AnsweredAhead(*binding, info, item)) continue;
    if (next) item.lookahead = LookaheadOf(info, r);
    if (!job) job = std::make_shared<QueryJob>();
    job->items.push_back(std::move(item));
  }
  if (!job) return;
  const uint8_t pdu = next ? kPduGetNext : kPduGet;
  Workers().Submit(
      binding->agent,
      [binding, job, pdu] {
        for (DelegatedItem& item : job->items) {
          try {
            if (pdu == kPduGetNext) QueryAhead(*binding, item);
            else item.result = binding->agent->Query(pdu, {item.asked});
          } catch (const std::exception& e) {
            item.result.called = false;
            item.result.problem = e.what();
          }
        }
        std::lock_guard<std::mutex> guard(job->lock);
        job->done = true;
        job->answered.notify_all();
      },
      [binding, job, next] {
        if (!job->delegated) return;  // answered while the loop waited
        // The request may be gone (the master gave up on it): then nothing is answered.
        netsnmp_delegated_cache* valid = netsnmp_handler_check_cache(job->cache);
        for (DelegatedItem& item : job->items) {
          if (!valid) break;
          item.request->delegated = 0;
          Apply(*binding, valid->reqinfo, item, next);
        }
        // The library moved a GETBULK's requests on to their next repetition when the
        // handler returned, while these had no answer yet: they move on now.
        if (valid && valid->reqinfo->mode == MODE_GETBULK) netsnmp_bulk_to_next_fix_requests(valid->requests);
        netsnmp_free_delegated_cache(job->cache);
      });
  bool answered = false;
  {
    std::unique_lock<std::mutex> guard(job->lock);
    answered = job->answered.wait_for(guard, kInlineWait, [&] { return job->done; });
  }
  if (answered) {
    for (DelegatedItem& item : job->items) Apply(*binding, info, item, next);
    return;
  }
  job->delegated = true;
  for (DelegatedItem& item : job->items) item.request->delegated = 1;
  job->cache = netsnmp_create_delegated_cache(handler, registration, info, requests, nullptr);
}

void OnQueriesDone(int, void*) { Workers().RunCompleted(); }

// SETs the agents applied, by transaction, until the master commits or undoes them.
std::set<long>& AppliedSets() {
  static std::set<long> applied;
  return applied;
}

// The whole SET goes to the agent in one call, as the service sends it.
void CommitSet(RegionBinding& binding, netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
  std::vector<VarBind> sets;
  std::vector<netsnmp_request_info*> order;
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    if (r->processed) continue;
    VarBind vb;
    FromNetSnmp(*r->requestvb, vb);
    sets.push_back(std::move(vb));
    order.push_back(r);
  }
  if (sets.empty()) return;
  QueryResult result = binding.agent->Query(kPduSet, sets);
  if (!result.called) {
    HostLog(LogLevel::Warning, binding.agent->Name() + ": SET failed: " +
                                   (result.problem.empty() ? "agent returned FALSE" : result.problem));
    netsnmp_set_request_error(info, order.front(), SNMP_ERR_GENERR);
    return;
  }
  if (result.status == kNoError) {
    AppliedSets().insert(TransactionOf(info));
    return;
  }
  const size_t at = result.index >= 1 && static_cast<size_t>(result.index) <= order.size() ? result.index - 1 : 0;
  netsnmp_set_request_error(info, order[at], SetError(result.status));
}

int HandleRequests(netsnmp_mib_handler* handler, netsnmp_handler_registration* registration,
                   netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
  auto* binding = static_cast<RegionBinding*>(registration->my_reg_void);
  try {
    switch (info->mode) {
      case MODE_GET:
        Delegate(handler, registration, info, requests, false);
        break;
      case MODE_GETNEXT:
        Delegate(handler, registration, info, requests, true);
        break;
      case MODE_SET_RESERVE1:
        for (netsnmp_request_info* r = requests; r; r = r->next) {
          VarBind vb;
          if (!FromNetSnmp(*r->requestvb, vb)) netsnmp_set_request_error(info, r, SNMP_ERR_WRONGTYPE);
        }
        break;
      case MODE_SET_ACTION:
        CommitSet(*binding, info, requests);
        break;
      case MODE_SET_UNDO:
        // An agent that applied the SET has no way back; one that refused it changed nothing.
        if (AppliedSets().erase(TransactionOf(info))) netsnmp_set_request_error(info, requests, SNMP_ERR_UNDOFAILED);
        break;
      case MODE_SET_COMMIT:
      case MODE_SET_FREE:
        AppliedSets().erase(TransactionOf(info));
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    HostLog(LogLevel::Error, binding->agent->Name() + ": request failed: " + e.what());
    netsnmp_set_request_error(info, requests, SNMP_ERR_GENERR);
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

bool FromNetSnmp(const variable_list& in, VarBind& out) {
  out = VarBind{};
  out.name = HostOid(in.name, in.name_length);
  out.value.type = in.type;
  switch (in.type) {
    case ASN_INTEGER:
      out.value.integer = *in.val.integer;
      return true;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out.value.integer = static_cast<uint32_t>(*in.val.integer);
      return true;
    case ASN_COUNTER64:
      out.value.counter64 = (static_cast<uint64_t>(in.val.counter64->high) << 32) | in.val.counter64->low;
      return true;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      out.value.bytes.assign(reinterpret_cast<const char*>(in.val.string), in.val_len);
      return true;
    case ASN_OBJECT_ID:
      out.value.oid = HostOid(in.val.objid, in.val_len / sizeof(oid));
      return true;
    case ASN_NULL:
      return true;
    default:
      return false;
  }
}

bool ToNetSnmp(const VarBind& in, variable_list& out) {
  const Value& v = in.value;
  switch (v.type) {
    case ASN_INTEGER: {
      const long value = static_cast<long>(v.integer);
      return snmp_set_var_typed_value(&out, ASN_INTEGER, &value, sizeof value) == 0;
    }
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case 0x47: {  // UInteger32 of SMIv1 goes out as Gauge32/Unsigned32
      const u_long value = static_cast<uint32_t>(v.integer);
      return snmp_set_var_typed_value(&out, v.type == 0x47 ? ASN_GAUGE : v.type, &value, sizeof value) == 0;
    }
    case ASN_COUNTER64: {
      counter64 value{static_cast<u_long>(v.counter64 >> 32), static_cast<u_long>(v.counter64 & 0xFFFFFFFFu)};
      return snmp_set_var_typed_value(&out, ASN_COUNTER64, &value, sizeof value) == 0;
    }
    case ASN_IPADDRESS:
      // An IpAddress is four bytes on the wire (and in AgentX); an IPv6 or an empty address
      // travels as an OCTET STRING with the agent's bytes, so the walk goes on and the
      // manager sees what the agent holds.
      if (v.bytes.size() != 4) return snmp_set_var_typed_value(&out, ASN_OCTET_STR, v.bytes.data(), v.bytes.size()) == 0;
      return snmp_set_var_typed_value(&out, ASN_IPADDRESS, v.bytes.data(), 4) == 0;
    case ASN_OCTET_STR:
    case 0x03:  // BITS travel as OCTET STRING in SNMPv2
    case ASN_OPAQUE:
      return snmp_set_var_typed_value(&out, v.type == ASN_OPAQUE ? ASN_OPAQUE : ASN_OCTET_STR, v.bytes.data(),
                                      v.bytes.size()) == 0;
    case ASN_OBJECT_ID: {
      const std::vector<oid> ids = NetOid(v.oid);
      return snmp_set_var_typed_value(&out, ASN_OBJECT_ID, ids.data(), ids.size() * sizeof(oid)) == 0;
    }
    case ASN_NULL:
      return snmp_set_var_typed_value(&out, ASN_NULL, nullptr, 0) == 0;
    default:
      return false;
  }
}

Oid NotificationOid(const Trap& trap) {
  if (trap.generic >= 0 && trap.generic <= 5) {
    Oid oid = kSnmpTraps;
    oid.push_back(static_cast<uint32_t>(trap.generic + 1));
    return oid;
  }
  Oid oid = trap.enterprise;
  oid.push_back(0);
  oid.push_back(static_cast<uint32_t>(trap.specific));
  return oid;
}

variable_list* BuildNotification(const Trap& trap) {
  if (trap.enterprise.empty()) return nullptr;
  netsnmp_variable_list* vars = nullptr;
  const u_long ticks = trap.timestamp;
  const std::vector<oid> upTime = NetOid(kSysUpTime);
  snmp_varlist_add_variable(&vars, upTime.data(), upTime.size(), ASN_TIMETICKS, &ticks, sizeof ticks);
  const std::vector<oid> trapOidName = NetOid(kSnmpTrapOid);
  const std::vector<oid> trapOid = NetOid(NotificationOid(trap));
  snmp_varlist_add_variable(&vars, trapOidName.data(), trapOidName.size(), ASN_OBJECT_ID, trapOid.data(),
                            trapOid.size() * sizeof(oid));
  for (const VarBind& vb : trap.varbinds) {
    const std::vector<oid> name = NetOid(vb.name);
    netsnmp_variable_list* added = snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
    if (!added || !ToNetSnmp(vb, *added)) {
      snmp_free_varbind(vars);
      return nullptr;
    }
  }
  const std::vector<oid> enterpriseName = NetOid(kSnmpTrapEnterprise);
  const std::vector<oid> enterprise = NetOid(trap.enterprise);
  snmp_varlist_add_variable(&vars, enterpriseName.data(), enterpriseName.size(), ASN_OBJECT_ID, enterprise.data(),
                            enterprise.size() * sizeof(oid));
  return vars;
}

bool RegisterRegions(LoadedAgent& agent, int timeoutSeconds) {
  static const bool completionsWatched = register_readfd(Workers().CompletionFd(), OnQueriesDone, nullptr) == 0;
  (void)completionsWatched;
  bool all = true;
  for (const Oid& root : agent.Regions()) {
    const std::vector<oid> ids = NetOid(root);
    const std::string label = agent.Name() + OidText(root);
    netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
        label.c_str(), HandleRequests, ids.data(), ids.size(), HANDLER_CAN_RWRITE);
    if (!registration) {
      all = false;
      continue;
    }
    // Lives as long as the registration, which lives until the host exits.
    static std::vector<std::unique_ptr<RegionBinding>> bindings;
    bindings.push_back(std::make_unique<RegionBinding>(RegionBinding{&agent, root}));
    registration->my_reg_void = bindings.back().get();
    registration->timeout = timeoutSeconds;  // AgentX Register-PDU timeout
    if (netsnmp_register_handler(registration) != MIB_REGISTERED_OK) {
      HostLog(LogLevel::Error, agent.Name() + ": cannot register region " + OidText(root));
      all = false;
      continue;
    }
    HostLog(LogLevel::Info, agent.Name() + ": registered region " + OidText(root));
  }
  return all;
}

void StopQueries() {
  Workers().Stop();
  unregister_readfd(Workers().CompletionFd());
}

}  // namespace host
