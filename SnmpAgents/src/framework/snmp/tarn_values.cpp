#include "tarn_values.h"

#include <cstdint>
#include <limits>
#include <string>

#include "debug_trace.h"

namespace {

struct StatusRow {
  LONG command;
  SNMPSTATUS snmp;
};

const StatusRow kStatusTable[] = {
    {0, SNMP_ERRORSTATUS_NOERROR},    {1, SNMP_ERRORSTATUS_NOSUCHNAME}, {2, SNMP_ERRORSTATUS_NOSUCHNAME},
    {19, SNMP_ERRORSTATUS_NOSUCHNAME}, {20, SNMP_ERRORSTATUS_NOSUCHNAME}, {25, SNMP_ERRORSTATUS_NOSUCHNAME},
    {4, SNMP_ERRORSTATUS_BADVALUE},   {7, SNMP_ERRORSTATUS_READONLY},   {8, SNMP_ERRORSTATUS_READONLY},
    {10, SNMP_ERRORSTATUS_TOOBIG},
};

struct ResultLine {
  SNMPSTATUS snmp;
  const wchar_t* line;
};

const ResultLine kResultLines[] = {
    {SNMP_ERRORSTATUS_NOERROR, L"\n%-20s:   SNMP status = NOERROR (0x%02X)"},
    {SNMP_ERRORSTATUS_NOSUCHNAME, L"\n%-20s:   SNMP status = NOSUCHNAME (0x%02X)"},
    {SNMP_ERRORSTATUS_BADVALUE, L"\n%-20s:   SNMP status = BADVALUE (0x%02X)"},
    {SNMP_ERRORSTATUS_READONLY, L"\n%-20s:   SNMP status = READONLY (0x%02X)"},
    {SNMP_ERRORSTATUS_TOOBIG, L"\n%-20s:   SNMP status = TOOBIG (0x%02X)"},
    {SNMP_ERRORSTATUS_GENERR, L"\n%-20s:   SNMP status = GENERR (0x%02X)"},
};

bool FitsLong(int64_t value) {
  return value >= std::numeric_limits<LONG>::min() && value <= std::numeric_limits<LONG>::max();
}

DWORD ObjectCode(const Tarn& record) { return record.Get(L"OC", 0); }

}  // namespace

SNMPSTATUS ConvertTarnStatus(LONG commandStatus, const wchar_t* agentName) {
  DBG_TRACE(4, L"\n%-20s: Converting TARN command status 0x%02X to SNMP status...", agentName, commandStatus);
  SNMPSTATUS snmp = SNMP_ERRORSTATUS_GENERR;
  for (const StatusRow& row : kStatusTable) {
    if (row.command == commandStatus) snmp = row.snmp;
  }
  for (const ResultLine& result : kResultLines) {
    if (result.snmp == snmp) DBG_TRACE(4, result.line, agentName, snmp);
  }
  return snmp;
}

// ---------------------------------------------------------------------------------------
// GET

SNMPSTATUS CTarnValues::Get(MibObject& object) {
  DBG_TRACE(3, L"\n%-20s: RequestTarnGet() - get value for MIB object \"%s\" via TARN", m_agentName,
            object.Name.c_str());
  if (!object.TarnAttribute) return SNMP_ERRORSTATUS_GENERR;
  CTarnAttribute& record = *object.TarnAttribute;
  if (record.IsEmpty() || ObjectCode(record) == kTarnIllegalCmd) {
    DBG_TRACE(4,
              L"\n%-20s: RequestTarnGet() - CM_IllegalCmd => no automatic TARN request - done in callback function",
              m_agentName);
    return SNMP_ERRORSTATUS_NOERROR;
  }
  Fetch(record);
  if (object.GetFunc || object.GetSetChecksetFuncEx) {
    DBG_TRACE(4, L"\n%-20s: RequestTarnGet() - no value processing here - done in callback function", m_agentName);
    return SNMP_ERRORSTATUS_NOERROR;
  }
  DBG_TRACE(4,
            L"\n%-20s: RequestTarnGet() - do value processing: convert TARN value to MIB value by using default values "
            L"and enum value offsets...",
            m_agentName);
  switch (object.AsnType) {
    case ASN_OCTETSTRING:
      return ReadText(object, record);
    case ASN_INTEGER:
      return ReadInteger(object, record);
    case ASN_COUNTER32:
    case ASN_GAUGE32:
      return ReadCounter(object, record);
    default:
      DBG_TRACE(1, L"\n%-20s: ## FATAL ERROR in RequestTarnGet()! Unsupported ASN data type (0x%02X) - fix this!",
                m_agentName, object.AsnType);
      ReleaseValue(&object.VarBind.value);
      return SNMP_ERRORSTATUS_GENERR;
  }
}

// With the keep-value flag a usable answer is asked for once; otherwise every read asks.
// The record goes out unanswered, so that a request that never reaches the service
// cannot leave an older status behind.
void CTarnValues::Fetch(CTarnAttribute& record) {
  if (record.KeepValue) {
    if (auto kept = record.KeptAnswer()) {
      static_cast<Tarn&>(record) = *kept;
      return;
    }
  }
  record.Set(L"ST", Tarn::kStatusNotAnswered);
  m_client.Request(record, 0);
  if (record.KeepValue) record.KeepAnswer(record);
}

SNMPSTATUS CTarnValues::ReadText(MibObject& object, const CTarnAttribute& record) {
  const std::optional<std::wstring> text = record.IsGoodReply() ? record.DataText() : std::nullopt;
  if (text) {
    DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   string value = \"%s\"", m_agentName, *text);
  } else {
    DBG_TRACE(3,
              L"\n%-20s: RequestTarnGet() -   no string value found from TARN call (cmdStatus=0x%02X); return default "
              L"string = \"%s\"",
              m_agentName, record.Status(), record.DefaultText);
  }
  const std::wstring& value = text ? *text : record.DefaultText;
  return SetValueText(&object.VarBind, value.c_str(), ASN_OCTETSTRING) ? SNMP_ERRORSTATUS_NOERROR
                                                                        : SNMP_ERRORSTATUS_GENERR;
}

SNMPSTATUS CTarnValues::ReadInteger(MibObject& object, const CTarnAttribute& record) {
  const std::optional<LONG> service = record.IsGoodReply() ? record.DataValue32() : std::nullopt;
  const int64_t shifted = service ? int64_t{*service} + record.EnumOffset : 0;
  LONG value = record.DefaultNumber;
  if (!service || (!MappingList(object) && !FitsLong(shifted))) {
    DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   no TARN value available (cmdStatus=0x%02X); default value %d used",
              m_agentName, record.Status(), record.DefaultNumber);
  } else if (MappingList(object)) {
    value = MappedValue(object, *service, record.DefaultNumber);
  } else {
    value = static_cast<LONG>(shifted);
    DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   TARN value = %d + offset %d = MIB value %d", m_agentName, *service,
              record.EnumOffset, value);
  }
  return SetValueNumber(&object.VarBind, static_cast<DWORD>(value), object.AsnType) ? SNMP_ERRORSTATUS_NOERROR
                                                                                    : SNMP_ERRORSTATUS_GENERR;
}

LONG CTarnValues::MappedValue(const MibObject& object, LONG serviceValue, LONG fallback) {
  const auto& list = *MappingList(object);
  const auto entry = list.find(serviceValue);
  if (entry == list.end()) {
    DBG_TRACE(1,
              L"\n%-20s: ## ERROR! Enum mapping of TARN value %d for object \"%s\" not found (wrong value or missing "
              L"translation entry) - using default %d!",
              m_agentName, serviceValue, object.Name.c_str(), fallback);
    return fallback;
  }
  DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   TARN enum value = %d, translated MIB enum value = %d", m_agentName,
            serviceValue, entry->second);
  return entry->second;
}

SNMPSTATUS CTarnValues::ReadCounter(MibObject& object, const CTarnAttribute& record) {
  const std::optional<LONG> service = record.IsGoodReply() ? record.DataValue32() : std::nullopt;
  if (service) {
    DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   MIB value (counter/gauge) = %d", m_agentName, *service);
  } else {
    DBG_TRACE(3, L"\n%-20s: RequestTarnGet() -   no TARN value available (cmdStatus=0x%02X); default value %d used",
              m_agentName, record.Status(), record.DefaultNumber);
  }
  const LONG value = service ? *service : record.DefaultNumber;
  return SetValueNumber(&object.VarBind, static_cast<DWORD>(value), object.AsnType) ? SNMP_ERRORSTATUS_NOERROR
                                                                                    : SNMP_ERRORSTATUS_GENERR;
}

const std::map<LONG, LONG>* CTarnValues::MappingList(const MibObject& object) const {
  const auto list = m_mapping.find(object.Name.str());
  return list == m_mapping.end() ? nullptr : &list->second;
}

// ---------------------------------------------------------------------------------------
// SET, first phase

SNMPSTATUS CTarnValues::CheckSet(MibObject& object) {
  DBG_TRACE(3, L"\n%-20s: RequestTarnCheckSet() - check set from MIB object \"%s\" via TARN", m_agentName,
            object.Name.c_str());
  if (!object.TarnAttribute) return SNMP_ERRORSTATUS_GENERR;
  if (ObjectCode(*object.TarnAttribute) != kTarnConfigRead) {
    DBG_TRACE(3,
              L"\n%-20s: RequestTarnCheckSet() - object is not a config space value (no automated SET processing) -> "
              L"read-only",
              m_agentName);
    return SNMP_ERRORSTATUS_READONLY;
  }
  DBG_TRACE(3, L"\n%-20s: RequestTarnCheckSet() - do CHECKSET processing: try to read the TARN config space value...",
            m_agentName);
  Tarn probe = *object.TarnAttribute;
  probe.Set(L"ST", Tarn::kStatusNotAnswered);
  m_client.Request(probe, 0);
  const LONG status = probe.Status();
  if (status == 0) {
    DBG_TRACE(3,
              L"\n%-20s: RequestTarnCheckSet() - CHECKSET processing: TARN config space read successful, check "
              L"passed",
              m_agentName);
    return SNMP_ERRORSTATUS_NOERROR;
  }
  DBG_TRACE(3,
            L"\n%-20s: RequestTarnCheckSet() - CHECKSET processing: TARN config space read FAILED -> SET denied, "
            L"cmdStatus=0x%02X",
            m_agentName, status);
  return SNMP_ERRORSTATUS_NOACCESS;
}

// ---------------------------------------------------------------------------------------
// SET, second phase

SNMPSTATUS CTarnValues::Set(MibObject& object, SnmpVarBind* varbind) {
  DBG_TRACE(3, L"\n%-20s: RequestTarnSet() - Generic TARN set from MIB object \"%s\"", m_agentName,
            object.Name.c_str());
  if (!object.TarnAttribute || !varbind) return SNMP_ERRORSTATUS_GENERR;
  if (ObjectCode(*object.TarnAttribute) != kTarnConfigRead) {
    DBG_TRACE(4,
              L"\n%-20s: RequestTarnSet() - Not a config space read => no automatic TARN request - must be done in "
              L"callback function",
              m_agentName);
    return SNMP_ERRORSTATUS_NOERROR;
  }
  CTarnAttribute write = *object.TarnAttribute;
  DBG_TRACE(4, L"\n%-20s: RequestTarnSet() - do set processing: convert MIB value to TARN value by using enum value "
               L"offsets...",
            m_agentName);
  const AsnAny& value = varbind->value;
  switch (value.asnType) {
    case ASN_INTEGER: {
      const auto service = ServiceInteger(object, value.asnValue.number);
      if (!service) return SNMP_ERRORSTATUS_BADVALUE;
      write.SetNumberData(*service);
      break;
    }
    case ASN_COUNTER32:
    case ASN_GAUGE32:
      // The number is written like any other: a SET that reports success has written it.
      DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   TARN value (counter/gauge) = %d", m_agentName,
                value.asnValue.unsigned32);
      write.SetNumberData(value.asnValue.unsigned32);
      break;
    case ASN_OCTETSTRING: {
      std::wstring text;
      OctetsToWide(text, value.asnValue.string);
      write.SetStringData(text);
      DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   string value = \"%s\"", m_agentName, text);
      break;
    }
    default:
      DBG_TRACE(1,
                L"\n\n%-20s: ## FATAL ERROR in RequestTarnSet()! Unsupported ASN SET data type (0x%02X) - fix this!\n",
                m_agentName, value.asnType);
      return SNMP_ERRORSTATUS_WRONGTYPE;
  }
  // Sent unanswered rather than with status 0: a write that never reaches the service
  // (client not attached) then cannot come back as a success.
  write.Set(L"ST", Tarn::kStatusNotAnswered);
  write.Set(L"OC", kTarnConfigWrite);
  DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   execute TARN request...", m_agentName);
  m_client.Request(write, 0);
  const LONG commandStatus = write.Status();
  DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   return from TARN request, status=0x%02X", m_agentName, commandStatus);
  const SNMPSTATUS status = ConvertTarnStatus(commandStatus, m_agentName);
  if (status != SNMP_ERRORSTATUS_NOERROR) return status;
  write.Set(L"OC", kTarnConfigRead);
  static_cast<Tarn&>(*object.TarnAttribute) = write;
  if (object.TarnAttribute->KeepValue) object.TarnAttribute->KeepAnswer(write);
  DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -> SET request successful", m_agentName);
  return status;
}

std::optional<LONG> CTarnValues::ServiceInteger(const MibObject& object, LONG mibValue) {
  const LONG offset = object.TarnAttribute->EnumOffset;
  if (offset != 0) {
    const int64_t service = int64_t{mibValue} - offset;
    if (!FitsLong(service)) return std::nullopt;  // no service value maps to it
    DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   MIB enum value = %d - offset %d = TARN value %d", m_agentName,
              mibValue, offset, static_cast<LONG>(service));
    return static_cast<LONG>(service);
  }
  const auto* list = MappingList(object);
  if (!list) {
    DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   MIB value = TARN value = %d", m_agentName, mibValue);
    return mibValue;
  }
  for (const auto& [service, mib] : *list) {
    DBG_TRACE(5, L"\n%-20s:   check mapping entry - MIB value %d", m_agentName, mib);
    if (mib != mibValue) continue;
    DBG_TRACE(5, L"\n%-20s:   -> found mapping entry - TARN value = %d", m_agentName, service);
    DBG_TRACE(3, L"\n%-20s: RequestTarnSet() -   MIB enum value = %d, translated TARN enum value = %d", m_agentName,
              mibValue, service);
    return service;
  }
  DBG_TRACE(1,
            L"\n%-20s: ## ERROR! Enum mapping of MIB value %d for object \"%s\" not found (wrong value or missing "
            L"translation entry)!",
            m_agentName, mibValue, object.Name.c_str());
  return std::nullopt;
}
