#include "value_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace host {
namespace {

bool Printable(const std::string& bytes) {
  for (unsigned char c : bytes)
    if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F) return false;
  return true;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char piece[4];
  for (unsigned char c : bytes) {
    std::snprintf(piece, sizeof piece, "%02X ", c);
    out += piece;
  }
  return out;
}

std::string Ticks(int64_t ticks) {
  const int64_t centis = ticks % 100;
  const int64_t seconds = ticks / 100;
  char text[64];
  const int64_t days = seconds / 86400;
  if (days > 0) {
    std::snprintf(text, sizeof text, "(%lld) %lld day%s, %lld:%02lld:%02lld.%02lld", static_cast<long long>(ticks),
                  static_cast<long long>(days), days == 1 ? "" : "s", static_cast<long long>(seconds / 3600 % 24),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                  static_cast<long long>(centis));
  } else {
    std::snprintf(text, sizeof text, "(%lld) %lld:%02lld:%02lld.%02lld", static_cast<long long>(ticks),
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60), static_cast<long long>(centis));
  }
  return text;
}

bool ParseUnsigned(const std::string& text, uint64_t maximum, uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 0);
  return !*end && errno == 0 && value <= maximum;
}

}  // namespace

std::string ValueText(const Value& v) {
  switch (v.type) {
    case 0x02: return "INTEGER: " + std::to_string(v.integer);
    case 0x04:
      if (Printable(v.bytes)) return "STRING: \"" + v.bytes + "\"";
      return "Hex-STRING: " + Hex(v.bytes);
    case 0x03: return "BITS: " + Hex(v.bytes);
    case 0x05: return "NULL";
    case 0x06: return "OID: " + OidText(v.oid);
    case 0x40:
      if (v.bytes.size() != 4) return "IpAddress: (bad length) " + Hex(v.bytes);
      return "IpAddress: " + std::to_string(static_cast<unsigned char>(v.bytes[0])) + "." +
             std::to_string(static_cast<unsigned char>(v.bytes[1])) + "." +
             std::to_string(static_cast<unsigned char>(v.bytes[2])) + "." +
             std::to_string(static_cast<unsigned char>(v.bytes[3]));
    case 0x41: return "Counter32: " + std::to_string(v.integer);
    case 0x42: return "Gauge32: " + std::to_string(v.integer);
    case 0x43: return "Timeticks: " + Ticks(v.integer);
    case 0x44: return "OPAQUE: " + Hex(v.bytes);
    case 0x46: return "Counter64: " + std::to_string(v.counter64);
    case 0x47: return "UInteger32: " + std::to_string(v.integer);
    case 0x80: return "No Such Object available on this agent at this OID";
    case 0x81: return "No Such Instance currently exists at this OID";
    case 0x82: return "No more variables left in this MIB View (It is past the end of the MIB tree)";
    default: return "(type " + std::to_string(v.type) + ")";
  }
}

std::string VarBindText(const VarBind& vb) { return OidText(vb.name) + " = " + ValueText(vb.value); }

bool ParseOid(const std::string& text, Oid& oid) {
  oid.clear();
  size_t at = text.empty() || text[0] != '.' ? 0 : 1;
  if (at >= text.size()) return false;
  while (at <= text.size()) {
    const size_t dot = text.find('.', at);
    const std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    uint64_t id = 0;
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
        !ParseUnsigned(part, 0xFFFFFFFFu, id))
      return false;
    oid.push_back(static_cast<uint32_t>(id));
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  return oid.size() <= 128;
}

bool ParseValue(char type, const std::string& text, Value& value, std::string& error) {
  value = Value{};
  uint64_t number = 0;
  switch (type) {
    case 'i': {
      char* end = nullptr;
      errno = 0;
      const long long parsed = std::strtoll(text.c_str(), &end, 0);
      if (text.empty() || *end || errno || parsed < INT32_MIN || parsed > INT32_MAX) {
        error = "INTEGER takes a number from -2147483648 to 2147483647";
        return false;
      }
      value.type = 0x02;
      value.integer = parsed;
      return true;
    }
    case 'u':
    case 'c':
    case 't':
      if (!ParseUnsigned(text, 0xFFFFFFFFu, number)) {
        error = "the value takes a number from 0 to 4294967295";
        return false;
      }
      value.type = type == 'u' ? 0x42 : type == 'c' ? 0x41 : 0x43;
      value.integer = static_cast<int64_t>(number);
      return true;
    case 'C':
      if (!ParseUnsigned(text, UINT64_MAX, number)) {
        error = "Counter64 takes a number from 0 to 18446744073709551615";
        return false;
      }
      value.type = 0x46;
      value.counter64 = number;
      return true;
    case 's':
      value.type = 0x04;
      value.bytes = text;
      return true;
    case 'x': {
      std::string digits;
      for (char c : text)
        if (c != ' ' && c != ':') digits += c;
      if (digits.size() % 2 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        error = "hex strings take pairs of hexadecimal digits";
        return false;
      }
      value.type = 0x04;
      for (size_t i = 0; i < digits.size(); i += 2)
        value.bytes += static_cast<char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16));
      return true;
    }
    case 'o':
      value.type = 0x06;
      if (!ParseOid(text, value.oid)) {
        error = "not an OID in dotted numbers: " + text;
        return false;
      }
      return true;
    case 'a': {
      unsigned a = 0, b = 0, c = 0, d = 0;
      char tail = 0;
      if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
          d > 255) {
        error = "IpAddress takes four numbers 0-255 separated by dots";
        return false;
      }
      value.type = 0x40;
      value.bytes = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
      return true;
    }
    default:
      error = std::string("unknown type letter '") + type + "' (use i u c t C s x o a)";
      return false;
  }
}

}  // namespace host
