// What the host passes between the extension agents (Win32 snmpapi types) and net-snmp.
// The two sides never meet in one translation unit: their headers define the same ASN
// macro names. Value types are the BER tags both sides use.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace host {

using Oid = std::vector<uint32_t>;

struct Value {
  uint8_t type = 0x05;  // NULL
  int64_t integer = 0;  // INTEGER, and the unsigned 32-bit kinds
  uint64_t counter64 = 0;
  std::string bytes;  // OCTET STRING, IpAddress, Opaque, BITS
  Oid oid;            // OBJECT IDENTIFIER
};

struct VarBind {
  Oid name;
  Value value;
};

// The outcome of one SnmpExtensionQuery: the v1 error status and 1-based index, and the
// varbinds as the agent left them.
struct QueryResult {
  bool called = false;  // false: the agent returned FALSE or failed the call
  int status = 0;
  int index = 0;
  std::vector<VarBind> varbinds;
  std::string problem;  // why the answer was refused, for the log
};

struct Trap {
  std::string agent;
  Oid enterprise;
  int generic = 6;
  int specific = 0;
  uint32_t timestamp = 0;  // hundredths of a second since the host's start
  std::vector<VarBind> varbinds;
};

std::string OidText(const Oid& oid);
bool IsPrefix(const Oid& prefix, const Oid& oid);

inline constexpr uint8_t kPduGet = 0xA0;
inline constexpr uint8_t kPduGetNext = 0xA1;
inline constexpr uint8_t kPduSet = 0xA3;

inline constexpr int kNoError = 0;
inline constexpr int kNoSuchName = 2;
inline constexpr int kGenErr = 5;

}  // namespace host
