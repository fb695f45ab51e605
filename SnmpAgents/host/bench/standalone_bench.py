#!/usr/bin/env python3
"""Bulk walks through the three ways of serving a MIB, in the same run (not part of ctest):

    python3 SnmpAgents/host/bench/standalone_bench.py [--build build/linux] [--walks 3]
        [--rows 10000] [--no-cluster | --only-cluster]

- in-process: snmpd serving the objects from its own table (plain_dlmod loaded by `dlmod`),
  the yardstick;
- standalone: snmpext-host --standalone with the extension agent;
- agentx: snmpd as AgentX master with snmpext-host as its subagent.

First the test agent's benchmark table of ROWS and of twice ROWS objects, then the cluster
agent on the large scenario (64 nodes, 2,000 groups, 10,000 resources) and on one twice as
large, its in-process table fed with a dump of the walk. Each figure is the best of --walks
`snmpbulkwalk -Cr50` runs (--agentx-walks for the AgentX host, the slow one), the ways taking
turns; a walk that differs from the others (the agent changed its MIB meanwhile, or served
something else) is named.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "SnmpAgents", "tests", "cluster_agent"))
import snmp_lab  # noqa: E402

TABLE = ".1.3.6.1.4.1.99999.2.3"
CLUSTER = ".1.3.6.1.4.1.884.2.10.2.9.1"


def walk(lab, root):
    cmd = ["snmpbulkwalk", "-v2c", "-c", "public", "-On", "-Ox", "-Ot", "-t", "60", "-r", "0", "-Cr50", lab.target,
           root]
    start = time.perf_counter()
    result = subprocess.run(cmd, capture_output=True, text=True, env=lab.env(), timeout=600)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("walk of %s failed: %s" % (lab.dir, result.stderr))
    return elapsed, result.stdout


def best_walks(labs, root):
    """labs: {way: (lab, walks)}. The ways take turns, so that a busy moment of the machine
    does not fall on one of them only; the best time of each, and its walk."""
    times, outputs = {way: [] for way in labs}, {}
    for turn in range(max(walks for _, walks in labs.values())):
        for way, (lab, walks) in labs.items():
            if turn >= walks:
                continue
            elapsed, text = walk(lab, root)
            times[way].append(elapsed)
            if outputs.setdefault(way, text) != text:
                print("  note: walk %d of %s differs from its first in %d lines" % (turn + 1, way, differing(
                    outputs[way], text)), flush=True)
    return {way: (min(times[way]), outputs[way]) for way in labs}


def differing(first, second):
    a, b = first.splitlines(), second.splitlines()
    return sum(1 for x, y in zip(a, b) if x != y) + abs(len(a) - len(b))


def in_process_lab(work, build, env):
    """snmpd with the yardstick table loaded into it; env says what the table serves."""
    lab = snmp_lab.Lab(work)
    lab.write_config()
    with open(lab.path("snmpd.conf"), "a") as f:
        f.write("dlmod plain_dlmod %s\n" % os.path.join(build, "lib", "plain_dlmod.so"))
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    try:
        lab.start_snmpd()
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    return lab


def host_lab(work, build, standalone, agents):
    lab = snmp_lab.Lab(work)
    lab.write_config(standalone=standalone)
    if not standalone:
        lab.start_snmpd()
    lab.start_host(os.path.join(build, "bin", "snmpext-host"), agents)
    return lab


def served(lab, root, timeout=120):
    snmp_lab.wait_until(lambda: walk(lab, root)[1].count("\n") > 1, timeout, lab.dir + " serving")


def report(label, results):
    """results: {way: (seconds, walk text)}; all ways must serve the same objects."""
    reference = results["in-process"][1]
    for way, (_, text) in results.items():
        if text != reference:
            print("  note: %s differs from in-process in %d lines" % (way, differing(reference, text)), flush=True)
    figures = {way: seconds for way, (seconds, _) in results.items()}
    count = reference.count("\n.") + 1
    print("%-34s %7d objects: in-process %6.3f s, standalone %6.3f s (%.2fx), agentx %7.3f s (%.1fx "
          "standalone)" % (label, count, figures["in-process"], figures["standalone"],
                           figures["standalone"] / figures["in-process"], figures["agentx"],
                           figures["agentx"] / figures["standalone"]), flush=True)
    return count, figures


def table_run(build, work, rows, walks, agentx_walks):
    os.environ["FW_TEST_AGENT_ROWS"] = str(rows)
    agent = os.path.join(build, "lib", "test_extension_agent.so")
    labs = {}
    try:
        labs["in-process"] = (in_process_lab(os.path.join(work, "inproc"), build, {"PLAIN_ROWS": str(rows)}), walks)
        labs["standalone"] = (host_lab(os.path.join(work, "standalone"), build, True, [agent]), walks)
        labs["agentx"] = (host_lab(os.path.join(work, "agentx"), build, False, [agent]), agentx_walks)
        for lab, _ in labs.values():
            served(lab, TABLE)
        return report("test agent table", best_walks(labs, TABLE))
    finally:
        for lab, _ in labs.values():
            lab.stop_all()


def cluster_run(build, work, scenario, label, walks, agentx_walks):
    """The cluster agent over clussimd with the scenario, served all three ways in turn."""
    import load_bench

    load_bench.configure(build)  # before the test module reads the environment
    import cluster_agent_e2e_test as base

    class Env(base.ClusterAgentEndToEnd):
        pass

    Env.scenario, Env.work_name = scenario, "bench"
    Env.setUpClass()  # clussimd, mgtcore, and the host under snmpd (AgentX)
    labs = {}
    try:
        served(Env.lab, CLUSTER, 300)
        results = best_walks({"agentx": (Env.lab, agentx_walks)}, CLUSTER)
        dump = os.path.join(work, "cluster.dump")
        os.makedirs(work, exist_ok=True)
        with open(dump, "w") as f:
            f.write(load_bench.dump_of_walk(results["agentx"][1]))
        # One host at a time beside the cluster: the agent keeps state of its own.
        Env.lab.stop("host")
        labs["in-process"] = (in_process_lab(os.path.join(work, "inproc"), build,
                                             {"PLAIN_ROWS": "0", "PLAIN_DUMP": dump, "PLAIN_ROOT": CLUSTER}), walks)
        labs["standalone"] = (host_lab(os.path.join(work, "standalone"), build, True, [base.AGENT]), walks)
        served(labs["in-process"][0], CLUSTER)
        served(labs["standalone"][0], CLUSTER, 300)
        results.update(best_walks(labs, CLUSTER))
        return report(label, results)
    finally:
        for lab, _ in labs.values():
            lab.stop_all()
        Env.tearDownClass()


def growth(label, small, large):
    (n1, f1), (n2, f2) = small, large
    print("%-34s objects x%.2f: in-process x%.2f, standalone x%.2f, agentx x%.2f" %
          (label, n2 / n1, f2["in-process"] / f1["in-process"], f2["standalone"] / f1["standalone"],
           f2["agentx"] / f1["agentx"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--walks", type=int, default=7)
    parser.add_argument("--agentx-walks", type=int, default=1)
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--no-cluster", action="store_true")
    parser.add_argument("--only-cluster", action="store_true")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    # Stopped from outside: the daemons started so far are stopped too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    # Short paths: Unix socket names hold at most 107 bytes.
    work = tempfile.mkdtemp(prefix="fw-sbench-")
    try:
        if not args.only_cluster:
            small = table_run(build, os.path.join(work, "t1"), args.rows, args.walks, args.agentx_walks)
            large = table_run(build, os.path.join(work, "t2"), 2 * args.rows, args.walks, args.agentx_walks)
            growth("test agent table", small, large)
        if args.no_cluster:
            return 0
        scenarios = []
        for name, size in (("large", (64, 2000, 10000)), ("double", (128, 4000, 20000))):
            path = os.path.join(work, name + ".json")
            subprocess.run([sys.executable, os.path.join(ROOT, "SnmpAgents", "clustersim", "scenarios",
                                                         "generate-large.py"), path] + [str(n) for n in size],
                           check=True)
            scenarios.append(cluster_run(build, os.path.join(work, name), path, "cluster MIB, %s scenario" % name,
                                         args.walks, args.agentx_walks))
        growth("cluster MIB", *scenarios)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
