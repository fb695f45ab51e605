"""snmpext-host end to end: snmpd, snmptrapd and the host with the test agent, driven by
net-snmp's own tools."""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts"))
import snmp_lab  # noqa: E402

HOST = os.environ["HOST_BIN"]
AGENT = os.environ["TEST_AGENT"]
LACKING = os.environ["LACKING_AGENT"]
WORK = os.environ.get("E2E_WORK", "/tmp/host_e2e")
BASE = ".1.3.6.1.4.1.99999"
FAULTS = ".1.3.6.1.4.1.99997"

# Every object of the test agent, in walk order.
EXPECTED_WALK = [
    (BASE + ".1.1.0", "INTEGER: -5"),
    (BASE + ".1.2.0", 'STRING: "hello"'),
    (BASE + ".1.3.0", "OID: .1.3.6.1.4.1.99999"),
    (BASE + ".1.4.0", "IpAddress: 10.1.2.3"),
    (BASE + ".1.5.0", "Counter32: 4000000000"),
    (BASE + ".1.6.0", "Gauge32: 42"),
    (BASE + ".1.7.0", "Timeticks: (12345) 0:02:03.45"),
    (BASE + ".1.8.0", "OPAQUE: 01 02"),
    (BASE + ".1.9.0", "Counter64: 1099511627777"),
    (BASE + ".1.10.0", "INTEGER: 7"),
    (BASE + ".1.11.0", 'STRING: "abc"'),
    (BASE + ".1.20.1.2.1", 'STRING: "row1"'),
    (BASE + ".1.20.1.2.2", 'STRING: "row2"'),
    (BASE + ".1.20.1.2.3", 'STRING: "row3"'),
    (BASE + ".1.20.1.3.1", "INTEGER: 10"),
    (BASE + ".1.20.1.3.2", "INTEGER: 20"),
    (BASE + ".1.20.1.3.3", "INTEGER: 30"),
    (BASE + ".1.30.0", "INTEGER: 0"),
    (BASE + ".1.32.0", "INTEGER: 0"),
    (BASE + ".1.33.0", "INTEGER: 0"),
    (BASE + ".1.50.4294967295", "INTEGER: 1"),
    (BASE + ".1.4294967295.4294967295", "INTEGER: 2"),
    (BASE + ".2.1.0", "INTEGER: 2"),
]


WRITABLE = {BASE + ".1.%d.0" % n for n in (10, 11, 30, 32, 33)}


def parse(output):
    pairs = []
    for line in output.strip().splitlines():
        name, _, value = line.partition(" = ")
        pairs.append((name.strip(), value.strip()))
    return pairs


def trap_sequences(lab):
    return [int(m) for m in re.findall(r"99999\.1\.31\.0 = INTEGER: (\d+)", lab.read("traps.log"))]


class HostEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        shutil.rmtree(WORK + "-bad", ignore_errors=True)
        cls.lab = snmp_lab.Lab(WORK)
        cls.lab.write_config()
        cls.lab.start_snmptrapd()
        cls.lab.start_snmpd()
        cls.lab.start_host(HOST, [AGENT])
        snmp_lab.wait_until(lambda: cls.lab.tool("snmpget", BASE + ".1.1.0").returncode == 0, 10, "the first answer")

    @classmethod
    def tearDownClass(cls):
        cls.lab.stop_all()

    def walk(self, tool, root, version="2c"):
        result = self.lab.tool(tool, root, version=version)
        self.assertEqual(result.returncode, 0, result.stderr)
        return parse(result.stdout)

    def test_get_returns_every_type(self):
        names = [name for name, _ in EXPECTED_WALK[:11]]
        result = self.lab.tool("snmpget", *names)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(parse(result.stdout), EXPECTED_WALK[:11])

    def test_missing_objects_are_exceptions(self):
        result = self.lab.tool("snmpget", BASE + ".1.99.0", BASE + ".1.1.0")
        self.assertIn("No Such Object", result.stdout)
        self.assertIn("INTEGER: -5", result.stdout)

    def test_walks_return_exactly_the_agent_objects_in_order(self):
        for tool, version in (("snmpwalk", "2c"), ("snmpbulkwalk", "2c"), ("snmpwalk", "3"), ("snmpbulkwalk", "3"),
                              ("snmpwalk", "1")):
            with self.subTest(tool=tool, version=version):
                walked = self.walk(tool, BASE, version)
                expected = EXPECTED_WALK if version != "1" else [p for p in EXPECTED_WALK if "Counter64" not in p[1]]
                # Other tests write the read-write objects: their values may differ.
                self.assertEqual([name for name, _ in walked], [name for name, _ in expected])
                fixed = [p for p in expected if p[0] not in WRITABLE]
                self.assertEqual([p for p in walked if p[0] not in WRITABLE], fixed)

    def test_getnext_leaves_the_regions_for_the_rest_of_the_tree(self):
        result = self.lab.tool("snmpgetnext", BASE + ".2.1.0", BASE + ".1.4294967295", BASE + ".1.4294967295.4294967295")
        pairs = parse(result.stdout)
        self.assertEqual(len(pairs), 3, result.stdout + result.stderr)
        self.assertFalse(pairs[0][0].startswith(BASE), pairs[0])
        self.assertEqual(pairs[1], (BASE + ".1.4294967295.4294967295", "INTEGER: 2"))
        self.assertEqual(pairs[2], (BASE + ".2.1.0", "INTEGER: 2"))

    def test_sets(self):
        ok = self.lab.tool("snmpset", BASE + ".1.11.0", "s", "written", community="private")
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertIn('STRING: "written"', self.lab.tool("snmpget", BASE + ".1.11.0").stdout)
        cases = [("2c", "notWritable"), ("1", "noSuchName")]
        for version, error in cases:
            with self.subTest(version=version):
                refused = self.lab.tool("snmpset", BASE + ".1.1.0", "i", "1", version=version, community="private")
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(error, refused.stdout + refused.stderr)
        wrong = self.lab.tool("snmpset", BASE + ".1.10.0", "s", "text", community="private")
        self.assertIn("wrongValue", wrong.stdout + wrong.stderr)
        self.assertIn("INTEGER: 7", self.lab.tool("snmpget", BASE + ".1.10.0").stdout, "a refused SET changes nothing")

    def test_bad_answers_are_generr_and_logged(self):
        for oid, reason in ((".1.0", "malformed OID"), (".2.0", "answered 2 varbinds for 1"),
                            (".3.0", "agent returned FALSE")):
            with self.subTest(oid=oid):
                result = self.lab.tool("snmpget", FAULTS + oid)
                self.assertIn("genError", result.stdout + result.stderr)
                self.assertIn(reason, self.lab.read("host.log"))
        self.assertEqual(self.lab.tool("snmpget", BASE + ".1.1.0").returncode, 0, "the host still serves")

    def test_a_slow_answer_within_the_agentx_timeout_is_no_error(self):
        # Default client settings (1 s, 5 retries); the agent answers after 3 s.
        cmd = ["snmpget", "-v2c", "-c", "public", "-On", self.lab.target, FAULTS + ".4.0"]
        result = subprocess.run(cmd, capture_output=True, text=True, env=self.lab.env(), timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("INTEGER: 4", result.stdout)
        self.assertEqual(self.lab.tool("snmpget", BASE + ".1.1.0").returncode, 0, "the host is still registered")
        self.assertNotIn("failed to respond to ping", self.lab.read("host.log"))
        self.assertNotIn("Failure in sendto", self.lab.read("host.log"))

    def test_trap_burst_arrives_in_order_without_loss(self):
        before = trap_sequences(self.lab)
        start = max(before) if before else 0
        result = self.lab.tool("snmpset", BASE + ".1.30.0", "i", "1000", community="private")
        self.assertEqual(result.returncode, 0, result.stderr)
        snmp_lab.wait_until(lambda: len(trap_sequences(self.lab)) >= len(before) + 1000, 60, "1000 traps")
        time.sleep(0.5)
        got = trap_sequences(self.lab)[len(before):]
        self.assertEqual(got, list(range(start + 1, start + 1001)))
        line = [l for l in self.lab.read("traps.log").splitlines() if "INTEGER: %d" % (start + 1) in l][0]
        self.assertIn(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.99999.0.1", line)
        self.assertIn(".1.3.6.1.6.3.1.1.4.3.0 = OID: .1.3.6.1.4.1.99999", line)
        self.assertRegex(line, r"^TRAP \.1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks")

    def test_generic_trap_uses_the_standard_notification(self):
        self.lab.tool("snmpset", BASE + ".1.32.0", "i", "3", community="private")
        snmp_lab.wait_until(lambda: ".1.3.6.1.6.3.1.1.5.4" in self.lab.read("traps.log"), 10, "linkUp")

    def test_zz_snmpd_restart_loses_nothing(self):
        before = len(trap_sequences(self.lab))
        self.assertEqual(self.lab.tool("snmpset", BASE + ".1.33.0", "i", "5", community="private").returncode, 0)
        self.lab.stop("snmpd")
        time.sleep(4)  # the agent raises its five traps while the master is away
        self.lab.start_snmpd()
        snmp_lab.wait_until(lambda: self.lab.tool("snmpget", BASE + ".1.1.0").returncode == 0, 20, "reconnection")
        snmp_lab.wait_until(lambda: len(trap_sequences(self.lab)) >= before + 5, 20, "the queued traps")
        self.assertEqual(self.walk("snmpwalk", BASE + ".1.20")[0], EXPECTED_WALK[11])


class QueryTool(unittest.TestCase):
    def run_query(self, *args):
        env = dict(os.environ, WINAPI_STATE_DIR=WORK + "-query")
        return subprocess.run([os.environ["QUERY_BIN"], AGENT] + list(args), capture_output=True, text=True,
                              env=env, timeout=60)

    def test_walk_get_and_set_print_like_the_net_snmp_tools(self):
        walked = self.run_query("walk", BASE + ".1")
        self.assertEqual(walked.returncode, 0, walked.stderr)
        self.assertEqual(parse(walked.stdout), EXPECTED_WALK[:-1])
        refused = self.run_query("set", BASE + ".1.1.0", "i", "3")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("Reason: readOnly", refused.stderr)
        self.assertIn("Failed object: " + BASE + ".1.1.0", refused.stderr)
        bad = self.run_query("set", BASE + ".1.10.0", "q", "3")
        self.assertEqual(bad.returncode, 2)
        self.assertIn("unknown type letter", bad.stderr)


class BadPlugins(unittest.TestCase):
    def test_bad_plugins_are_skipped_with_a_reason(self):
        lab = snmp_lab.Lab(WORK + "-bad")
        lab.write_config()
        try:
            lab.start_snmpd()
            lab.start_host(HOST, ["/no/such/agent.so", LACKING])
            log = lab.read("host.log")
            self.assertIn("cannot load /no/such/agent.so", log)
            self.assertIn("lacks the export SnmpExtensionQuery", log)
            self.assertEqual(lab.stop("host"), 0, "SIGTERM ends the host cleanly")
            self.assertIn("stopped", lab.read("host.log"))
        finally:
            lab.stop_all()


if __name__ == "__main__":
    unittest.main(verbosity=2)
