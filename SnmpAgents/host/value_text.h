// Values as net-snmp's tools print them with numeric OIDs (".1.3.6.1... = INTEGER: 3"),
// and SET values from the tools' type letters (i u c t s x o a C).
#pragma once
#include <string>

#include "host_types.h"

namespace host {

std::string VarBindText(const VarBind& vb);
std::string ValueText(const Value& value);

// Parses dotted text (leading dot optional) into an OID; false for anything else.
bool ParseOid(const std::string& text, Oid& oid);
// false with the reason in `error` when the letter is unknown or the text does not fit.
bool ParseValue(char type, const std::string& text, Value& value, std::string& error);

}  // namespace host
