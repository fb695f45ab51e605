"""The cluster agent under load, end to end: a burst of cluster events reaches snmptrapd whole
and in order (also while snmpd restarts), the host stops cleanly in the middle of a burst, and
without the cluster service only the version objects are served."""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import cluster_agent_e2e_test as base  # noqa: E402
from cluster_agent_e2e_test import BIN, REGION, snmp_lab  # noqa: E402

BURST = 1000
# A trap line of snmptrapd ("TRAP %v"): the trap OID and the third varbind, the object name.
TRAP_LINE = re.compile(r"\.1\.3\.6\.1\.6\.3\.1\.1\.4\.1\.0 = OID: \.1\.3\.6\.1\.4\.1\.884\.0\.(\d+)"
                       r".*?\.1\.3\.6\.1\.4\.1\.884\.2\.10\.2\.9\.1\.10\.\d+\.0 = STRING: \"([^\"]*)\"")


def named_traps(lab):
    """(trap number, object name) of every trap with an object, in the order of arrival."""
    return [(int(number), name) for number, name in TRAP_LINE.findall(lab.read("traps.log"))]


class Burst(base.ClusterAgentEndToEnd):
    """Each event renames a group or a resource: one notification each, and a name never seen
    before, so that a lost, doubled or reordered trap shows."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.round = 0
        for command in (["add", "group", "Burst"], ["add", "resource", "Burst Disk", "Burst"]):
            assert cls.clussim(*command).returncode == 0
        cls.group, cls.resource = "Burst", "Burst Disk"
        snmp_lab.wait_until(lambda: (861, "Burst Disk") in named_traps(cls.lab), 15, "the burst objects")

    def start_burst(self, events):
        """Starts `events` renames in a row; returns the process and the traps they must raise."""
        self.__class__.round += 1
        script, expected = [], []
        for i in range(events):
            kind, old = ("group", self.group) if i % 2 == 0 else ("resource", self.resource)
            new = "%s %d-%d" % (kind, self.round, i)
            script.append('"$CLUSSIM" rename %s "%s" "%s" || exit 1' % (kind, old, new))
            expected.append((853 if kind == "group" else 863, new))
            if kind == "group":
                self.__class__.group = new
            else:
                self.__class__.resource = new
        proc = subprocess.Popen(["sh", "-c", "\n".join(script)], stdout=subprocess.DEVNULL,
                                env=dict(os.environ, CLUSSIM=os.path.join(BIN, "clussim")))
        return proc, expected

    def burst_traps(self, expected):
        names = {name for _, name in expected}
        return [trap for trap in named_traps(self.lab) if trap[1] in names]

    def wait_for_burst(self, proc, expected, timeout=60):
        self.assertEqual(proc.wait(timeout), 0, "every clussim command applies")
        deadline = time.time() + timeout
        while time.time() < deadline and len(self.burst_traps(expected)) < len(expected):
            time.sleep(0.2)
        time.sleep(1)  # a doubled trap would come late
        self.assertEqual(self.burst_traps(expected), expected)

    def test_a_burst_delivers_every_trap_once_in_order(self):
        proc, expected = self.start_burst(BURST)
        self.wait_for_burst(proc, expected)

    def test_b_traps_raised_while_snmpd_restarts_arrive_after_it_returns(self):
        proc, expected = self.start_burst(BURST)
        snmp_lab.wait_until(lambda: len(self.burst_traps(expected)) >= BURST // 4, 60, "a quarter of the burst")
        self.lab.stop("snmpd")
        at_stop = len(self.burst_traps(expected))
        time.sleep(2)  # the burst goes on while the master is away
        self.lab.start_snmpd()
        self.wait_for_burst(proc, expected)
        self.assertLess(at_stop, BURST, "snmpd was away during the burst")
        self.assertRegex(self.lab.read("host.log"), "(?i)reconnect|connected|master")

    def test_z_sigterm_during_a_burst_ends_the_host_cleanly(self):
        proc, expected = self.start_burst(BURST // 2)
        snmp_lab.wait_until(lambda: len(self.burst_traps(expected)) >= 50, 60, "the burst under way")
        start = time.time()
        self.assertEqual(self.lab.stop("host"), 0, self.lab.read("host.log")[-2000:])
        self.assertLess(time.time() - start, 5)
        self.assertIn("stopped", self.lab.read("host.log"))
        proc.wait(60)


class WithoutTheClusterService(base.ClusterAgentEndToEnd):
    """No clussimd ever ran in this state directory: "ClusSvc" is not installed."""
    work_name = "no-clussvc"

    @classmethod
    def start_clussimd(cls):
        cls.clussimd = None

    @classmethod
    def wait_until_served(cls):
        snmp_lab.wait_until(lambda: cls.lab.tool("snmpwalk", REGION).stdout.count(" = ") > 0, 30, "the agent")

    def test_only_the_version_objects_are_served_and_the_status_is_0(self):
        first = self.walk()
        self.assertEqual(len(first), 3, first)
        time.sleep(0.5)  # a later request rebuilds nothing more
        self.assertEqual(self.walk(), first)
        query = subprocess.run([os.path.join(BIN, "winreg"), "query",
                                r"HKLM\SOFTWARE\Morvasten\Ferrowind_MIB\Parameters\VolatileParameters", "/v",
                                "AgentStatus"], capture_output=True, text=True)
        self.assertEqual(query.returncode, 0, query.stderr)
        self.assertRegex(query.stdout, r"AgentStatus\s+REG_DWORD\s+0x0\b")


if __name__ == "__main__":
    unittest.main(verbosity=2)
