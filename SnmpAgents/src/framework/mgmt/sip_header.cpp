#include "sip_header.h"

#include <cstring>

namespace {

void Put(std::array<uint8_t, kSipHeaderSize>& out, size_t at, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Take(std::span<const uint8_t> in, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(in[at + i]) << (8 * i);
  return value;
}

}  // namespace

std::array<uint8_t, kSipHeaderSize> BuildSipHeader(const SipHeader& header) {
  std::array<uint8_t, kSipHeaderSize> out{};
  std::memcpy(out.data(), "$SIP", 4);
  out[4] = kSipVersion;
  Put(out, 6, kSipHeaderSize, 2);
  Put(out, 8, header.dataLength, 4);
  Put(out, 12, header.oc, 4);
  Put(out, 16, header.oe, 4);
  Put(out, 20, header.oi, 4);
  Put(out, 24, header.ca, 4);
  Put(out, 28, header.st, 4);
  Put(out, 36, header.mi & 0xFFFF, 2);
  Put(out, 38, header.mi >> 16, 2);
  return out;
}

bool ParseSipHeader(std::span<const uint8_t> bytes, SipHeader& header) {
  if (bytes.size() < kSipHeaderSize) return false;
  if (std::memcmp(bytes.data(), "$SIP", 4) != 0 || bytes[4] != kSipVersion || Take(bytes, 6, 2) != kSipHeaderSize) {
    return false;
  }
  header.dataLength = Take(bytes, 8, 4);
  header.oc = Take(bytes, 12, 4);
  header.oe = Take(bytes, 16, 4);
  header.oi = Take(bytes, 20, 4);
  header.ca = Take(bytes, 24, 4);
  header.st = Take(bytes, 28, 4);
  header.mi = Take(bytes, 36, 2) | (Take(bytes, 38, 2) << 16);
  return true;
}
