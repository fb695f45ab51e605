#!/usr/bin/env python3
"""A private SNMP setup: snmpd as AgentX master on a private socket and a free UDP port on
127.0.0.1, snmptrapd as trap sink (over TCP), and snmpext-host with extension agents.
With --standalone there is no snmpd: the host itself listens on that port.

    scripts/snmp_lab.py start DIR --host build/linux/bin/snmpext-host --agent AGENT.so [--standalone]
    scripts/snmp_lab.py stop DIR
    scripts/snmp_lab.py stamps DIR [--match REGEX]   the host's start; traps and their stamps

`start` prints the ports and the net-snmp commands to use; everything lives in DIR.
Communities: public (read), private (read-write), narrow (read, only .1.3.6.1.4.1.99999);
SNMPv3 user "fwuser" with SHA/AES, passphrases "fwauthpass" and "fwprivpass".
"""
import argparse
import json
import re
import os
import signal
import socket
import subprocess
import sys
import time

V3_USER = ["-v3", "-l", "authPriv", "-u", "fwuser", "-a", "SHA", "-A", "fwauthpass", "-x", "AES", "-X", "fwprivpass"]


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lab:
    def __init__(self, workdir):
        self.dir = os.path.abspath(workdir)
        os.makedirs(self.dir, exist_ok=True)
        self.state_file = os.path.join(self.dir, "lab.json")
        self.state = {}
        if os.path.exists(self.state_file):
            with open(self.state_file) as f:
                self.state = json.load(f)

    def path(self, name):
        return os.path.join(self.dir, name)

    def env(self):
        env = dict(os.environ)
        env.update({"MIBS": "", "SNMP_PERSISTENT_DIR": self.path("persist"), "SNMPCONFPATH": self.dir})
        # A MIB module for snmptrapd's names (MIBDIRS and MIBS as net-snmp reads them).
        if self.state.get("mibs"):
            env.update({"MIBDIRS": self.state["mibdirs"], "MIBS": self.state["mibs"]})
        # The caller's layer state when it has one (its registry, services, event log).
        env.setdefault("WINAPI_STATE_DIR", self.path("state"))
        return env

    def save(self):
        with open(self.state_file, "w") as f:
            json.dump(self.state, f)

    @property
    def agent_port(self):
        return self.state["agent_port"]

    @property
    def target(self):
        return "127.0.0.1:%d" % self.agent_port

    @property
    def standalone(self):
        return self.state.get("mode") == "standalone"

    def write_config(self, standalone=False, informs=False, v1_sink=False):
        """snmpd.conf, or with standalone the host's own file in the same syntax. informs:
        the sink is an informsink over UDP instead of a trap2sink over TCP. v1_sink: every
        trap also goes to snmptrapd as SNMPv1 (a "V1TRAP" line with its time stamp)."""
        self.state["mode"] = "standalone" if standalone else "agentx"
        self.state.setdefault("agent_port", free_udp_port())
        # Traps travel over TCP: a burst over UDP loses packets in the receiver's buffer.
        # snmpd connects to the sink when it starts, so snmptrapd has to run first.
        # Informs go over UDP: the sender retries each until it is acknowledged.
        self.state.setdefault("trap_port", free_udp_port() if informs else free_tcp_port())
        self.state["trap_transport"] = "udp" if informs else "tcp"
        os.makedirs(self.path("persist"), exist_ok=True)
        with open(self.path("snmpext-host.conf" if standalone else "snmpd.conf"), "w") as f:
            f.write("agentAddress udp:127.0.0.1:%d\n" % self.state["agent_port"])
            if not standalone:
                f.write("master agentx\nagentXSocket %s\nagentXPerms 0600 0700\n" % self.path("agentx.sock"))
                # An extension agent may hold a request while it rebuilds its MIB; snmpd's own
                # wait for a subagent (1 s, 5 retries) ignores the timeout the subagent registers.
                f.write("agentxTimeout 60\n")
            f.write("rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n")
            f.write("view fwonly included .1.3.6.1.4.1.99999\nrocommunity narrow 127.0.0.1 -V fwonly\n")
            f.write('createUser fwuser SHA "fwauthpass" AES "fwprivpass"\nrwuser fwuser priv\n')
            if informs:
                f.write("informsink udp:127.0.0.1:%d public\n" % self.state["trap_port"])
            else:
                f.write("trap2sink tcp:127.0.0.1:%d public\n" % self.state["trap_port"])
            if v1_sink:
                f.write("trapsink %s:127.0.0.1:%d public\n" % (self.state["trap_transport"], self.state["trap_port"]))
        with open(self.path("snmptrapd.conf"), "w") as f:
            f.write("disableAuthorization yes\n")
            # One line a trap; an SNMPv1 trap has no sysUpTime.0 varbind, so its time-stamp
            # field (%T) leads the line.
            f.write("format2 TRAP %v\\n\nformat1 V1TRAP %T %N %v\\n\n")
        self.save()

    def _spawn(self, name, argv, log):
        with open(self.path(log), "wb") as out:
            proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=self.env(),
                                    start_new_session=True)
        self.state[name] = proc.pid
        self.save()
        return proc

    def start_snmpd(self):
        if os.path.exists(self.path("agentx.sock")):
            os.unlink(self.path("agentx.sock"))
        proc = self._spawn("snmpd", ["snmpd", "-f", "-C", "-c", self.path("snmpd.conf"), "-Lf", self.path("snmpd.log")],
                           "snmpd.out")
        wait_until(lambda: os.path.exists(self.path("agentx.sock")), 10, "snmpd's AgentX socket")
        return proc

    def start_snmptrapd(self):
        names = [] if self.state.get("mibs") else ["-On"]
        proc = self._spawn("snmptrapd", ["snmptrapd", "-f", "-X", "-C", "-c", self.path("snmptrapd.conf")] + names +
                                        ["-Lf", self.path("traps.log"),
                                         "%s:127.0.0.1:%d" % (self.state.get("trap_transport", "tcp"),
                                                              self.state["trap_port"])], "snmptrapd.out")
        time.sleep(0.3)
        return proc

    def start_host(self, host_bin, agents, extra=()):
        if self.standalone:
            argv = [host_bin, "--standalone", "--config", self.path("snmpext-host.conf")]
        else:
            argv = [host_bin, "--agentx-socket", self.path("agentx.sock"), "--ping-interval", "1"]
        for agent in agents:
            argv += ["--agent", agent]
        argv += list(extra)
        # Its traps' sysUpTime.0 counts from here (the host takes its reference at start).
        self.state["host_started"] = time.time()
        proc = self._spawn("host", argv, "host.log")
        wait_until(lambda: re.search(r"serving \d+ agents", self.read("host.log")), 10, "the host to serve")
        return proc

    def read(self, name):
        try:
            with open(self.path(name), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self, name, timeout=10):
        pid = self.state.pop(name, None)
        self.save()
        if not pid:
            return None
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            return None
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done == pid:
                    return os.waitstatus_to_exitcode(status)
            except ChildProcessError:  # not our child (the CLI's stop): watch it go
                if not pid_alive(pid):
                    return 0
            time.sleep(0.05)
        os.kill(pid, signal.SIGKILL)
        return -9

    def stop_all(self):
        for name in ("host", "snmptrapd", "snmpd"):
            self.stop(name)

    def tool(self, tool, *args, version="2c", community="public"):
        creds = V3_USER if version == "3" else ["-v", version, "-c", community]
        cmd = [tool] + creds + ["-On", "-t", "2", "-r", "1", self.target] + list(args)
        return subprocess.run(cmd, capture_output=True, text=True, env=self.env(), timeout=120)


def clock(epoch):
    return time.strftime("%H:%M:%S", time.localtime(epoch)) + ".%02d" % (epoch * 100 % 100)


def print_stamps(lab, match=None):
    """The host's start as clock time; with match, each SNMPv2 trap of traps.log that matches,
    with the clock time its sysUpTime.0 (hundredths since the host's start) stands for."""
    started = lab.state["host_started"]
    if match is None:
        print("snmpext-host started at %s: the sysUpTime.0 of its traps counts hundredths of a second from there"
              % clock(started))
        return
    for line in lab.read("traps.log").splitlines():
        m = re.search(r"^TRAP \S+ = Timeticks: \((\d+)\)[^\t]*\t[^\t]*= OID: (?:[\w-]+::)?(\S+)", line)
        if m and re.search(match, line):
            ticks = int(m.group(1))
            print("%-28s sysUpTime.0 %.2f s after the host's start: raised at %s" %
                  (m.group(2), ticks / 100, clock(started + ticks / 100)))


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def wait_until(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise TimeoutError("timed out waiting for " + what)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["start", "stop", "stamps"])
    parser.add_argument("dir")
    parser.add_argument("--host", default="build/linux/bin/snmpext-host")
    parser.add_argument("--agent", action="append", default=[],
                        help="an extension agent; none: those the registry lists")
    parser.add_argument("--mib-dirs", help="MIB directories for snmptrapd's names (colon-separated)")
    parser.add_argument("--mibs", help="MIB modules for snmptrapd's names")
    parser.add_argument("--standalone", action="store_true", help="the host as the SNMP agent, without snmpd")
    parser.add_argument("--match", help="stamps: the traps whose lines match this regular expression")
    parser.add_argument("--v1-sink", action="store_true", help="every trap also as SNMPv1 (V1TRAP lines)")
    args = parser.parse_args()
    lab = Lab(args.dir)
    if args.command == "stop":
        lab.stop_all()
        return 0
    if args.command == "stamps":
        if "host_started" not in lab.state:
            print("no host was started in %s" % args.dir, file=sys.stderr)
            return 1
        print_stamps(lab, args.match)
        return 0
    if args.mibs:
        dirs = ":".join(os.path.abspath(d) for d in (args.mib_dirs or ".").split(":"))
        lab.state.update({"mibdirs": dirs, "mibs": args.mibs})
    lab.write_config(standalone=args.standalone, v1_sink=args.v1_sink)
    lab.start_snmptrapd()  # first: the agent connects to its TCP sink at start
    if not args.standalone:
        lab.start_snmpd()
    lab.start_host(os.path.abspath(args.host), [os.path.abspath(a) for a in args.agent])
    print("%s on udp:%s, traps to %s/traps.log, host log %s/host.log" %
          ("snmpext-host" if args.standalone else "snmpd", lab.target, lab.dir, lab.dir))
    print("try: MIBS= snmpwalk -v2c -c public -On %s .1.3.6.1.4.1" % lab.target)
    print("stop: %s stop %s" % (sys.argv[0], args.dir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
