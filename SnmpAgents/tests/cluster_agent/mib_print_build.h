// The cluster MIB built in process, as the host's values: kept apart from the net-snmp
// side, whose headers and Win32's snmp.h define the same names.
#pragma once

#include <vector>

#include "host_types.h"

// False when the cluster service does not answer or the build was cut short.
bool BuildClusterMib(std::vector<host::VarBind>& objects);
