#!/usr/bin/env python3
"""From a CIB change to the trap at snmptrapd, through pcmkclusd, the agent and snmpd: a
node failing (node002) and coming back on generated clusters of 16, 64 and 256 nodes,
the CIB file replaced as Pacemaker would record it. Not part of ctest.

usage: BIN_DIR=build/linux/bin CLUSTER_AGENT=build/linux/lib/Ferrowind_MIB.so \\
       MESSAGES_DLL=build/linux/messages/Messages.dll python3 trap_latency.py [NODES...]"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "cluster_agent"))
import cluster_agent_e2e_test as base  # noqa: E402
from cluster_agent_pcmk_e2e_test import cluster_traps  # noqa: E402

ROUNDS = 3


class Service(base.ClusterAgentEndToEnd):
    work_name = "pcmk-latency"
    states = None

    @classmethod
    def start_clussimd(cls):
        cls.cib = os.path.join(cls.work, "cib.xml")
        shutil.copy(os.path.join(cls.states, "before.xml"), cls.cib)
        cls.clussimd = subprocess.Popen([os.path.join(base.BIN, "pcmkclusd"), "--cib-file", cls.cib],
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        base.snmp_lab.wait_until(lambda: cls.clussim("status").returncode == 0, 60, "pcmkclusd")

    @classmethod
    def change_to(cls, state, trap):
        shutil.copy(os.path.join(cls.states, state + ".xml"), cls.cib + ".new")
        before = len(cluster_traps(cls.lab))
        start = time.monotonic()
        os.rename(cls.cib + ".new", cls.cib)
        while trap not in cluster_traps(cls.lab)[before:]:
            if time.monotonic() - start > 120:
                raise RuntimeError("no trap %s" % (trap,))
            time.sleep(0.01)
        elapsed = time.monotonic() - start
        # The agent handles the rest of the burst (a notification re-reads its list of the
        # cluster) before the next change is timed.
        count, quiet_since = -1, time.monotonic()
        while time.monotonic() - quiet_since < 3 and time.monotonic() - start < 600:
            now = len(cluster_traps(cls.lab))
            if now != count:
                count, quiet_since = now, time.monotonic()
            time.sleep(0.2)
        return elapsed


def main():
    sizes = [int(n) for n in sys.argv[1:]] or [16, 64, 256]
    for nodes in sizes:
        groups = 250 if nodes <= 16 else 500 if nodes <= 64 else 1000
        states = tempfile.mkdtemp(prefix="pcmk-latency-")
        try:
            subprocess.run([sys.executable, os.path.join(HERE, "generate-large-cib.py"), str(nodes), str(groups),
                            states], check=True)
            Service.states = states
            Service.setUpClass()
            try:
                # The agent listens once it has built the MIB; a change before that is not seen.
                base.snmp_lab.wait_until(lambda: "INTEGER: %d" % nodes in Service.lab.tool(
                    "snmpget", base.REGION + ".3.1.0").stdout, 300, "the MIB of %d nodes" % nodes)
                time.sleep(2)
                fail, back = [], []
                for _ in range(ROUNDS):
                    fail.append(Service.change_to("after", (925, "node002")))
                    back.append(Service.change_to("before", (924, "node002")))
            finally:
                Service.tearDownClass()
            print("%3d nodes, %4d resources: node down to trap 925 median %.2f s (%s), up to 924 median %.2f s"
                  % (nodes, groups * 4, statistics.median(fail), " ".join("%.2f" % t for t in fail),
                     statistics.median(back)))
        finally:
            shutil.rmtree(states, ignore_errors=True)


if __name__ == "__main__":
    main()
