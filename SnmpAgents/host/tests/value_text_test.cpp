#include "value_text.h"

#include <gtest/gtest.h>

namespace {

using host::Value;

TEST(HostValueText, SetValuesParseFromTheToolLetters) {
  const struct {
    char type;
    const char* text;
    bool ok;
    const char* printed;  // how the parsed value prints
  } cases[] = {
      {'i', "-2147483648", true, "INTEGER: -2147483648"},
      {'i', "2147483648", false, nullptr},
      {'i', "12x", false, nullptr},
      {'u', "4294967295", true, "Gauge32: 4294967295"},
      {'u', "-1", false, nullptr},
      {'c', "4294967296", false, nullptr},
      {'t', "8640123", true, "Timeticks: (8640123) 1 day, 0:00:01.23"},
      {'C', "18446744073709551615", true, "Counter64: 18446744073709551615"},
      {'s', "plain", true, "STRING: \"plain\""},
      {'x', "00 ff:10", true, "Hex-STRING: 00 FF 10 "},
      {'x', "0f0", false, nullptr},
      {'o', ".1.3.6.4294967295", true, "OID: .1.3.6.4294967295"},
      {'o', "1.3.6.4294967296", false, nullptr},
      {'o', "1..3", false, nullptr},
      {'a', "10.0.0.255", true, "IpAddress: 10.0.0.255"},
      {'a', "10.0.0.256", false, nullptr},
      {'a', "10.0.0.1x", false, nullptr},
      {'q', "1", false, nullptr},
  };
  for (const auto& c : cases) {
    Value value;
    std::string error;
    EXPECT_EQ(host::ParseValue(c.type, c.text, value, error), c.ok) << c.type << " " << c.text;
    if (c.ok) {
      EXPECT_EQ(host::ValueText(value), c.printed) << c.type << " " << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.type << " " << c.text;
    }
  }
}

TEST(HostValueText, OidsParseOnlyInTheirLimits) {
  host::Oid oid;
  EXPECT_TRUE(host::ParseOid("1.3.6", oid));
  EXPECT_EQ(oid, (host::Oid{1, 3, 6}));
  std::string longest = "1";
  for (int i = 1; i < 128; ++i) longest += ".1";
  EXPECT_TRUE(host::ParseOid(longest, oid));
  EXPECT_FALSE(host::ParseOid(longest + ".1", oid)) << "129 sub-identifiers";
  for (const char* bad : {"", ".", "1.", "a.b", "1.-2", "1. 2"}) EXPECT_FALSE(host::ParseOid(bad, oid)) << bad;
}

}  // namespace
