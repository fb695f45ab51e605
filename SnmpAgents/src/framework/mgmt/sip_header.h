// The 48-byte "$SIP" header of "CmdRequest" and of the Fire_CmdEvent event,
// little-endian:
//   0 "$SIP"  4 version 2  5 0  6 header length 48 (16-bit)  8 data length (32-bit)
//   12 OC  16 OE  20 OI  24 CA  28 ST  32 0  36 low 16 bits of MI  38 high 16 bits
//   40..47 0
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>

struct SipHeader {
  DWORD dataLength = 0;
  DWORD oc = 0;
  DWORD oe = 0;
  DWORD oi = 0;
  DWORD ca = 0;
  DWORD st = 0;
  DWORD mi = 0;
};

inline constexpr size_t kSipHeaderSize = 48;
inline constexpr uint8_t kSipVersion = 2;

std::array<uint8_t, kSipHeaderSize> BuildSipHeader(const SipHeader& header);
// False for fewer than 48 bytes, another signature or version, or another header length.
bool ParseSipHeader(std::span<const uint8_t> bytes, SipHeader& header);
