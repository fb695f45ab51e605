#!/usr/bin/env python3
"""End-to-end timings of the cluster agent (not part of ctest):

    python3 SnmpAgents/tests/cluster_agent/load_bench.py [--build build/linux] [--events 1000]
        [--large-events 100] [--requests 20] [--walks 3]

1. Event to trap: from the start of a `clussim` command to the trap's line at snmptrapd,
   p50/p99, on the two-node scenario and on the large one (64 nodes, 2,000 groups, 10,000
   resources). Beside it the time of the `clussim` command alone (process start, the
   change, its notifications sent) and the rest: the watcher, the host, snmpd, snmptrapd.
2. The first request after a change on the large scenario (the rebuild before it) against
   the next request (no rebuild, the floor: an snmpget process and its round trip).
3. snmpbulkwalk of the whole region of the large scenario through snmpd, against
   plain_subagent serving a dump of the same objects (same OIDs, types and values) under
   the same snmpd, in the same run.
Each event renames a group, so that its trap carries a name never seen before.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def configure(build):
    build = os.path.abspath(build)
    os.environ.setdefault("BIN_DIR", os.path.join(build, "bin"))
    os.environ.setdefault("CLUSTER_AGENT", os.path.join(build, "lib", "Ferrowind_MIB.so"))
    os.environ.setdefault("MESSAGES_DLL", os.path.join(build, "lib", "Messages.dll"))
    os.environ.setdefault("E2E_WORK", "/tmp/fw-load-bench")
    return build


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def summary(label, seconds):
    ms = [s * 1000 for s in seconds]
    print("%-46s n=%-5d p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms" %
          (label, len(ms), percentile(ms, 50), percentile(ms, 99), max(ms)))


class TrapWatch:
    """Follows snmptrapd's log from its current end."""

    def __init__(self, path):
        self.path = path
        self.offset = os.path.getsize(path)
        self.text = ""

    def wait_for(self, needle, timeout=30):
        deadline = time.perf_counter() + timeout
        while time.perf_counter() < deadline:
            with open(self.path, errors="replace") as f:
                f.seek(self.offset)
                chunk = f.read()
            if chunk:
                self.offset += len(chunk.encode())
                self.text += chunk
                if needle in self.text:
                    arrived = time.perf_counter()
                    self.text = self.text[self.text.index(needle) + len(needle):]
                    return arrived
            time.sleep(0.0005)
        raise TimeoutError("no trap with " + needle)


def listening(env, watch, group):
    """Renames the group until a trap shows that the watcher listens (it opens its port only
    after the first enumeration and build, seconds on the large scenario); the group's name."""
    for attempt in range(120):
        new = "%s'" % group
        env.clussim("rename", "group", group, new)
        group = new
        try:
            watch.wait_for('"%s"' % new, timeout=1)
            return group
        except TimeoutError:
            continue
    raise TimeoutError("the watcher does not listen")


def event_to_trap(env, events):
    """Per event: (start to trap at snmptrapd, start to the end of the clussim command)."""
    env.clussim("add", "group", "Bench")
    watch = TrapWatch(env.lab.path("traps.log"))
    group = listening(env, watch, "Bench")
    clussim = os.path.join(os.environ["BIN_DIR"], "clussim")
    total, command = [], []
    for i in range(1, events + 1):
        new = "Bench %d" % i
        start = time.perf_counter()
        proc = subprocess.Popen([clussim, "rename", "group", group, new], stdout=subprocess.DEVNULL)
        arrived = watch.wait_for('"%s"' % new)
        proc.wait()
        command.append(time.perf_counter() - start)
        total.append(arrived - start)
        group = new
    return total, command


def process_floor(env, group, runs=50):
    """A clussim command that raises nothing: process start and one round trip to clussimd."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        env.clussim("fault", "group", group, "clear")
        times.append(time.perf_counter() - start)
    return times


def patient_master(env):
    """snmpd with a 60 s AgentX timeout of its own: net-snmp's master keeps its default
    (1 s, 5 retries) whatever timeout the host asks for, and drops the host after 6 s."""
    import snmp_lab
    from cluster_agent_e2e_test import REGION
    with open(env.lab.path("snmpd.conf"), "a") as f:
        f.write("agentxTimeout 60\nagentxRetries 0\n")
    env.lab.stop("snmpd")
    env.lab.start_snmpd()
    snmp_lab.wait_until(lambda: "INTEGER" in snmp(env.lab, "snmpget", REGION + ".3.1.0").stdout, 60, "the host")


def first_request_after_change(env, requests):
    from cluster_agent_e2e_test import REGION
    watch = TrapWatch(env.lab.path("traps.log"))
    first, second = [], []
    group = listening(env, watch, "Group 0000")
    for i in range(requests):
        new = "Renamed %d" % i
        env.clussim("rename", "group", group, new)
        watch.wait_for('"%s"' % new)
        group = new
        for times in (first, second):
            start = time.perf_counter()
            got = snmp(env.lab, "snmpget", REGION + ".3.1.0")
            times.append(time.perf_counter() - start)
            if "INTEGER" not in got.stdout:
                raise RuntimeError("GET failed: " + got.stdout + got.stderr)
    return first, second


WALK_LINE = re.compile(r"^(\.[0-9.]+) = (?:([A-Za-z0-9-]+): ?)?(.*)$")
TYPE_LETTER = {"INTEGER": "i", "Gauge32": "u", "Counter32": "c", "Timeticks": "t", "Hex-STRING": "x",
               "STRING": "x", "IpAddress": "a", "OID": "o", "Counter64": "C"}


def dump_of_walk(text):
    """Lines "OID LETTER VALUE" from an `snmpbulkwalk -On -Ox -Ot` output (hex strings may wrap)."""
    objects = []
    for line in text.splitlines():
        match = WALK_LINE.match(line)
        if not match:
            objects[-1][2] += " " + line.strip()  # a wrapped Hex-STRING
            continue
        name, kind, value = match.groups()
        if kind is None and value == '""':
            kind, value = "STRING", ""
        objects.append([name, TYPE_LETTER[kind], value.strip().strip('"') if kind == "STRING" else value.strip()])
    return "".join("%s %s %s\n" % (name, letter, value.replace(" ", "")) for name, letter, value in objects)


def snmp(lab, tool, *args):
    """A net-snmp tool with one patient try: a rebuild must not look like a lost packet."""
    return subprocess.run([tool, "-v2c", "-c", "public", "-On", "-t", "30", "-r", "0", lab.target] + list(args),
                          capture_output=True, text=True, env=lab.env(), timeout=300)


def timed_walk(lab, region):
    start = time.perf_counter()
    result = snmp(lab, "snmpbulkwalk", "-Cr50", "-Ox", "-Ot", region)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError(result.stderr)
    return elapsed, result.stdout


def walk_against_plain(env, build, walks):
    import snmp_lab
    from cluster_agent_e2e_test import REGION
    _, dumped = timed_walk(env.lab, REGION)
    count = dumped.count("\n.") + 1
    dump_path = env.lab.path("tree.dump")
    with open(dump_path, "w") as f:
        f.write(dump_of_walk(dumped))
    plain_lab = snmp_lab.Lab(os.path.join(env.work, "plain"))
    plain_lab.write_config()
    plain_lab.start_snmpd()
    plain = subprocess.Popen([os.path.join(build, "bin", "plain_subagent"), plain_lab.path("agentx.sock"), "--dump",
                              dump_path, REGION], stderr=subprocess.DEVNULL, env=plain_lab.env(),
                             start_new_session=True)
    try:
        snmp_lab.wait_until(lambda: plain_lab.tool("snmpget", REGION + ".3.1.0").stdout.find("INTEGER") >= 0, 30,
                            "plain_subagent")
        _, plain_dump = timed_walk(plain_lab, REGION)
        if plain_dump != dumped:
            raise RuntimeError("plain_subagent serves another tree")
        host, yardstick = [], []
        for _ in range(walks):
            host.append(timed_walk(env.lab, REGION)[0])
            yardstick.append(timed_walk(plain_lab, REGION)[0])
        return count, host, yardstick
    finally:
        plain.terminate()
        plain.wait(10)
        plain_lab.stop_all()


def run_scenario(scenario, work_name, body):
    sys.path.insert(0, os.path.dirname(__file__))
    import cluster_agent_e2e_test as base

    class Env(base.ClusterAgentEndToEnd):
        pass

    Env.scenario, Env.work_name = scenario, work_name
    Env.setUpClass()
    try:
        return body(Env)
    finally:
        Env.tearDownClass()


def report_events(label, total, command, floor):
    summary(label + ": event to trap at snmptrapd", total)
    summary(label + ": the clussim command to its end", command)
    summary(label + ": a clussim command raising nothing", floor)
    floor50 = percentile(floor, 50)
    summary(label + ": event to trap less the clussim floor", [t - floor50 for t in total])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--events", type=int, default=1000)
    parser.add_argument("--large-events", type=int, default=100)
    parser.add_argument("--requests", type=int, default=20)
    parser.add_argument("--walks", type=int, default=3)
    parser.add_argument("--patient-master", action="store_true",
                        help="give snmpd agentxTimeout 60 before the request and walk timings")
    args = parser.parse_args()
    build = configure(args.build)
    sys.path.insert(0, os.path.join(ROOT, "scripts"))

    def two_node_body(env):
        return event_to_trap(env, args.events), process_floor(env, "Files")

    if args.events > 0:
        (total, command), floor = run_scenario("two-node-fileserver.json", "two-node", two_node_body)
        report_events("two-node", total, command, floor)

    large = os.path.join(build, "scenarios", "large-64-nodes.json")

    def large_body(env):
        results = {"events": event_to_trap(env, args.large_events), "floor": process_floor(env, "Group 0001")}
        if args.patient_master:
            patient_master(env)
        results["requests"] = first_request_after_change(env, args.requests)
        results["walk"] = walk_against_plain(env, build, args.walks)
        return results

    results = run_scenario(large, "large", large_body)
    if args.large_events > 0:
        report_events("large", *results["events"], results["floor"])
    first, second = results["requests"]
    summary("large: first GET after a change (rebuild)", first)
    summary("large: next GET (no rebuild, the floor)", second)
    count, host, yardstick = results["walk"]
    print("large: snmpbulkwalk -Cr50 of %d objects: host %.2f s, plain_subagent %.2f s (best of %d), ratio %.2f" %
          (count, min(host), min(yardstick), len(host), min(host) / min(yardstick)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
