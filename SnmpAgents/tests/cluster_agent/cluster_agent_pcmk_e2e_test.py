"""The cluster agent end to end over pcmkclusd: the fixture story of Pacemaker CIB states,
replayed and as a CIB file that is replaced state by state. For every state the walk
through snmpd equals the MIB built in process and shows the state's nodes and groups; each
transition raises at snmptrapd the traps of the state's expected notifications, in order."""
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import cluster_agent_e2e_test as base  # noqa: E402
from cluster_agent_e2e_test import BIN, REGION, ROOT, snmp_lab  # noqa: E402

FIXTURES = os.path.join(ROOT, "SnmpAgents", "pcmkclus", "fixtures")
STATES = os.path.join(FIXTURES, "states")

# The trap of a state notification by the object's state once the change is complete
# (the agent reads the state when it handles the notification); other states: the kind's
# "other state" trap.
STATE_TRAPS = {
    "NODE_STATE": ("node", {"up": 924, "down": 925, "paused": 926, "joining": 927}, 832),
    "GROUP_STATE": ("group", {"online": 928, "partialonline": 929, "pending": 930, "offline": 931, "failed": 932}, 852),
    "RESOURCE_STATE": ("resource", {"online": 933, "offline": 934, "failed": 935}, 862),
    "NETWORK_STATE": ("network", {"up": 936, "down": 937, "unavailable": 938}, 912),
    "NETINTERFACE_STATE": ("netinterface", {"up": 939, "failed": 940, "unreachable": 941, "unavailable": 942}, 922),
}
OTHER_TRAPS = {
    "NODE_DELETED": 830, "NODE_ADDED": 831, "RESOURCE_TYPE_DELETED": 840, "RESOURCE_TYPE_ADDED": 841,
    "GROUP_DELETED": 850, "GROUP_ADDED": 851, "GROUP_PROPERTY": 853, "RESOURCE_DELETED": 860,
    "RESOURCE_ADDED": 861, "RESOURCE_PROPERTY": 863, "NETWORK_DELETED": 910, "NETWORK_ADDED": 911,
    "NETWORK_PROPERTY": 913, "NETINTERFACE_DELETED": 920, "NETINTERFACE_ADDED": 921, "NETINTERFACE_PROPERTY": 923,
}
# The agent's default notification filter leaves the registry out.
FILTERED = {"REGISTRY_NAME", "REGISTRY_ATTRIBUTES", "REGISTRY_VALUE", "REGISTRY_SUBTREE"}
NODE_STATES = {"up": 2, "down": 3, "paused": 4, "joining": 5}
GROUP_STATES = {"online": 2, "offline": 3, "partialonline": 4, "failed": 5}


def states():
    return sorted(name[:-4] for name in os.listdir(STATES) if name.endswith(".xml"))


def read_model(name):
    """kind -> [(name, state, owner)] in model order, from the fixture's NN.model."""
    model = {}
    with open(os.path.join(FIXTURES, name + ".model")) as f:
        for line in f:
            m = re.match(r'(\w+) "([^"]*)"(?: (\w+))?(?: on (\S+))?', line)
            if m and m.group(1) != "cluster":
                model.setdefault(m.group(1), []).append((m.group(2), m.group(3), m.group(4)))
    return model


def expected_traps(name):
    model = read_model(name)
    states_by_kind = {kind: {n: s for n, s, _ in objects} for kind, objects in model.items()}
    traps = []
    with open(os.path.join(FIXTURES, name + ".changes")) as f:
        for line in f:
            code, _, quoted = line.strip().partition(" ")
            obj = quoted.strip('"')
            if code in FILTERED:
                continue
            if code in STATE_TRAPS:
                kind, table, other = STATE_TRAPS[code]
                traps.append((table.get(states_by_kind[kind][obj], other), obj))
            else:
                traps.append((OTHER_TRAPS[code], obj))
    return traps


def cluster_traps(lab):
    """(number, object name) of every trap of the agent in traps.log, in arrival order."""
    traps = []
    for line in lab.read("traps.log").splitlines():
        number = re.search(r"\.1\.3\.6\.1\.6\.3\.1\.1\.4\.1\.0 = OID: \.1\.3\.6\.1\.4\.1\.884\.0\.(\d+)", line)
        if not number:
            continue
        name = re.search(r'\.1\.3\.6\.1\.4\.1\.884\.2\.10\.2\.9\.1\.10\.\d+\.0 = STRING: "(.*?)"', line)
        traps.append((int(number.group(1)), name.group(1) if name else None))
    return traps


class PacemakerStory:
    """The story's states one after the other; start_clussimd starts pcmkclusd at the
    first state and advance(name) brings it to the next."""

    def check_walk(self, state):
        walked = self.lab.tool("snmpwalk", REGION)
        self.assertEqual(walked.returncode, 0, walked.stderr)
        built = subprocess.run([os.path.join(BIN, "mib_print")], capture_output=True, text=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stderr)
        self.assertEqual(walked.stdout.strip().splitlines(), built.stdout.strip().splitlines(), state)
        values = {name: value for name, _, value in (line.partition(" = ") for line in walked.stdout.splitlines())}
        model = read_model(state)
        nodes = [n for n, _, _ in model["node"]]
        self.assertEqual(values[REGION + ".3.1.0"], "INTEGER: %d" % len(nodes))
        for i, (node, word, _) in enumerate(model["node"], 1):
            self.assertEqual(values[REGION + ".3.2.1.2.%d" % i], 'STRING: "%s"' % node, state)
            self.assertEqual(values[REGION + ".3.2.1.3.%d" % i], "INTEGER: %d" % NODE_STATES[word], (state, node))
        for g, (group, word, owner) in enumerate(model["group"], 1):
            self.assertEqual(values[REGION + ".5.2.1.2.%d" % g], 'STRING: "%s"' % group, state)
            self.assertEqual(values[REGION + ".5.2.1.3.%d" % g], "INTEGER: %d" % GROUP_STATES[word], (state, group))
            self.assertEqual(values[REGION + ".5.2.1.4.%d" % g], "INTEGER: %d" % (nodes.index(owner) + 1),
                             (state, group))

    def test_each_state_walks_and_each_change_traps_in_order(self):
        story = states()
        self.assertGreaterEqual(len(story), 8)
        self.check_walk(story[0])
        for state in story[1:]:
            before = len(cluster_traps(self.lab))
            expected = expected_traps(state)
            self.advance(state)
            snmp_lab.wait_until(lambda: len(cluster_traps(self.lab)) - before >= len(expected), 30,
                                "the %d traps of %s" % (len(expected), state))
            time.sleep(0.5)  # nothing more may follow
            self.assertEqual(cluster_traps(self.lab)[before:], expected, state)
            self.check_walk(state)


class PacemakerReplay(PacemakerStory, base.ClusterAgentEndToEnd):
    work_name = "pcmk-replay"

    @classmethod
    def start_clussimd(cls):
        cls.clussimd = subprocess.Popen([os.path.join(BIN, "pcmkclusd"), "--replay", STATES],
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        snmp_lab.wait_until(lambda: cls.clussim("status").returncode == 0, 20, "pcmkclusd")

    def advance(self, state):
        result = self.clussim("step")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(state, result.stdout)


class PacemakerCibFile(PacemakerStory, base.ClusterAgentEndToEnd):
    work_name = "pcmk-file"

    @classmethod
    def start_clussimd(cls):
        cls.cib = os.path.join(cls.work, "cib.xml")
        cls.replace(states()[0])
        cls.clussimd = subprocess.Popen([os.path.join(BIN, "pcmkclusd"), "--cib-file", cls.cib, "--corosync-conf",
                                         os.path.join(STATES, "corosync.conf")],
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        snmp_lab.wait_until(lambda: cls.clussim("status").returncode == 0, 20, "pcmkclusd")

    @classmethod
    def replace(cls, state, cut=False):
        with open(os.path.join(STATES, state + ".xml")) as f:
            text = f.read()
        with open(cls.cib + ".new", "w") as f:
            f.write(text[:len(text) // 2] if cut else text)
        os.rename(cls.cib + ".new", cls.cib)

    def advance(self, state):
        # A writer interrupted halfway first: nothing may come of it.
        before = len(cluster_traps(self.lab))
        self.replace(state, cut=True)
        time.sleep(1.5)
        self.assertEqual(cluster_traps(self.lab)[before:], [])
        self.replace(state)


if __name__ == "__main__":
    unittest.main(verbosity=2)
