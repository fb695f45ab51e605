// snmpext-host: loads extension agents and drives them through their five exports, as the
// Windows SNMP service does; an AgentX subagent of snmpd, or (--standalone) an SNMP agent
// of its own.
#include <windows.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <signal.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "agent_locator.h"
#include "loaded_agent.h"
#include "host_log.h"
#include "snmp_bridge.h"
#include "standalone_agent.h"
#include "trap_pump.h"
#include "trap_handoff.h"

using namespace host;

// The subagent's session with the master; null while the master is away.
extern "C" netsnmp_session* main_session;

namespace {

constexpr const char* kAppName = "snmpext-host";

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

struct Options {
  std::vector<std::string> agents;
  std::string socket;
  int pingInterval = 5;
  // How long snmpd waits for an answer of ours: an agent may hold a request while it
  // rebuilds its MIB, and a master whose wait runs out answers genErr and drops us.
  int agentxTimeout = 60;
  size_t queueCapacity = 100000;
  bool verbose = false;
  bool standalone = false;
  std::string config;  // snmpd.conf syntax, read by the library in standalone mode
};

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "%s: %s\n", kAppName, problem);
  std::fprintf(stderr,
               "usage: %s [--agent PATH]... [--agentx-socket PATH] [--ping-interval SECONDS]\n"
               "          [--agentx-timeout SECONDS] [--trap-queue N] [--verbose]\n"
               "       %s --standalone --config FILE [--agent PATH]... [--trap-queue N] [--verbose]\n"
               "  Without --standalone, an AgentX subagent of snmpd; with it, an SNMP agent of its own\n"
               "  configured by FILE in snmpd.conf syntax (agentAddress, communities, views, users,\n"
               "  trap2sink, informsink, trapsess).\n"
               "  Without --agent, loads the agents registered under\n"
               "  HKLM\\SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents.\n",
               kAppName, kAppName);
  return 2;
}

bool ParseNumber(const char* text, long minimum, long maximum, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return *text && !*end && value >= minimum && value <= maximum;
}

int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    if (arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (arg == "--standalone") {
      options.standalone = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return Usage(nullptr);
    if (!value) return Usage(("missing value after " + arg).c_str());
    ++i;
    if (arg == "--agent") {
      options.agents.push_back(value);
    } else if (arg == "--config") {
      options.config = value;
    } else if (arg == "--agentx-socket") {
      options.socket = value;
    } else if (arg == "--ping-interval") {
      if (!ParseNumber(value, 1, 3600, number)) return Usage("--ping-interval takes 1 to 3600 seconds");
      options.pingInterval = static_cast<int>(number);
    } else if (arg == "--agentx-timeout") {
      if (!ParseNumber(value, 1, 255, number)) return Usage("--agentx-timeout takes 1 to 255 seconds");
      options.agentxTimeout = static_cast<int>(number);
    } else if (arg == "--trap-queue") {
      if (!ParseNumber(value, 1, 10000000, number)) return Usage("--trap-queue takes 1 to 10000000 traps");
      options.queueCapacity = static_cast<size_t>(number);
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (options.standalone && options.config.empty()) return Usage("--standalone needs --config FILE");
  if (!options.standalone && !options.config.empty()) return Usage("--config belongs to --standalone");
  return 0;
}

// A notification handed to the master and not answered yet, kept to be sent again.
struct SentTrap {
  int reqid = 0;
  Trap trap;
};

struct Host {
  TrapHandoff queue;
  bool standalone = false;
  std::vector<std::unique_ptr<LoadedAgent>> agents;
  bool backoffPending = false;  // a flush is scheduled for when the master caught up
  // A master that stops or fails drops what it has not read yet: a trap counts as
  // delivered only once the master answered its Notify; the others go out again, in order.
  std::deque<SentTrap> unanswered;
  std::deque<Trap> resend;
  Host(size_t capacity, bool standaloneMode) : queue(capacity), standalone(standaloneMode) {}
};

// The AgentX Notify PDU type (RFC 2741); net-snmp does not install its AgentX headers.
constexpr int kAgentxNotify = 12;

// Notifications sent per turn of the event loop, and the most the master may leave
// unread on the AgentX socket. The master answers every notification; while it is slower
// than the agents, a host that kept sending would block on a full socket while the
// master blocks on its answers to the host: both would stop for good.
constexpr int kTrapsPerTurn = 32;
constexpr int kMaxUnreadByMaster = 16 * 1024;
constexpr long kBackoffMicroseconds = 5000;

void OnFlushAlarm(unsigned int, void* data);

// The master's answer to a Notify, or the end of the wait for it (timeout, lost session).
int OnNotifyAnswered(int operation, netsnmp_session*, int reqid, netsnmp_pdu*, void* data) {
  auto* host = static_cast<Host*>(data);
  auto sent = std::find_if(host->unanswered.begin(), host->unanswered.end(),
                           [reqid](const SentTrap& s) { return s.reqid == reqid; });
  if (sent == host->unanswered.end()) return 1;
  if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) host->resend.push_back(std::move(sent->trap));
  host->unanswered.erase(sent);
  if (!host->resend.empty()) host->queue.Rewake();
  return 1;
}

// Traps whose Notify went unanswered go before everything still queued, oldest first.
void RequeueUnanswered(Host& host) {
  for (auto trap = host.resend.rbegin(); trap != host.resend.rend(); ++trap) host.queue.Unpop(std::move(*trap));
  host.resend.clear();
}

// Takes the trap (kept until the answer) and the varbinds when the Notify went out.
bool SendNotify(Host& host, Trap& trap, netsnmp_variable_list* vars) {
  netsnmp_pdu* pdu = snmp_pdu_create(kAgentxNotify);
  if (!pdu) return false;
  pdu->version = main_session->version;
  pdu->sessid = main_session->sessid;
  pdu->variables = vars;
  pdu->flags |= UCD_MSG_FLAG_EXPECT_RESPONSE;
  const int reqid = pdu->reqid = pdu->msgid = snmp_get_next_reqid();
  if (!snmp_async_send(main_session, pdu, OnNotifyAnswered, &host)) {
    pdu->variables = nullptr;  // the caller still owns them
    snmp_free_pdu(pdu);
    return false;
  }
  host.unanswered.push_back(SentTrap{reqid, std::move(trap)});
  return true;
}

// Bytes the master has not read yet from our socket; 0 when that cannot be told.
int UnreadByMaster() {
  void* session = main_session ? snmp_sess_pointer(main_session) : nullptr;
  netsnmp_transport* transport = session ? snmp_sess_transport(session) : nullptr;
  int queued = 0;
  if (!transport || transport->sock < 0 || ioctl(transport->sock, SIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

void DropUnsendable(const Trap& trap) {
  HostLog(LogLevel::Warning, trap.agent + ": trap " + std::to_string(trap.specific) + " has no SNMP form, dropped");
}

// Our own master: the library sends each trap to the configured sinks at once, a turn's
// worth at a time so that requests are served in between.
void FlushTrapsToSinks(Host& host) {
  Trap trap;
  for (int sent = 0; host.queue.Pop(trap); ++sent) {
    if (sent == kTrapsPerTurn) {
      host.queue.Unpop(std::move(trap));
      host.queue.Rewake();
      return;
    }
    if (!SendToSinks(trap)) DropUnsendable(trap);
  }
}

// Sends what is queued while the master is there and keeps up; otherwise the traps wait.
void FlushTraps(Host& host) {
  if (const size_t dropped = host.queue.TakeDropped())
    HostLog(LogLevel::Warning, std::to_string(dropped) + " traps dropped: the trap queue was full");
  if (host.standalone) {
    FlushTrapsToSinks(host);
    return;
  }
  RequeueUnanswered(host);
  Trap trap;
  for (int sent = 0; main_session && host.queue.Pop(trap); ++sent) {
    if (sent == kTrapsPerTurn) {
      host.queue.Unpop(std::move(trap));
      host.queue.Rewake();
      return;
    }
    if (UnreadByMaster() > kMaxUnreadByMaster) {
      host.queue.Unpop(std::move(trap));
      if (!host.backoffPending) {
        host.backoffPending = true;
        timeval delay{0, kBackoffMicroseconds};
        snmp_alarm_register_hr(delay, 0, OnFlushAlarm, &host);
      }
      return;
    }
    netsnmp_variable_list* vars = BuildNotification(trap);
    if (!vars) {
      DropUnsendable(trap);
      continue;
    }
    if (!SendNotify(host, trap, vars)) {
      snmp_free_varbind(vars);
      host.queue.Unpop(std::move(trap));
      return;
    }
  }
}

void OnWake(int, void* data) {
  auto* host = static_cast<Host*>(data);
  host->queue.DrainWake();
  FlushTraps(*host);
}

void OnFlushAlarm(unsigned int, void* data) {
  auto* host = static_cast<Host*>(data);
  host->backoffPending = false;
  FlushTraps(*host);
}

std::vector<std::string> AgentPaths(const Options& options) {
  if (!options.agents.empty()) return options.agents;
  std::vector<std::string> paths;
  for (const LocatedAgent& located : RegisteredAgents()) {
    if (!located.problem.empty()) {
      HostLog(LogLevel::Error, located.problem + "; skipped");
      continue;
    }
    paths.push_back(located.path);
  }
  return paths;
}

void LoadAgents(Host& host, const Options& options, DWORD uptimeReference) {
  for (const std::string& path : AgentPaths(options)) {
    std::string error;
    auto agent = LoadedAgent::Load(path, error);
    if (!agent) {
      HostLog(LogLevel::Error, error + "; skipped");
      continue;
    }
    if (!agent->Initialize(uptimeReference, error)) {
      HostLog(LogLevel::Error, agent->Name() + ": " + error + "; skipped");
      continue;
    }
    HostLog(LogLevel::Info, agent->Name() + ": loaded from " + path + " with " +
                                std::to_string(agent->Regions().size()) + " regions");
    host.agents.push_back(std::move(agent));
  }
}

void ConfigureNetSnmp(const Options& options) {
  setenv("MIBS", "", 1);
  snmp_enable_stderrlog();
  if (!options.verbose) snmp_set_do_debugging(0);
  if (options.standalone) {
    // Persistent state stays on: SNMPv3 needs its engine boots counted across restarts.
    PrepareStandalone(options.config);
    return;
  }
  // Private to the host: no system configuration, no MIB files, no persistent state.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  if (!options.socket.empty())
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, options.socket.c_str());
}

// What only the subagent sets, after init_agent and before init_snmp: otherwise the ping
// interval stays at its default.
void ConfigureAgentx(const Options& options) {
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, options.pingInterval);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, options.agentxTimeout * 1000000);
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, 1);
}

void CloseAgents(Host& host) {
  for (auto& agent : host.agents) agent->Close();
  host.agents.clear();
}

// Standalone, the library reads its configuration before any agent is loaded: a host that
// cannot serve starts no agent. False (and logged) on a bad configuration.
bool ReadStandaloneConfiguration(const Options& options) {
  std::string error;
  if (ReadConfiguration(kAppName, options.config, error)) return true;
  HostLog(LogLevel::Error, error);
  return false;
}

// Starts answering managers once the regions are registered: the subagent connects to its
// master, the standalone host opens its listeners. False (and logged) when it cannot.
bool StartServing(const Options& options) {
  if (!options.standalone) {
    init_snmp(kAppName);
    return true;
  }
  std::string error;
  if (!OpenListeners(options.config, error)) {
    HostLog(LogLevel::Error, error);
    return false;
  }
  send_easy_trap(SNMP_TRAP_COLDSTART, 0);
  HostLog(LogLevel::Info, "standalone agent configured from " + options.config);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int rc = ParseOptions(argc, argv, options)) return rc;
  SetLogLevel(options.verbose ? LogLevel::Debug : LogLevel::Info);

  // The time-zero reference in hundredths of a second, the unit of the agents' stamps.
  const DWORD uptimeReference = static_cast<DWORD>(GetTickCount64() / 10);
  Host host(options.queueCapacity, options.standalone);
  ConfigureNetSnmp(options);
  init_agent(kAppName);
  if (options.standalone) {
    RegisterStandardModules();
    if (!ReadStandaloneConfiguration(options)) {
      snmp_shutdown(kAppName);
      return 1;
    }
  } else {
    ConfigureAgentx(options);
  }

  LoadAgents(host, options, uptimeReference);
  if (host.agents.empty()) HostLog(LogLevel::Warning, "no extension agent loaded; serving nothing");
  for (auto& agent : host.agents) RegisterRegions(*agent, options.agentxTimeout);

  if (!StartServing(options)) {
    StopQueries();
    CloseAgents(host);
    snmp_shutdown(kAppName);
    return 1;
  }
  TrapPump pump(host.queue);
  for (auto& agent : host.agents) pump.Start(*agent);
  // After net-snmp's initialisation, which installs handlers of its own.
  struct sigaction stop{};
  stop.sa_handler = OnStopSignal;  // no SA_RESTART: the select loop wakes up
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  register_readfd(host.queue.WakeFd(), OnWake, &host);
  snmp_alarm_register(1, SA_REPEAT, OnFlushAlarm, &host);
  HostLog(LogLevel::Info, "serving " + std::to_string(host.agents.size()) + " agents");

  while (!g_stop) agent_check_and_process(1);

  HostLog(LogLevel::Info, "stopping");
  StopQueries();
  pump.Stop();
  FlushTraps(host);
  for (auto& agent : host.agents) agent->Close();
  unregister_readfd(host.queue.WakeFd());
  snmp_shutdown(kAppName);
  CloseAgents(host);
  HostLog(LogLevel::Info, "stopped");
  return 0;
}
