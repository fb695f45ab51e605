// The management-service attribute of a MIB object: which value of the management
// service the object shows and whether SNMP may write it. The exchange with the service
// is not connected yet; until it is, every exchange answers "generic error".
#pragma once

#include <memory>

#include "snmp_value.h"

class CTarnAttribute {
 public:
  CTarnAttribute() = default;
  virtual ~CTarnAttribute() = default;
  CTarnAttribute(const CTarnAttribute&) = default;
  CTarnAttribute& operator=(const CTarnAttribute&) = default;
  virtual std::unique_ptr<CTarnAttribute> Clone() const { return std::make_unique<CTarnAttribute>(*this); }

  bool IsSetEnabled() const { return m_setEnabled; }
  void SetEnabled(bool enabled) { m_setEnabled = enabled; }

  virtual SNMPSTATUS GetValue(SnmpVarBind* /*varbind*/) { return SNMP_ERRORSTATUS_GENERR; }
  virtual SNMPSTATUS CheckSet(const SnmpVarBind* /*varbind*/) { return SNMP_ERRORSTATUS_GENERR; }
  virtual SNMPSTATUS SetValue(const SnmpVarBind* /*varbind*/) { return SNMP_ERRORSTATUS_GENERR; }

 private:
  bool m_setEnabled = false;
};
