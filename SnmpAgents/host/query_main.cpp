// snmpext-query: loads one extension agent in this process and queries it directly,
// printing like net-snmp's tools with numeric OIDs; for diagnosis without snmpd.
#include <windows.h>

#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loaded_agent.h"
#include "value_text.h"

using namespace host;

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

int Usage(const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "snmpext-query: %s\n", problem);
  std::fputs(
      "usage: snmpext-query AGENT get OID...\n"
      "       snmpext-query AGENT getnext OID...\n"
      "       snmpext-query AGENT walk [OID]\n"
      "       snmpext-query AGENT set OID TYPE VALUE   (TYPE: i u c t C s x o a)\n"
      "       snmpext-query AGENT traps [SECONDS]      (prints traps until Ctrl-C or SECONDS)\n",
      stderr);
  return 2;
}

const char* StatusName(int status) {
  static const char* kNames[] = {"noError",      "tooBig",        "noSuchName",  "badValue",
                                 "readOnly",     "genErr",        "noAccess",    "wrongType",
                                 "wrongLength",  "wrongEncoding", "wrongValue",  "noCreation",
                                 "inconsistentValue", "resourceUnavailable", "commitFailed", "undoFailed",
                                 "authorizationError", "notWritable", "inconsistentName"};
  return status >= 0 && status <= 18 ? kNames[status] : "unknown";
}

// Prints the answer or the error; the exit code of the command.
int Report(const QueryResult& result, const std::vector<VarBind>& request) {
  if (!result.called) {
    std::fprintf(stderr, "Error: the agent failed the request%s%s\n", result.problem.empty() ? "" : ": ",
                 result.problem.c_str());
    return 1;
  }
  if (result.status != 0) {
    std::fprintf(stderr, "Error in packet.\nReason: %s\n", StatusName(result.status));
    if (result.index >= 1 && static_cast<size_t>(result.index) <= request.size())
      std::fprintf(stderr, "Failed object: %s\n", OidText(request[result.index - 1].name).c_str());
    return 2;
  }
  for (const VarBind& vb : result.varbinds) std::printf("%s\n", VarBindText(vb).c_str());
  return 0;
}

bool ParseOids(int count, char** texts, std::vector<VarBind>& out) {
  for (int i = 0; i < count; ++i) {
    VarBind vb;
    if (!ParseOid(texts[i], vb.name)) {
      std::fprintf(stderr, "snmpext-query: not an OID: %s\n", texts[i]);
      return false;
    }
    out.push_back(std::move(vb));
  }
  return !out.empty();
}

int Walk(LoadedAgent& agent, const Oid& root) {
  VarBind cursor;
  cursor.name = root;
  for (;;) {
    QueryResult result = agent.Query(kPduGetNext, {cursor});
    if (!result.called) return Report(result, {cursor});
    if (result.status == kNoSuchName) return 0;
    if (result.status != 0) return Report(result, {cursor});
    const VarBind& next = result.varbinds[0];
    if (!IsPrefix(root, next.name)) return 0;
    if (!(next.name > cursor.name)) {
      std::fprintf(stderr, "Error: OID not increasing: %s\n", OidText(next.name).c_str());
      return 1;
    }
    std::printf("%s\n", VarBindText(next).c_str());
    cursor.name = next.name;
  }
}

int Traps(LoadedAgent& agent, DWORD seconds) {
  if (!agent.HasTraps()) {
    std::fprintf(stderr, "snmpext-query: the agent has no trap event or no SnmpExtensionTrap\n");
    return 1;
  }
  signal(SIGINT, OnStop);
  signal(SIGTERM, OnStop);
  const ULONGLONG end = seconds ? GetTickCount64() + seconds * 1000ull : 0;
  while (!g_stop && (!end || GetTickCount64() < end)) {
    if (WaitForSingleObject(static_cast<HANDLE>(agent.TrapEvent()), 200) != WAIT_OBJECT_0) continue;
    Trap trap;
    while (agent.NextTrap(trap)) {
      std::printf("TRAP enterprise %s generic %d specific %d time %u\n", OidText(trap.enterprise).c_str(),
                  trap.generic, trap.specific, trap.timestamp);
      for (const VarBind& vb : trap.varbinds) std::printf("  %s\n", VarBindText(vb).c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}

int Run(LoadedAgent& agent, const std::string& command, int argc, char** argv) {
  std::vector<VarBind> request;
  if (command == "get" || command == "getnext") {
    if (!ParseOids(argc, argv, request)) return Usage("give at least one OID");
    return Report(agent.Query(command == "get" ? kPduGet : kPduGetNext, request), request);
  }
  if (command == "walk") {
    Oid root = agent.Regions().empty() ? Oid{1} : agent.Regions().front();
    if (argc >= 1 && !ParseOid(argv[0], root)) return Usage("not an OID");
    if (argc >= 1) return Walk(agent, root);
    int rc = 0;
    for (const Oid& region : agent.Regions()) rc |= Walk(agent, region);
    return rc;
  }
  if (command == "set") {
    if (argc != 3 || std::string(argv[1]).size() != 1) return Usage("set takes OID TYPE VALUE");
    VarBind vb;
    std::string error;
    if (!ParseOid(argv[0], vb.name)) return Usage("not an OID");
    if (!ParseValue(argv[1][0], argv[2], vb.value, error)) return Usage(error.c_str());
    request.push_back(vb);
    const QueryResult result = agent.Query(kPduSet, request);
    if (result.called && result.status == 0) {
      std::printf("%s\n", VarBindText(vb).c_str());
      return 0;
    }
    return Report(result, request);
  }
  if (command == "traps") return Traps(agent, argc >= 1 ? static_cast<DWORD>(std::strtoul(argv[0], nullptr, 10)) : 0);
  return Usage(("unknown command " + command).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string error;
  auto agent = LoadedAgent::Load(argv[1], error);
  if (!agent) {
    std::fprintf(stderr, "snmpext-query: %s\n", error.c_str());
    return 1;
  }
  if (!agent->Initialize(static_cast<DWORD>(GetTickCount64() / 10), error)) {
    std::fprintf(stderr, "snmpext-query: %s: %s\n", agent->Name().c_str(), error.c_str());
    return 1;
  }
  const int rc = Run(*agent, argv[2], argc - 3, argv + 3);
  agent->Close();
  return rc;
}
