"""Management-service object values end to end: snmpd, snmpext-host with the test agent's
plugin and mgtcore, driven by snmpget/snmpset and checked with mgtctl."""
import json
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts"))
import snmp_lab  # noqa: E402

HOST = os.environ["HOST_BIN"]
AGENT = os.environ["TEST_AGENT"]
MGTCORE = os.environ["MGTCORE_BIN"]
MGTCTL = os.environ["MGTCTL_BIN"]
WORK = os.environ.get("E2E_WORK", "/tmp/tarn_values_e2e")
BASE = ".1.3.6.1.4.1.884.2.10.2.9.1.25"
OE, CA = 0x4100, 1

# OI -> the service's value and what snmpget shows for it.
VALUES = {
    1: (2, "INTEGER: 7"),  # offset 5
    2: (1, "INTEGER: 2"),  # mapping list {0->1, 1->2, 5->3}
    3: (4000000000, "Gauge32: 4000000000"),
    4: ("hello", 'STRING: "hello"'),
    5: (3, "INTEGER: 3"),  # read-only, set-enabled
    6: (9, "INTEGER: 9"),  # keep-value
}


def oid(oi):
    return "%s.%d.0" % (BASE, oi)


class TarnValuesEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        # mgtcore, the host and mgtctl share one layer state: the service must be found.
        os.environ["WINAPI_STATE_DIR"] = os.path.join(WORK, "state")
        cls.lab = snmp_lab.Lab(WORK)
        cls.lab.write_config()
        cls.config = os.path.join(WORK, "mgtcore.json")
        with open(cls.config, "w") as f:
            json.dump({"Values": [{"OE": OE, "OI": oi, "CA": CA, "DA": v[0]} for oi, v in VALUES.items()]}, f)
        cls.lab._spawn("mgtcore", [MGTCORE, "--config", cls.config], "mgtcore.log")
        pid_file = os.path.join(WORK, "state", "run", "MgtCore.pid")
        snmp_lab.wait_until(lambda: os.path.exists(pid_file), 10, "mgtcore")
        cls.lab.start_snmpd()
        cls.lab.start_host(HOST, [AGENT])
        snmp_lab.wait_until(lambda: "INTEGER: 7" in cls.lab.tool("snmpget", oid(1)).stdout, 20, "the first value")

    @classmethod
    def tearDownClass(cls):
        cls.lab.stop_all()
        cls.lab.stop("mgtcore")

    def mgtctl(self, *args):
        result = subprocess.run([MGTCTL] + [str(a) for a in args], capture_output=True, text=True,
                                env=self.lab.env(), timeout=30)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def service_value(self, oi):
        return json.loads(self.mgtctl("value", "show", OE, oi, CA))["values"][0]["DA"]

    def set_service(self, oi, data, status=0, write_status=0):
        self.mgtctl("value", "set", OE, oi, CA, json.dumps(data), status, write_status)

    def snmpset(self, oi, kind, value, community="private"):
        return self.lab.tool("snmpset", oid(oi), kind, str(value), community=community)

    def test_get_shows_the_service_values(self):
        result = self.lab.tool("snmpget", *[oid(oi) for oi in range(1, 8)])
        self.assertEqual(result.returncode, 0, result.stderr)
        shown = [line.partition(" = ")[2] for line in result.stdout.strip().splitlines()]
        expected = [VALUES[oi][1] for oi in range(1, 7)] + ["INTEGER: 4711"]
        self.assertEqual(shown, expected)

    def test_set_changes_the_value_in_the_service(self):
        for oi, kind, value, stored, shown in ((1, "i", 10, 5, "INTEGER: 10"), (2, "i", 3, 5, "INTEGER: 3"),
                                              (4, "s", "written", "written", 'STRING: "written"'),
                                              (5, "i", 8, 8, "INTEGER: 8"), (3, "u", 77, 77, "Gauge32: 77")):
            with self.subTest(oi=oi):
                result = self.snmpset(oi, kind, value)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(self.service_value(oi), stored)
                self.assertIn(shown, self.lab.tool("snmpget", oid(oi)).stdout)
        with open(self.config) as f:
            saved = {v["OI"]: v["DA"] for v in json.load(f)["Values"]}
        self.assertEqual(saved[4], "written", "written values are in the configuration file")

    def test_refused_writes_leave_the_value_unchanged(self):
        self.set_service(1, 2, 0, 8)
        result = self.snmpset(1, "i", 40)
        self.assertIn("notWritable", result.stdout + result.stderr)
        self.assertEqual(self.service_value(1), 2)
        self.set_service(1, 2)

        before = self.service_value(2)
        result = self.snmpset(2, "i", 7)  # no mapping entry for 7
        self.assertIn("wrongValue", result.stdout + result.stderr)
        self.assertEqual(self.service_value(2), before)

        before = self.service_value(6)
        result = self.snmpset(6, "i", 99, community="public")
        self.assertNotEqual(result.returncode, 0, "snmpd refuses a SET with the read-only community")
        self.assertIn("noAccess", result.stdout + result.stderr)
        self.assertEqual(self.service_value(6), before)

        result = self.snmpset(7, "i", 1)
        self.assertIn("notWritable", result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
