// The management-service attribute of a MIB object: a prepared Tarn request record that
// names one configuration value, with the defaults, the enumeration offset and the flags
// that say how its value becomes a MIB value. The exchange itself is the agent's
// (tarn_values.h); the tree reaches it through ITarnRequests.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "critical_section.h"
#include "snmp_value.h"
#include "tarn.h"

struct MibObject;

// Object codes of a configuration-space read and write; -1 means "no automatic request".
inline constexpr DWORD kTarnConfigRead = 0xE001;
inline constexpr DWORD kTarnConfigWrite = 0xE002;
inline constexpr DWORD kTarnIllegalCmd = 0xFFFFFFFF;

// MIB object name -> (service value -> MIB value).
using EnumMappingTable = std::map<std::wstring, std::map<LONG, LONG>>;

class CTarnAttribute : public Tarn {
 public:
  CTarnAttribute() = default;
  explicit CTarnAttribute(const Tarn& record) : Tarn(record) {}
  virtual ~CTarnAttribute() = default;
  CTarnAttribute(const CTarnAttribute&) = default;
  CTarnAttribute& operator=(const CTarnAttribute&) = default;
  virtual std::unique_ptr<CTarnAttribute> Clone() const { return std::make_unique<CTarnAttribute>(*this); }

  bool IsSetEnabled() const { return SetEnabled != 0; }

  // The answer a keep-value read reuses. Reads work on copies of the object, so the
  // copies of one attribute share it; only usable answers are kept.
  std::optional<Tarn> KeptAnswer() const;
  void KeepAnswer(const Tarn& answer);

  std::wstring DefaultText;
  LONG DefaultNumber = 0;
  LONG EnumOffset = 0;  // MIB value = service value + offset
  BYTE SetEnabled = 0;  // SET accepted even when the object's access is read-only
  DWORD KeepValue = 0;  // once answered, reads reuse the answer

 private:
  struct Kept {
    CCriticalSection lock;
    std::optional<Tarn> answer;
  };
  std::shared_ptr<Kept> m_kept = std::make_shared<Kept>();
};

// The agent's exchange with the management service for attribute objects; each returns
// an SNMP error status.
class ITarnRequests {
 public:
  virtual ~ITarnRequests() = default;
  // On a copy of the object: fills its varbind's value.
  virtual SNMPSTATUS RequestTarnGet(MibObject& object) = 0;
  virtual SNMPSTATUS RequestTarnCheckSet(MibObject& object) = 0;
  // On the stored object: writes the caller's value and, on success, keeps it in the
  // object's record.
  virtual SNMPSTATUS RequestTarnSet(MibObject& object, SnmpVarBind* varbind) = 0;
};
