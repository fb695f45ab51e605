#include "standalone_agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <strings.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host_log.h"
#include "snmp_bridge.h"

// The library's own MIB modules (libnetsnmpmibs and libnetsnmpagent); their headers are
// not installed.
extern "C" {
void init_system_mib(void);
void init_sysORTable(void);
void init_snmp_mib(void);
void init_vacm_vars(void);
void init_vacm_conf(void);
void init_vacm_context(void);
void init_usmUser(void);
void init_usmStats(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void init_setSerialNo(void);
void add_to_init_list(char* module);
}

namespace host {
namespace {

// What the library reports while it reads the configuration.
struct ConfigProblems {
  int errors = 0;  // errors, and unknown directives that would leave a typo without effect
  int sinks = 0;   // sinks that cannot be opened now (a TCP receiver that is not running)
};

int CountConfigProblem(int, int, void* serverArg, void* clientArg) {
  const auto* message = static_cast<const snmp_log_message*>(serverArg);
  auto* problems = static_cast<ConfigProblems*>(clientArg);
  const char* text = message && message->msg ? message->msg : "";
  if (std::strstr(text, "cannot create sink")) {
    ++problems->sinks;
    return SNMPERR_SUCCESS;
  }
  if (std::strstr(text, "netsnmp_create_notification_session")) return SNMPERR_SUCCESS;  // the line before
  if (message->priority <= LOG_ERR || std::strstr(text, "Unknown token")) ++problems->errors;
  return SNMPERR_SUCCESS;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return true;
}

}  // namespace

std::string DefaultSystemDescription() {
  utsname name{};
  if (uname(&name) != 0) return "snmpext-host: SNMP extension-agent host";
  return std::string("snmpext-host: SNMP extension-agent host on ") + name.nodename + " (" + name.sysname + " " +
         name.release + " " + name.machine + ")";
}

bool ConfigSets(const std::string& configText, const std::string& directive) {
  std::istringstream lines(configText);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first;
    if (words >> first && strcasecmp(first.c_str(), directive.c_str()) == 0) return true;
  }
  return false;
}

void PrepareStandalone(const std::string& configFile) {
  // Only the given file: neither the system's snmpd.conf nor files found on the search path.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, configFile.c_str());
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
  // No SMUX listener: the host serves its extension agents, not SMUX peers.
  add_to_init_list(const_cast<char*>("-smux"));
  // A line per request would drown the host's own log; the configuration may turn it on.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
}

void RegisterStandardModules() {
  init_system_mib();
  init_sysORTable();
  init_snmp_mib();
  init_vacm_conf();
  init_vacm_vars();
  init_vacm_context();
  init_usmUser();
  init_usmStats();
  init_snmpEngine();
  init_snmpMPDStats();
  init_setSerialNo();
}

bool ReadConfiguration(const char* appName, const std::string& configFile, std::string& error) {
  std::string text;
  if (!ReadFile(configFile, text)) {
    error = "cannot read the configuration " + configFile + ": " + std::strerror(errno);
    return false;
  }
  ConfigProblems problems;
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, CountConfigProblem, &problems);
  netsnmp_log_handler* counter = netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_WARNING);
  init_snmp(appName);
  if (counter) netsnmp_remove_loghandler(counter);
  snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, CountConfigProblem, &problems, 1);
  if (problems.errors) {
    error = "the configuration " + configFile + " has " + std::to_string(problems.errors) + " errors (see above)";
    return false;
  }
  // The agent still serves; the library opens a sink only here, so that one stays without traps.
  if (problems.sinks)
    HostLog(LogLevel::Warning, std::to_string(problems.sinks) +
                                   " trap sinks could not be opened and get no traps until the host restarts");
  if (!ConfigSets(text, "sysDescr")) {
    const std::string line = "sysDescr " + DefaultSystemDescription();
    netsnmp_config(const_cast<char*>(line.c_str()));
  }
  return true;
}

bool OpenListeners(const std::string& configFile, std::string& error) {
  if (init_master_agent() != 0) {
    error = "cannot listen on the agentAddress of " + configFile + " (in use, or a privileged port?)";
    return false;
  }
  return true;
}

bool SendToSinks(const Trap& trap) {
  netsnmp_variable_list* vars = BuildNotification(trap);
  if (!vars) return false;
  send_v2trap(vars);
  snmp_free_varbind(vars);
  return true;
}

}  // namespace host
