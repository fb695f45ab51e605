#!/usr/bin/env python3
"""VNK-NT-CLUSTER-MIB as operators load it.

- smilint -l 6 finds no error and no warning but the known ones;
- net-snmp's snmptranslate names every catalogue object (and a cell of it) and every trap
  OID enterprise.0.N, and sees the syntax the catalogue gives;
- the module's objects (libsmi's smidump) are exactly the catalogue's: names, OIDs, syntax,
  index count; enumerations give exactly the values of the catalogue's mapping tables;
- the notifications are the trap table, each with its varbinds in order;
- the base definitions in base/ define only names the IETF modules define, with their values;
- snmptrapd, loaded as the README says, names an SNMPv1 trap and its SNMPv2 form.

Everything is checked with base/ where the system has no SNMPv2-SMI (Debian), and once more
with the system's own modules where it has them, so that the module loads unchanged there.
Environment: CATALOGUE_DUMP, VALUE_SETS (the two dump tools), MIB_DIR, MIB_WORK.
"""

import ast
import os
import re
import signal
import socket
import subprocess
import time
import unittest

MODULE = "VNK-NT-CLUSTER-MIB"
MIB_DIR = os.environ.get("MIB_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BASE_DIR = os.path.join(MIB_DIR, "base")
MODULE_FILE = os.path.join(MIB_DIR, MODULE + ".txt")
WORK = os.environ.get("MIB_WORK", "/tmp/mib_module_test")

VNK = "1.3.6.1.4.1.884"
TRAP_INFO = VNK + ".2.10.6"
TRAP_OBJECTS = VNK + ".2.10.2.9.1.10"

# The varbinds every trap carries first, then the third by trap number.
LEADING_VARBINDS = [("vnkWpTrapComputerName", TRAP_INFO + ".1", "TEXT"),
                    ("vnkWpTrapTime", TRAP_INFO + ".2", "INTEGER")]
THIRD_VARBINDS = {
    "vnkWpTrapNumber": (TRAP_OBJECTS + ".1", "INTEGER", [801]),
    "vnkWpTrapNodeName": (TRAP_OBJECTS + ".3", "TEXT", [830, 831, 832, 924, 925, 926, 927]),
    "vnkWpTrapResourceTypeName": (TRAP_OBJECTS + ".4", "TEXT", [840, 841]),
    "vnkWpTrapGroupName": (TRAP_OBJECTS + ".5", "TEXT", [850, 851, 852, 853, 928, 929, 930, 931, 932]),
    "vnkWpTrapResourceName": (TRAP_OBJECTS + ".6", "TEXT", [860, 861, 862, 863, 933, 934, 935]),
    "vnkWpTrapRegistryKeyName": (TRAP_OBJECTS + ".9", "TEXT", [895, 896, 897]),
    "vnkWpTrapNetworkName": (TRAP_OBJECTS + ".11", "TEXT", [910, 911, 912, 913, 936, 937, 938]),
    "vnkWpTrapNetInterfaceName": (TRAP_OBJECTS + ".12", "TEXT", [920, 921, 922, 923, 939, 940, 941, 942]),
}
TWO_VARBIND_TRAPS = [810, 811, 812]

# smilint findings accepted, by tag, with the reason.
ACCEPTED_LINT = {
    # The agent serves the index columns as read-only objects (every row registers them),
    # so the module says so rather than not-accessible.
    "index-element-accessible",
}

# What the IETF modules define (SNMPv2-SMI, SNMPv2-TC, SNMPv2-CONF): the base stand-ins may
# define nothing else, and OIDs only with these values.
REAL_NAMES = {
    "SNMPv2-SMI": {
        "org", "dod", "internet", "directory", "mgmt", "mib-2", "transmission", "experimental",
        "private", "enterprises", "security", "snmpV2", "snmpDomains", "snmpProxys",
        "snmpModules", "zeroDotZero", "MODULE-IDENTITY", "OBJECT-IDENTITY", "OBJECT-TYPE",
        "NOTIFICATION-TYPE", "ObjectName", "NotificationName", "ObjectSyntax", "SimpleSyntax",
        "ApplicationSyntax", "Integer32", "IpAddress", "Counter32", "Gauge32", "Unsigned32",
        "TimeTicks", "Opaque", "Counter64", "ExtUTCTime",
    },
    "SNMPv2-TC": {
        "TEXTUAL-CONVENTION", "DisplayString", "PhysAddress", "MacAddress", "TruthValue",
        "TestAndIncr", "AutonomousType", "InstancePointer", "VariablePointer", "RowPointer",
        "RowStatus", "TimeStamp", "TimeInterval", "DateAndTime", "StorageType", "TDomain",
        "TAddress",
    },
    "SNMPv2-CONF": {"OBJECT-GROUP", "NOTIFICATION-GROUP", "MODULE-COMPLIANCE", "AGENT-CAPABILITIES"},
}
REAL_OIDS = {
    "org": "1.3", "dod": "1.3.6", "internet": "1.3.6.1", "directory": "1.3.6.1.1",
    "mgmt": "1.3.6.1.2", "mib-2": "1.3.6.1.2.1", "transmission": "1.3.6.1.2.1.10",
    "experimental": "1.3.6.1.3", "private": "1.3.6.1.4", "enterprises": "1.3.6.1.4.1",
    "security": "1.3.6.1.5", "snmpV2": "1.3.6.1.6", "snmpDomains": "1.3.6.1.6.1",
    "snmpProxys": "1.3.6.1.6.2", "snmpModules": "1.3.6.1.6.3", "zeroDotZero": "0.0",
}


def run(args, env=None):
    result = subprocess.run(args, capture_output=True, text=True, env=env, timeout=60)
    return result.returncode, result.stdout, result.stderr


def read_catalogue():
    """name -> (oid, syntax, index arcs) from the agent's catalogue."""
    code, out, err = run([os.environ["CATALOGUE_DUMP"]])
    assert code == 0, err
    catalogue = {}
    for line in out.splitlines():
        name, oid, syntax, arcs = line.split()
        catalogue[name] = (oid, syntax, int(arcs))
    return catalogue


def read_value_sets():
    """name -> set of MIB values of its mapping table."""
    code, out, err = run([os.environ["VALUE_SETS"]])
    assert code == 0, err
    return {fields[0]: {int(v) for v in fields[1:]} for fields in (line.split() for line in out.splitlines())}


class Tools:
    """libsmi and net-snmp pointed at the module and at one set of base modules."""

    def __init__(self, label, smi_path, mibdirs, mibs):
        self.label = label
        self.smi_env = dict(os.environ)
        self.smi_args = []
        if smi_path is not None:
            # Our path only: no system configuration that could add the system's modules.
            self.smi_env["SMIPATH"] = smi_path
            self.smi_args = ["-c", os.devnull]
        state = os.path.join(WORK, label)
        os.makedirs(state, exist_ok=True)
        # On the command line, which no configuration file overrides.
        self.load = ["-M", mibdirs, "-m", mibs]
        self.snmp_env = dict(os.environ, SNMP_PERSISTENT_DIR=state)
        if smi_path is not None:
            self.snmp_env["SNMPCONFPATH"] = state

    def smi(self, tool, *args):
        return run([tool] + self.smi_args + list(args), env=self.smi_env)

    def translate(self, *args):
        code, out, err = run(["snmptranslate"] + self.load + list(args), env=self.snmp_env)
        # net-snmp announces the directories it makes in its fresh state directory.
        err = "".join(line for line in err.splitlines(True) if not line.startswith("Created directory:"))
        return code, out, err


def system_has_base_modules():
    code, out, _ = run(["smidump", "-f", "identifiers", "SNMPv2-SMI"])
    libsmi = code == 0 and re.search(r"\benterprises\b", out) is not None
    env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(WORK, "probe"))
    env.pop("MIBDIRS", None)
    code, out, _ = run(["snmptranslate", "-m", "SNMPv2-SMI", "-On", "SNMPv2-SMI::enterprises"], env=env)
    return libsmi and out.strip() == ".1.3.6.1.4.1"


def load_module(tools):
    code, out, err = tools.smi("smidump", "-f", "python", MODULE_FILE)
    if code != 0 or "MIB = " not in out:
        raise AssertionError(f"smidump failed ({code}): {err}")
    return ast.literal_eval(out[out.index("MIB = ") + len("MIB = "):])


def base_kind(mib, syntax):
    """INTEGER, TEXT, BYTES or IPADDRESS as the catalogue says it, from smidump's syntax."""
    kind = syntax["type"]
    name = kind.get("name")
    if name == "VnkWpUtf8String":
        return "TEXT"
    if name in mib.get("typedefs", {}):
        kind = mib["typedefs"][name]
        name = None
    basetype = kind.get("basetype", name)
    return {"Integer32": "INTEGER", "Enumeration": "INTEGER", "OctetString": "BYTES",
            "IpAddress": "IPADDRESS"}.get(basetype, basetype)


class ModuleChecks:
    """The checks, run against one set of base modules (a subclass sets TOOLS)."""

    TOOLS = None

    @classmethod
    def setUpClass(cls):
        cls.catalogue = read_catalogue()
        cls.mib = load_module(cls.TOOLS)

    def test_smilint_reports_no_error(self):
        code, out, err = self.TOOLS.smi("smilint", "-l", "6", "-s", "-m", MODULE_FILE)
        findings = [line for line in (out + err).splitlines() if line.strip()]
        unexpected = []
        for line in findings:
            match = re.search(r": \[(\d)\] \{([\w-]+)\}", line)
            if not match or int(match.group(1)) <= 3 or match.group(2) not in ACCEPTED_LINT:
                unexpected.append(line)
        self.assertEqual(unexpected, [], "smilint:\n" + "\n".join(findings))
        self.assertEqual(code, 0, err)

    def test_objects_are_the_catalogue(self):
        nodes = self.mib["nodes"]
        rows = {n["oid"]: n for n in nodes.values() if n["nodetype"] == "row"}
        served = {}
        for name, node in nodes.items():
            if node.get("access") != "readonly":
                continue
            arcs = 0
            if node["nodetype"] == "column":
                arcs = len(rows[node["oid"].rsplit(".", 1)[0]]["linkage"])
            served[name] = (node["oid"], base_kind(self.mib, node["syntax"]), arcs)
        self.assertEqual(served, self.catalogue)

    def test_index_columns_are_their_own_rows_columns(self):
        nodes = self.mib["nodes"]
        for name, node in nodes.items():
            if node["nodetype"] != "row":
                continue
            for index in node["linkage"]:
                with self.subTest(row=name, index=index):
                    self.assertEqual(nodes[index]["oid"].rsplit(".", 1)[0], node["oid"])

    def test_enumerations_give_the_mapping_tables_values(self):
        value_sets = read_value_sets()
        self.assertTrue(value_sets)
        for name, values in value_sets.items():
            with self.subTest(object=name):
                syntax = self.mib["nodes"][name]["syntax"]["type"]
                kind = self.mib["typedefs"].get(syntax.get("name"), syntax)
                self.assertEqual(kind["basetype"], "Enumeration")
                numbers = {int(v["number"]) for v in kind.values()
                           if isinstance(v, dict) and v.get("nodetype") == "namednumber"}
                self.assertEqual(numbers, values)

    def test_notifications_are_the_trap_table(self):
        expected = {n: [] for n in TWO_VARBIND_TRAPS}
        for third, (_, _, numbers) in THIRD_VARBINDS.items():
            for number in numbers:
                expected[number] = [third]
        notifications = {}
        for name, node in self.mib["notifications"].items():
            prefix, _, number = node["oid"].rpartition(".")
            self.assertEqual(prefix, VNK + ".0", name)
            notifications[int(number)] = list(node["objects"])
        self.assertEqual(notifications, {n: [v for v, _, _ in LEADING_VARBINDS] + third
                                         for n, third in expected.items()})

    def test_trap_varbinds_are_accessible_for_notify(self):
        varbinds = [(n, oid, kind) for n, oid, kind in LEADING_VARBINDS]
        varbinds += [(n, oid, kind) for n, (oid, kind, _) in THIRD_VARBINDS.items()]
        for name, oid, kind in varbinds:
            with self.subTest(object=name):
                node = self.mib["nodes"][name]
                self.assertEqual((node["oid"], node["nodetype"], node["access"]), (oid, "scalar", "notifyonly"))
                self.assertEqual(base_kind(self.mib, node["syntax"]), kind)

    def test_snmptranslate_names_every_catalogue_object(self):
        syntax_of = {"INTEGER": r"SYNTAX\s+(INTEGER|Integer32)\b", "BYTES": r"SYNTAX\s+OCTET STRING\b",
                     "TEXT": r"TEXTUAL CONVENTION VnkWpUtf8String", "IPADDRESS": r"SYNTAX\s+IpAddress\b"}
        for name, (oid, syntax, arcs) in self.catalogue.items():
            instance = ".0" if arcs == 0 else "".join(f".{i + 1}" for i in range(arcs))
            with self.subTest(object=name):
                code, out, err = self.TOOLS.translate("-Td", "." + oid + instance)
                self.assertEqual((code, err), (0, ""))
                self.assertEqual(out.splitlines()[0], f"{MODULE}::{name}{instance}")
                self.assertRegex(out, syntax_of[syntax])
                self.assertRegex(out, r"MAX-ACCESS\s+read-only")

    def test_snmptranslate_names_every_trap(self):
        for name, node in self.mib["notifications"].items():
            with self.subTest(trap=node["oid"]):
                code, out, err = self.TOOLS.translate("." + node["oid"])
                self.assertEqual((code, err, out.strip()), (0, "", f"{MODULE}::{name}"))


def tools_with_our_base():
    return Tools("ours", smi_path=f"{MIB_DIR}:{BASE_DIR}", mibdirs=f"{MIB_DIR}:{BASE_DIR}", mibs=MODULE)


class WithOurBaseModules(ModuleChecks, unittest.TestCase):
    TOOLS = tools_with_our_base()

    def test_base_modules_define_only_what_the_real_ones_define(self):
        assignment = re.compile(r"^([A-Za-z][\w-]*)\s+(?:OBJECT IDENTIFIER\s*::=|MACRO\s*::=|::=)", re.M)
        for module, real in REAL_NAMES.items():
            with self.subTest(module=module):
                with open(os.path.join(BASE_DIR, module + ".txt"), encoding="ascii") as f:
                    defined = set(assignment.findall(f.read()))
                self.assertLessEqual(defined, real)
                code, out, err = self.TOOLS.smi("smidump", "-f", "identifiers", module)
                self.assertEqual(code, 0, err)
                for name, kind, oid in re.findall(r"^\S+\s+(\S+)\s+(\w+)\s+([\d.]+)$", out, re.M):
                    self.assertEqual(oid, REAL_OIDS.get(name), name)

    def test_snmptrapd_names_the_trap_and_its_varbinds(self):
        varbinds = [f".{TRAP_INFO}.1.0", "s", "node-2", f".{TRAP_INFO}.2.0", "i", "1796000000",
                    f".{TRAP_OBJECTS}.3.0", "s", "Knoten-\u00fc"]
        with TrapReceiver(self.TOOLS) as receiver:
            # As a cluster node's SNMP service sends it, and as snmpext-host forwards it.
            receiver.send("1", "." + VNK, "", "6", "925", "", *varbinds)
            receiver.send("2c", "", f".{VNK}.0.931", *varbinds)
            receiver.wait_for(f"Enterprise Specific Trap ({MODULE}::vnkWpNodeDown)")
            receiver.wait_for(f"OID: {MODULE}::vnkWpGroupOffline")
            log = receiver.read()
        for name in ("vnkWpTrapComputerName.0 = STRING: node-2", "vnkWpTrapTime.0 = INTEGER: 1796000000 seconds",
                     "vnkWpTrapNodeName.0 = STRING: Knoten-\u00fc"):
            self.assertEqual(log.count(f"{MODULE}::{name}"), 2, log)

    def test_module_imports_only_real_names(self):
        for item in self.mib["imports"]:
            with self.subTest(name=item["name"]):
                self.assertIn(item["name"], REAL_NAMES.get(item["module"], set()))


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TrapReceiver:
    """snmptrapd on a free port of 127.0.0.1 with the module loaded, logging to a file."""

    def __init__(self, tools):
        self.tools = tools
        self.dir = os.path.join(WORK, "snmptrapd")
        os.makedirs(self.dir, exist_ok=True)
        self.log = os.path.join(self.dir, "traps.log")
        self.target = f"127.0.0.1:{free_udp_port()}"

    def __enter__(self):
        conf = os.path.join(self.dir, "snmptrapd.conf")
        with open(conf, "w") as f:
            f.write("disableAuthorization yes\n")
        if os.path.exists(self.log):
            os.unlink(self.log)
        argv = ["snmptrapd", "-f", "-X", "-C", "-c", conf, "-Lf", self.log] + self.tools.load + ["udp:" + self.target]
        with open(os.path.join(self.dir, "snmptrapd.out"), "wb") as out:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=self.tools.snmp_env,
                                         start_new_session=True)
        self.wait_for("NET-SNMP version")
        return self

    def __exit__(self, *exc):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def read(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for(self, text, timeout=10):
        deadline = time.time() + timeout
        while text not in self.read():
            if time.time() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"snmptrapd did not log {text!r}:\n{self.read()}")
            time.sleep(0.05)

    def send(self, version, *args):
        code, _, err = run(["snmptrap", "-v", version, "-c", "public"] + self.tools.load + [self.target] + list(args),
                           env=self.tools.snmp_env)
        assert code == 0, err


@unittest.skipUnless(system_has_base_modules(), "the system has no IETF base modules: checked with base/ only")
class WithTheSystemsBaseModules(ModuleChecks, unittest.TestCase):
    # The system's directories and ours; only our module (and what it imports) loaded.
    TOOLS = Tools("system", smi_path=None, mibdirs="+" + MIB_DIR, mibs=MODULE)


if __name__ == "__main__":
    os.makedirs(WORK, exist_ok=True)
    unittest.main(verbosity=2)
