"""The cluster agent over pcmkclusd --live, on a one-node cluster this test starts itself:
corosync on 127.0.0.1 and pacemakerd in the foreground (no systemd), resources of
Pacemaker's own test agents (ocf:pacemaker:Dummy, Stateful). The walk shows the cluster;
standby, a failed resource and the stopped stack each reach snmptrapd as their trap.

It needs root, corosync and pacemaker, and a machine where no cluster stack runs; it
writes under /var/lib/pacemaker and /var/lib/corosync and removes what it wrote there.
Without those it exits 77 (ctest: skipped). Run it alone: ctest -L pcmk-live."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import cluster_agent_e2e_test as base  # noqa: E402
from cluster_agent_e2e_test import BIN, REGION, snmp_lab  # noqa: E402
from cluster_agent_pcmk_e2e_test import cluster_traps  # noqa: E402

NODE = "fwlive1"
STATE_DIRS = ["/var/lib/pacemaker/cib", "/var/lib/pacemaker/pengine", "/var/lib/pacemaker/blackbox",
              "/var/lib/pacemaker/cores", "/var/lib/corosync"]
COROSYNC_CONF = """totem {
    version: 2
    cluster_name: fwlive
    transport: knet
    crypto_cipher: none
    crypto_hash: none
}
nodelist {
    node {
        ring0_addr: 127.0.0.1
        name: %s
        nodeid: 1
    }
}
quorum {
    provider: corosync_votequorum
}
logging {
    to_logfile: yes
    logfile: %s
    to_syslog: no
    to_stderr: no
}
"""


def running(name):
    return subprocess.run(["pgrep", "-x", name], capture_output=True).returncode == 0


def missing_precondition():
    if os.geteuid() != 0:
        return "needs root (pacemakerd runs its daemons as hacluster)"
    for tool in ("corosync", "pacemakerd", "corosync-cfgtool", "crm_attribute", "cibadmin"):
        if not shutil.which(tool):
            return "%s is not installed (scripts/deps)" % tool
    for daemon in ("corosync", "pacemakerd"):
        if running(daemon):
            return "%s runs already on this machine" % daemon
    return None


def files_under(dirs):
    found = set()
    for d in dirs:
        for root, _, names in os.walk(d):
            found.update(os.path.join(root, n) for n in names)
    return found


def run(*argv):
    return subprocess.run(list(argv), capture_output=True, text=True, timeout=60)


def wait_for_process_end(proc, timeout):
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


class PacemakerLive(base.ClusterAgentEndToEnd):
    work_name = "pcmk-live"
    corosync = pacemakerd = None
    files_before = None

    @classmethod
    def setUpClass(cls):
        why = missing_precondition()
        if why:
            raise unittest.SkipTest(why)
        super().setUpClass()

    @classmethod
    def start_clussimd(cls):
        cls.files_before = files_under(STATE_DIRS)
        cls.start_stack()
        # The cluster's configuration, then the service that reads it.
        for argv in (["crm_attribute", "-n", "stonith-enabled", "-v", "false"],
                     ["cibadmin", "-C", "-o", "resources", "-X",
                      '<group id="web"><primitive id="site" class="ocf" provider="pacemaker" type="Dummy">'
                      '<meta_attributes id="site-meta"><nvpair id="site-mt" name="migration-threshold" value="1"/>'
                      '</meta_attributes><operations><op id="site-m" name="monitor" interval="2s"/></operations>'
                      '</primitive><primitive id="data" class="ocf" provider="pacemaker" type="Dummy"><operations>'
                      '<op id="data-m" name="monitor" interval="5s"/></operations></primitive></group>'],
                     ["cibadmin", "-C", "-o", "resources", "-X",
                      '<clone id="state"><meta_attributes id="state-meta"><nvpair id="state-p" name="promotable" '
                      'value="true"/></meta_attributes><primitive id="st" class="ocf" provider="pacemaker" '
                      'type="Stateful"><operations><op id="st-m1" name="monitor" interval="10s" role="Promoted"/>'
                      '<op id="st-m2" name="monitor" interval="11s" role="Unpromoted"/></operations></primitive>'
                      '</clone>']):
            result = run(*argv)
            assert result.returncode == 0, (argv, result.stderr)
        snmp_lab.wait_until(lambda: len(re.findall(r'role="(Started|Promoted)"', run("crm_mon", "--output-as=xml")
                                                   .stdout)) >= 3, 60, "the resources to start")
        cls.clussimd = subprocess.Popen([os.path.join(BIN, "pcmkclusd"), "--live", "--corosync-conf", cls.conf],
                                        stderr=open(os.path.join(cls.work, "pcmkclusd.log"), "w"),
                                        start_new_session=True)
        snmp_lab.wait_until(lambda: "service running" in cls.clussim("status").stdout, 30, "pcmkclusd")

    @classmethod
    def start_stack(cls):
        cls.conf = os.path.join(cls.work, "corosync.conf")
        with open(cls.conf, "w") as f:
            f.write(COROSYNC_CONF % (NODE, os.path.join(cls.work, "corosync.log")))
        cls.corosync = subprocess.Popen(["corosync", "-f", "-c", cls.conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        snmp_lab.wait_until(lambda: "Quorate:          Yes" in run("corosync-quorumtool", "-s").stdout, 20,
                            "corosync to be quorate")
        env = dict(os.environ, PCMK_logfile=os.path.join(cls.work, "pacemaker.log"))
        cls.pacemakerd = subprocess.Popen(["pacemakerd"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                          env=env, start_new_session=True)
        # The first DC election waits out dc-deadtime (20 s).
        snmp_lab.wait_until(lambda: "Current DC: %s" % NODE in run("crm_mon", "-1").stdout, 90, "a DC")

    @classmethod
    def stop_stack(cls):
        if cls.pacemakerd and cls.pacemakerd.poll() is None:
            # A shutdown request during start-up can go unanswered: ask again.
            deadline = time.time() + 60
            while cls.pacemakerd.poll() is None and time.time() < deadline:
                run("pacemakerd", "--shutdown")
                try:
                    cls.pacemakerd.wait(5)
                except subprocess.TimeoutExpired:
                    pass
            wait_for_process_end(cls.pacemakerd, 1)
        if cls.corosync and cls.corosync.poll() is None:
            run("corosync-cfgtool", "-H")
            wait_for_process_end(cls.corosync, 20)

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            cls.stop_stack()
            if cls.files_before is not None:
                for path in files_under(STATE_DIRS) - cls.files_before:
                    os.unlink(path)

    def wait_for_trap(self, number, name, timeout=30):
        snmp_lab.wait_until(lambda: (number, name) in cluster_traps(self.lab), timeout, "trap %d for %s" % (number, name))

    def test_1_the_walk_shows_the_cluster(self):
        walked = self.lab.tool("snmpwalk", REGION)
        self.assertEqual(walked.returncode, 0, walked.stderr)
        values = {name: value for name, _, value in (line.partition(" = ") for line in walked.stdout.splitlines())}
        self.assertEqual(values[REGION + ".2.1.0"], 'STRING: "fwlive"')
        self.assertEqual(values[REGION + ".3.2.1.2.1"], 'STRING: "%s"' % NODE)
        self.assertEqual(values[REGION + ".3.2.1.3.1"], "INTEGER: 2")  # up
        self.assertEqual(values[REGION + ".3.2.1.5.1"], "IpAddress: 127.0.0.1")
        groups = {v: k for k, v in values.items() if k.startswith(REGION + ".5.2.1.2.")}
        web = groups['STRING: "web"'].rsplit(".", 1)[1]
        self.assertEqual(values[REGION + ".5.2.1.3." + web], "INTEGER: 2")  # online
        self.assertIn('STRING: "state:%s"' % NODE, groups)
        built = subprocess.run([os.path.join(BIN, "mib_print")], capture_output=True, text=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        self.assertEqual(walked.stdout.strip().splitlines(), built.stdout.strip().splitlines())

    def test_2_standby_pauses_the_node(self):
        self.assertEqual(run("crm_attribute", "-N", NODE, "-n", "standby", "-v", "on").returncode, 0)
        self.wait_for_trap(926, NODE)
        self.wait_for_trap(931, "web")
        self.assertEqual(run("crm_attribute", "-N", NODE, "-n", "standby", "-v", "off").returncode, 0)
        self.wait_for_trap(924, NODE)
        self.wait_for_trap(928, "web")

    def test_3_a_failed_resource_is_failed(self):
        # migration-threshold 1 on the only node: it stays stopped after its failure.
        snmp_lab.wait_until(lambda: re.search(r'id="site"[^>]*role="Started"', run("crm_mon", "--output-as=xml")
                                              .stdout), 30, "site to run")
        self.assertEqual(run("crm_resource", "--fail", "-r", "site", "-N", NODE).returncode, 0)
        self.wait_for_trap(935, "site")
        self.assertEqual(run("crm_resource", "--cleanup", "-r", "site").returncode, 0)
        self.wait_for_trap(933, "site")

    def test_4_a_stopped_stack_is_the_service_lost(self):
        self.stop_stack()
        self.wait_for_traps(812, timeout=60)
        self.assertIn("service stopped", self.clussim("status").stdout)


if __name__ == "__main__":
    program = unittest.main(verbosity=2, exit=False)
    result = program.result
    if result.wasSuccessful() and result.skipped and result.testsRun == len(result.skipped):
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
