// The net-snmp side of the host: values survive the way through both representations,
// and v1 traps get the SNMPv2 notification OIDs of RFC 3584.
#include "snmp_bridge.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <gtest/gtest.h>

namespace {

using host::Oid;
using host::VarBind;

VarBind Make(uint8_t type) {
  VarBind vb;
  vb.name = {1, 3, 6, 1, 4, 1, 99999, 1};
  vb.value.type = type;
  return vb;
}

TEST(HostBridge, ValuesRoundTripThroughNetSnmp) {
  std::vector<VarBind> cases;
  VarBind integer = Make(ASN_INTEGER);
  integer.value.integer = -2147483647 - 1;
  cases.push_back(integer);
  for (uint8_t type : {ASN_COUNTER, ASN_GAUGE, ASN_TIMETICKS}) {
    VarBind vb = Make(type);
    vb.value.integer = 4294967295u;
    cases.push_back(vb);
  }
  VarBind c64 = Make(ASN_COUNTER64);
  c64.value.counter64 = 0xFFFFFFFF00000001ull;
  cases.push_back(c64);
  VarBind text = Make(ASN_OCTET_STR);
  text.value.bytes = std::string("a\0b\xff", 4);
  cases.push_back(text);
  VarBind ip = Make(ASN_IPADDRESS);
  ip.value.bytes = std::string("\x0a\x00\x00\x01", 4);
  cases.push_back(ip);
  VarBind objectId = Make(ASN_OBJECT_ID);
  objectId.value.oid = {1, 3, 4294967295u};
  cases.push_back(objectId);
  cases.push_back(Make(ASN_NULL));
  for (const VarBind& in : cases) {
    netsnmp_variable_list vars{};
    ASSERT_TRUE(host::ToNetSnmp(in, vars)) << int(in.value.type);
    snmp_set_var_objid(&vars, std::vector<oid>(in.name.begin(), in.name.end()).data(), in.name.size());
    VarBind out;
    ASSERT_TRUE(host::FromNetSnmp(vars, out)) << int(in.value.type);
    EXPECT_EQ(out.name, in.name);
    EXPECT_EQ(out.value.type, in.value.type);
    EXPECT_EQ(out.value.integer, in.value.integer) << int(in.value.type);
    EXPECT_EQ(out.value.counter64, in.value.counter64);
    EXPECT_EQ(out.value.bytes, in.value.bytes);
    EXPECT_EQ(out.value.oid, in.value.oid);
    snmp_free_var_internals(&vars);
  }
}

TEST(HostBridge, AddressesOfOtherLengthsTravelAsTheirBytes) {
  for (const std::string& bytes : {std::string(), std::string("abc"), std::string(16, '\x20')}) {
    VarBind in = Make(ASN_IPADDRESS);
    in.value.bytes = bytes;
    netsnmp_variable_list vars{};
    ASSERT_TRUE(host::ToNetSnmp(in, vars)) << bytes.size();
    EXPECT_EQ(vars.type, ASN_OCTET_STR);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vars.val.string), vars.val_len), bytes);
    snmp_free_var_internals(&vars);
  }
}

TEST(HostBridge, ValuesWithoutAnSnmpFormAreRefused) {
  VarBind unknown = Make(0x99);
  for (const VarBind& in : {unknown}) {
    netsnmp_variable_list vars{};
    EXPECT_FALSE(host::ToNetSnmp(in, vars)) << int(in.value.type);
    snmp_free_var_internals(&vars);
  }
}

TEST(HostBridge, TrapsGetTheirNotificationOids) {
  const Oid enterprise{1, 3, 6, 1, 4, 1, 884};
  const struct {
    int generic;
    int specific;
    Oid expected;
  } cases[] = {
      {6, 925, {1, 3, 6, 1, 4, 1, 884, 0, 925}},
      {0, 0, {1, 3, 6, 1, 6, 3, 1, 1, 5, 1}},  // coldStart
      {2, 0, {1, 3, 6, 1, 6, 3, 1, 1, 5, 3}},  // linkDown
      {5, 7, {1, 3, 6, 1, 6, 3, 1, 1, 5, 6}},  // egpNeighborLoss
  };
  for (const auto& c : cases) {
    host::Trap trap;
    trap.enterprise = enterprise;
    trap.generic = c.generic;
    trap.specific = c.specific;
    EXPECT_EQ(host::NotificationOid(trap), c.expected) << c.generic << "/" << c.specific;
  }
}

TEST(HostBridge, NotificationCarriesUptimeOidVarbindsAndEnterprise) {
  host::Trap trap;
  trap.enterprise = {1, 3, 6, 1, 4, 1, 884};
  trap.specific = 811;
  trap.timestamp = 4242;
  VarBind name = Make(ASN_OCTET_STR);
  name.value.bytes = "NODE-A";
  trap.varbinds = {name};
  netsnmp_variable_list* vars = host::BuildNotification(trap);
  ASSERT_NE(vars, nullptr);
  std::vector<VarBind> seen;
  for (netsnmp_variable_list* v = vars; v; v = v->next_variable) {
    VarBind vb;
    ASSERT_TRUE(host::FromNetSnmp(*v, vb));
    seen.push_back(vb);
  }
  snmp_free_varbind(vars);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].name, (Oid{1, 3, 6, 1, 2, 1, 1, 3, 0}));
  EXPECT_EQ(seen[0].value.integer, 4242);
  EXPECT_EQ(seen[1].value.oid, (Oid{1, 3, 6, 1, 4, 1, 884, 0, 811}));
  EXPECT_EQ(seen[2].value.bytes, "NODE-A");
  EXPECT_EQ(seen[3].name, (Oid{1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0}));
  EXPECT_EQ(seen[3].value.oid, trap.enterprise);
  trap.enterprise.clear();
  EXPECT_EQ(host::BuildNotification(trap), nullptr) << "a trap without enterprise has no notification";
}

}  // namespace
