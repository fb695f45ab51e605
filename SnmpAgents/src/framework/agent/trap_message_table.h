// Trap2MsgTable: which message of the messages library describes a trap. The message id
// carries the severity in bits 30-31 and 10000 + the trap number as its code.
#pragma once

#include <windows.h>

#include <cstddef>

struct TrapMessage {
  DWORD TrapNumber;
  DWORD MessageId;
};

// Trap number of the end row, and the id a lookup returns for a trap that has no row.
inline constexpr DWORD kTrapMsgEnd = 0xFFFFFFFF;
inline constexpr DWORD kTrapMsgNotFound = 0xFFFFFFFF;
inline constexpr DWORD kTrapMsgCodeBase = 10000;
inline constexpr int kTrapMsgSeverityShift = 30;
// Rows before the end row.
inline constexpr std::size_t kTrap2MsgRows = 464;

enum TrapMsgSeverity : DWORD {
  TRAP_MSG_SUCCESS = 0,
  TRAP_MSG_INFORMATIONAL = 1,
  TRAP_MSG_WARNING = 2,
  TRAP_MSG_ERROR = 3,
};

constexpr DWORD TrapMsgId(DWORD severity, DWORD trapNumber) {
  return (severity << kTrapMsgSeverityShift) | (kTrapMsgCodeBase + trapNumber);
}
constexpr DWORD TrapMsgSeverity(DWORD messageId) { return messageId >> kTrapMsgSeverityShift; }

// kTrap2MsgRows rows, then the end row {kTrapMsgEnd, kTrapMsgNotFound}.
extern const TrapMessage Trap2MsgTable[kTrap2MsgRows + 1];

// Scans from the first row; kTrapMsgNotFound when the trap has no row.
DWORD LookupTrapMessageId(DWORD trapNumber);
