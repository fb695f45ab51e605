// snmpext-host as an SNMP agent of its own: net-snmp's agent library is the master, with
// its listeners, access control and trap sinks configured by a file in snmpd.conf syntax.
#pragma once
#include <string>

#include "host_types.h"

namespace host {

// Before init_agent: the master role and the configuration file to read (only that one).
void PrepareStandalone(const std::string& configFile);
// After init_agent, before init_snmp: the library's MIB modules for the system group,
// the SNMP statistics, access control and SNMPv3 users.
void RegisterStandardModules();
// init_snmp: reads the configuration. False with the reason when it has errors.
bool ReadConfiguration(const char* appName, const std::string& configFile, std::string& error);
// Opens the configured addresses; false with the reason when one cannot be opened.
bool OpenListeners(const std::string& configFile, std::string& error);
// Hands the trap to the library, which sends it to every configured sink (informs are
// retried by the library); false when the trap has no SNMP form.
bool SendToSinks(const Trap& trap);

// What sysDescr says when the configuration does not set it.
std::string DefaultSystemDescription();
// Whether the configuration text sets the named directive (case-insensitive, as the
// library reads it).
bool ConfigSets(const std::string& configText, const std::string& directive);

}  // namespace host
