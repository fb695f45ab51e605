"""The cluster agent end to end: clussimd, mgtcore, snmpd, snmptrapd and snmpext-host with
Ferrowind_MIB, driven by net-snmp's tools and clussim."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import snmp_lab  # noqa: E402

BIN = os.environ["BIN_DIR"]
AGENT = os.environ["CLUSTER_AGENT"]
MESSAGES = os.environ["MESSAGES_DLL"]
SCENARIOS = os.path.join(ROOT, "SnmpAgents", "clustersim", "scenarios")
REGION = ".1.3.6.1.4.1.884.2.10.2.9.1"


def trap_numbers(lab):
    return [int(n) for n in re.findall(r"\.1\.3\.6\.1\.6\.3\.1\.1\.4\.1\.0 = OID: \.1\.3\.6\.1\.4\.1\.884\.0\.(\d+)",
                                       lab.read("traps.log"))]


class ClusterAgentEndToEnd(unittest.TestCase):
    scenario = "two-node-fileserver.json"

    @classmethod
    def setUpClass(cls):
        # A short directory: Unix socket paths hold at most 107 bytes, and build trees
        # can lie deep.
        work = tempfile.mkdtemp(prefix="fw-e2e-%s-" % getattr(cls, "work_name", cls.scenario.split(".")[0]))
        cls.work = work
        cls.procs, cls.clussimd, cls.lab = [], None, None
        state = os.path.join(work, "state")
        os.environ.update({
            "WINAPI_STATE_DIR": state,
            "WINAPI_REGISTRY": os.path.join(state, "registry.db"),
            "WINAPI_ROOT": os.path.join(state, "root"),
            "WINAPI_CLUSTER_SOCKET": os.path.join(work, "clussvc.sock"),
            "CLUSSIM_CONTROL_SOCKET": os.path.join(work, "clussim.sock"),
        })
        subprocess.run([os.path.join(BIN, "winreg"), "import", os.path.join(ROOT, "SnmpAgents", "install",
                                                                             "ferrowind.reg")], check=True)
        agents = os.path.join(state, "root", "drive_c", "Program Files", "Morvasten", "Agents")
        os.makedirs(agents)
        shutil.copy(MESSAGES, agents)
        try:
            cls.start_everything(work, state)
        except BaseException:
            cls.tearDownClass()  # what did start must not outlive the test
            raise

    @classmethod
    def start_everything(cls, work, state):
        cls.start_clussimd()
        config = os.path.join(work, "mgtcore.json")
        with open(config, "w") as f:
            f.write('{"Settings":{"SetAllowed":1,"Trap2EventLog":7,"TrapToAdminAlert":4}}\n')
        cls.procs.append(subprocess.Popen([os.path.join(BIN, "mgtcore"), "--config", config],
                                          stderr=subprocess.DEVNULL,
                                          start_new_session=True))
        snmp_lab.wait_until(lambda: os.path.exists(os.path.join(state, "run", "MgtCore.pid")), 10, "mgtcore")
        cls.lab = snmp_lab.Lab(os.path.join(work, "snmp"))
        cls.lab.write_config()
        cls.lab.start_snmptrapd()
        cls.lab.start_snmpd()
        cls.host_started = time.monotonic()
        cls.lab.start_host(os.path.join(BIN, "snmpext-host"), [AGENT])
        cls.wait_until_served()

    @classmethod
    def wait_until_served(cls):
        snmp_lab.wait_until(lambda: cls.lab.tool("snmpget", REGION + ".3.1.0").stdout.find("INTEGER") >= 0, 30,
                            "the cluster MIB")

    @classmethod
    def start_clussimd(cls):
        cls.clussimd = subprocess.Popen([os.path.join(BIN, "clussimd"), "--scenario",
                                         os.path.join(SCENARIOS, cls.scenario)],
                                        stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        snmp_lab.wait_until(lambda: cls.clussim("status").returncode == 0, 10, "clussimd")

    @classmethod
    def clussim(cls, *args):
        return subprocess.run([os.path.join(BIN, "clussim")] + list(args), capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        if cls.lab:
            cls.lab.stop_all()
        for proc in cls.procs + ([cls.clussimd] if cls.clussimd else []):
            proc.terminate()
            proc.wait(10)
            if proc.stderr:
                proc.stderr.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    def walk(self, version="2c"):
        result = self.lab.tool("snmpwalk", REGION, version=version)
        self.assertEqual(result.returncode, 0, result.stderr)
        return [line.partition(" = ") for line in result.stdout.strip().splitlines()]

    def wait_for_traps(self, *numbers, timeout=15):
        snmp_lab.wait_until(lambda: all(n in trap_numbers(self.lab) for n in numbers), timeout,
                            "traps %s" % (numbers,))


class WalkEqualsBuild:
    """A walk through snmpd equals the MIB built in process from the same cluster."""

    def test_0_the_walk_equals_the_mib_built_in_process(self):
        # First of its class (the name sorts first): nothing has changed the cluster yet.
        walked = self.lab.tool("snmpwalk", REGION)
        self.assertEqual(walked.returncode, 0, walked.stderr)
        built = subprocess.run([os.path.join(BIN, "mib_print")], capture_output=True, text=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        walked_lines = walked.stdout.strip().splitlines()
        built_lines = built.stdout.strip().splitlines()
        self.assertGreater(len(built_lines), 20)
        self.assertEqual(walked_lines, built_lines)


class TwoNodeCluster(WalkEqualsBuild, ClusterAgentEndToEnd):
    def test_walks_in_every_version_see_the_cluster(self):
        walks = [self.walk(version) for version in ("1", "2c", "3")]
        self.assertEqual(walks[0], walks[1])
        self.assertEqual(walks[1], walks[2])
        values = {name: value for name, _, value in walks[1]}
        self.assertEqual(values[REGION + ".3.1.0"], "INTEGER: 2")
        self.assertEqual(values[REGION + ".3.2.1.2.1"], 'STRING: "FS-NODE1"')
        self.assertEqual(values[REGION + ".6.1.0"], "INTEGER: 6")
        self.assertEqual(values[REGION + ".2.10.0"], 'STRING: "192.168.10.10"')
        self.assertEqual(values[REGION + ".3.2.1.5.1"], "IpAddress: 192.168.10.11")

    def test_a_node_down_reaches_snmptrapd_and_the_next_get(self):
        time.sleep(max(0.0, 3.0 - (time.monotonic() - self.host_started)))
        raised_after = time.monotonic() - self.host_started
        self.assertEqual(self.clussim("node", "down", "FS-NODE1").returncode, 0)
        self.wait_for_traps(925)
        received_after = time.monotonic() - self.host_started
        self.assertIn('"FS-NODE1"', self.lab.read("traps.log"))
        # sysUpTime.0 of the trap: hundredths since the host started.
        stamp = re.search(r"\.1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks: \((\d+)\)[^\n]*\.1\.3\.6\.1\.4\.1\.884\.0\.925",
                          self.lab.read("traps.log"))
        self.assertIsNotNone(stamp, self.lab.read("traps.log"))
        self.assertGreaterEqual(int(stamp.group(1)), int(raised_after * 100) - 50)
        self.assertLessEqual(int(stamp.group(1)), int(received_after * 100) + 50)
        get = self.lab.tool("snmpget", REGION + ".3.2.1.3.1")
        self.assertIn("INTEGER: 3", get.stdout)
        self.assertEqual(self.clussim("node", "up", "FS-NODE1").returncode, 0)
        self.wait_for_traps(924)

    def test_service_stop_and_start_give_812_then_811(self):
        self.assertEqual(self.clussim("service", "stop").returncode, 0)
        self.wait_for_traps(812)
        self.assertEqual(self.clussim("service", "start").returncode, 0)
        self.wait_for_traps(811, timeout=90)


class FourNodeIPv6Cluster(WalkEqualsBuild, ClusterAgentEndToEnd):
    scenario = "four-node-ipv6.json"

    def test_the_walk_carries_ipv6_and_non_ascii_values(self):
        walk = self.walk()
        values = {name: value for name, _, value in walk}
        self.assertEqual(walk[-1][0].rsplit(".", 2)[0], REGION + ".12.2.1.8")
        self.assertTrue(values[REGION + ".3.2.1.5.1"].startswith("Hex-STRING: 20 01 0D B8"),
                        values[REGION + ".3.2.1.5.1"])
        self.assertIn("N", values[REGION + ".3.2.1.2.1"])


class FaultCluster(WalkEqualsBuild, ClusterAgentEndToEnd):
    scenario = "faults.json"


if __name__ == "__main__":
    unittest.main(verbosity=2)
