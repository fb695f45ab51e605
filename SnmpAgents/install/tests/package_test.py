"""The Debian package as an operator meets it: build it, install it into the system with
apt-get, run the installed units' commands by hand (there may be no systemd), put snmpd in
front as AgentX master, walk the cluster MIB by name with the installed module, take a node
down, then purge the package and check that nothing of it is left: no file, no process.

It changes the system it runs on, so it runs only with FW_PACKAGE_TEST=1 (as root)."""
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import snmp_lab  # noqa: E402

BUILD = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build", "linux"))
PACKAGE = "ferrowind-mib"
UNIT_DIR = "/lib/systemd/system"
# In the order systemd starts them (the host is After= the other two).
UNITS = ("clussimd.service", "mgtcore.service", "snmpext-host.service")
DEFAULTS = "/etc/default/ferrowind"
STATE = "/var/lib/ferrowind"
RUNTIME = "/run/ferrowind"
SNMPD_SNIPPET = "/usr/share/ferrowind/snmpd-ferrowind.conf"
MIB_ARGS = ["-M", "+/usr/share/ferrowind/mibs/base", "-m", "VNK-NT-CLUSTER-MIB"]
SYSTEMD_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]


def read_unit(path):
    """The [Service] settings of a unit file, each key with its values in order."""
    settings, section = {}, None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]":
                key, _, value = line.partition("=")
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def read_environment_file(path):
    env = {}
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            key, _, value = line.partition("=")
            words = shlex.split(value)
            env[key.strip()] = " ".join(words)
    return env


def unit_environment(settings):
    """The environment systemd gives the unit's commands: Environment= lines, then the
    EnvironmentFile= files (a leading '-' means the file may be missing)."""
    env = {"PATH": SYSTEMD_PATH, "LANG": "C.UTF-8"}
    for line in settings.get("Environment", []):
        for assignment in shlex.split(line):
            key, _, value = assignment.partition("=")
            env[key] = value
    for line in settings.get("EnvironmentFile", []):
        optional = line.startswith("-")
        path = line.lstrip("-")
        if optional and not os.path.exists(path):
            continue
        env.update(read_environment_file(path))
    return env


def command_line(line, env):
    """An Exec line as systemd runs it: prefixes dropped, "$NAME" as a word splits into
    words, "${NAME}" is replaced inside a word."""
    line = line.lstrip("-@:+!")
    argv = []
    for word in shlex.split(line):
        whole = re.fullmatch(r"\$(\w+)", word)
        if whole:
            argv.extend(env.get(whole.group(1), "").split())
            continue
        argv.append(re.sub(r"\$\{(\w+)\}", lambda m: env.get(m.group(1), ""), word))
    return argv


def operator_environment():
    """What an operator's shell has after sourcing the package's defaults."""
    env = dict(os.environ, MIBS="")
    env.update(read_environment_file(DEFAULTS))
    return env


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=kwargs.pop("timeout", 300), **kwargs)


def processes_running_from(paths):
    found = []
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            target = os.readlink(exe)
        except OSError:
            continue
        if target.removesuffix(" (deleted)") in paths:
            found.append((exe.split("/")[2], target))
    return found


@unittest.skipUnless(os.environ.get("FW_PACKAGE_TEST") == "1", "changes the system: set FW_PACKAGE_TEST=1")
class InstalledPackage(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("installs into the system: needs root")
        if run(["dpkg-query", "-W", PACKAGE]).returncode == 0 or os.path.exists(STATE):
            raise RuntimeError("%s is installed here already (or %s is left from it): purge it first"
                               % (PACKAGE, STATE))
        cls.work = tempfile.mkdtemp(prefix="fw-deb-")
        cls.procs = {}
        cls.installed = False
        try:
            cls.deb = cls.build_package()
            cls.install()
            # What the package owns besides directories (and /lib, a link to a directory).
            cls.files = [p for p in run(["dpkg-query", "-L", PACKAGE]).stdout.splitlines()
                         if os.path.lexists(p) and not os.path.isdir(p)]
            cls.start_units()
        except BaseException:
            cls.print_logs()
            cls.tearDownClass()
            raise

    @classmethod
    def print_logs(cls):
        for log in sorted(glob.glob(os.path.join(cls.work, "*.log"))):
            with open(log, errors="replace") as f:
                sys.stderr.write("--- %s (last lines)\n%s\n" % (os.path.basename(log), "".join(f.readlines()[-20:])))

    @classmethod
    def build_package(cls):
        out = os.path.join(cls.work, "package")
        result = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
                     cwd=BUILD, timeout=600)
        if result.returncode != 0:
            raise RuntimeError("cpack failed:\n" + result.stdout + result.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise RuntimeError("cpack made %r" % debs)
        return debs[0]

    @classmethod
    def install(cls):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        result = run(APT + ["install", os.path.abspath(cls.deb)], env=env)
        cls.installed = run(["dpkg-query", "-W", PACKAGE]).returncode == 0
        if result.returncode != 0:
            raise RuntimeError("apt-get install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def start_units(cls):
        cls.units = {name: read_unit(os.path.join(UNIT_DIR, name)) for name in UNITS}
        cls.envs = {name: unit_environment(settings) for name, settings in cls.units.items()}
        # Like a drop-in: the host attaches to this test's snmpd, not the system's socket.
        agentx = os.path.join(cls.work, "agentx", "master")
        cls.envs["snmpext-host.service"]["SNMPEXT_HOST_OPTS"] = "--agentx-socket " + agentx

        # The units starting together on first boot: their set-up steps run at once.
        pre = []
        for name in UNITS:
            for line in cls.units[name].get("ExecStartPre", []):
                pre.append(subprocess.Popen(command_line(line, cls.envs[name]), env=cls.envs[name],
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
        cls.setup_output = [(p.communicate(timeout=60)[0], p.returncode) for p in pre]

        cls.start("clussimd.service")
        cls.start("mgtcore.service")
        operator = operator_environment()
        snmp_lab.wait_until(lambda: run(["clussim", "status"], env=operator).returncode == 0, 20, "clussimd")
        snmp_lab.wait_until(lambda: os.path.exists(os.path.join(STATE, "run", "MgtCore.pid")), 20, "mgtcore")
        cls.start_snmpd(agentx)
        cls.start("snmpext-host.service")
        snmp_lab.wait_until(lambda: "INTEGER" in cls.snmp("snmpget", "vnkWpNodeNumber.0").stdout, 90,
                            "the cluster MIB through snmpd")

    @classmethod
    def start(cls, name):
        env = cls.envs[name]
        argv = command_line(cls.units[name]["ExecStart"][0], env)
        log = open(os.path.join(cls.work, name + ".log"), "w")
        cls.procs[name] = subprocess.Popen(argv, env=env, stdout=log, stderr=subprocess.STDOUT,
                                           stdin=subprocess.DEVNULL, start_new_session=True)
        log.close()

    @classmethod
    def start_snmpd(cls, agentx):
        os.makedirs(os.path.dirname(agentx))
        cls.port = snmp_lab.free_udp_port()
        conf = os.path.join(cls.work, "snmpd.conf")
        with open(conf, "w") as f:
            # Debian's stock settings and the package's snippet, on a private port and socket.
            f.write("agentAddress udp:127.0.0.1:%d\n" % cls.port)
            f.write("agentXSocket %s\nagentXPerms 0600 0700\n" % agentx)
            f.write("view systemonly included .1.3.6.1.2.1.1\n")
            f.write("rocommunity public 127.0.0.1 -V systemonly\n")
            f.write("includeFile %s\n" % SNMPD_SNIPPET)
        persist = os.path.join(cls.work, "persist")
        os.makedirs(persist)
        env = dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=persist, SNMPCONFPATH=cls.work)
        log = open(os.path.join(cls.work, "snmpd.log"), "w")
        cls.procs["snmpd"] = subprocess.Popen(["snmpd", "-f", "-Lo", "-C", "-c", conf], env=env, stdout=log,
                                              stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        snmp_lab.wait_until(lambda: os.path.exists(agentx), 10, "snmpd's AgentX socket")

    @classmethod
    def snmp(cls, tool, *args):
        return run([tool] + MIB_ARGS + ["-v2c", "-c", "public", "127.0.0.1:%d" % cls.port] + list(args),
                   env=operator_environment(), timeout=120)

    @classmethod
    def stop(cls, name, timeout=15):
        """As systemd stops a unit: its KillSignal, then SIGKILL after TimeoutStopSec."""
        proc = cls.procs.pop(name, None)
        if proc is None or proc.poll() is not None:
            return proc.returncode if proc else None
        proc.send_signal(signal.SIGTERM)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return None

    @classmethod
    def tearDownClass(cls):
        cls.exit_codes = {name: cls.stop(name) for name in ("snmpext-host.service", "snmpd", "mgtcore.service",
                                                            "clussimd.service") if name in cls.procs}
        if cls.installed:
            run(APT + ["purge", PACKAGE], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        shutil.rmtree(cls.work, ignore_errors=True)

    # --- the package itself

    def test_package_declares_its_libraries_and_conffiles(self):
        control = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        for library in ("libsnmp40", "libsqlite3-0", "libstdc++6"):
            self.assertIn(library, control)
        conffiles = run(["dpkg-query", "--showformat=${Conffiles}", "-W", PACKAGE]).stdout
        for path in (DEFAULTS, "/etc/ferrowind/TrapTable.ini"):
            self.assertIn(path, conffiles)
        self.assertIn("/usr/share/snmp/mibs/VNK-NT-CLUSTER-MIB.txt", self.files)
        # The stand-in base modules must not take the names the real IETF modules use.
        self.assertFalse([p for p in self.files if re.match(r"/usr/share/snmp/mibs/.*SNMPv2-", p)])

    def test_first_start_seeds_once_even_when_units_start_together(self):
        for output, code in self.setup_output:
            self.assertEqual(code, 0, output)
        seeded = sum(output.count("seeded the registry") for output, _ in self.setup_output)
        self.assertEqual(seeded, 1, self.setup_output)
        # The next start finds the tree and leaves an operator's change alone.
        env = operator_environment()
        key = r"HKLM\SOFTWARE\Morvasten\Ferrowind_MIB\Parameters"
        before = run(["winreg", "query", key, "/v", "Notification Filter"], env=env).stdout
        run(["winreg", "add", key, "/v", "Operator", "/d", "kept", "/f"], env=env)
        setup = self.units["mgtcore.service"]["ExecStartPre"][0]
        again = run(command_line(setup, self.envs["mgtcore.service"]), env=self.envs["mgtcore.service"])
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertNotIn("seeded", again.stdout)
        self.assertIn("kept", run(["winreg", "query", key, "/v", "Operator"], env=env).stdout)
        self.assertEqual(before, run(["winreg", "query", key, "/v", "Notification Filter"], env=env).stdout)

    def test_runtime_files_live_under_run(self):
        self.assertEqual(os.path.realpath(os.path.join(STATE, "run")), RUNTIME)
        for name in ("clussvc.sock", "clussim.sock", "MgtCore.sock", "MgtCore.pid", "ClusSvc.pid"):
            self.assertTrue(os.path.exists(os.path.join(RUNTIME, name)), name)
        self.assertTrue(os.path.exists(os.path.join(STATE, "registry.db")))

    # --- the agent through snmpd, by name

    def test_walk_shows_the_cluster_by_name(self):
        walk = self.snmp("snmpwalk", "vnkWpCluster")
        self.assertEqual(walk.returncode, 0, walk.stderr)
        # Names and display hints come from the installed module, not numeric OIDs.
        self.assertIn("VNK-NT-CLUSTER-MIB::vnkWpClusterName.0 = STRING: FSCLUSTER\n", walk.stdout)
        self.assertIn("VNK-NT-CLUSTER-MIB::vnkWpClusterQuorumResourceMaxLog.0 = INTEGER: 4194304 bytes", walk.stdout)
        nodes = self.snmp("snmpwalk", "vnkWpNodeName")
        self.assertEqual(nodes.stdout, "VNK-NT-CLUSTER-MIB::vnkWpNodeName.1 = STRING: FS-NODE1\n"
                                       "VNK-NT-CLUSTER-MIB::vnkWpNodeName.2 = STRING: FS-NODE2\n")

    def test_node_down_reaches_the_mib_and_the_event_log(self):
        env = operator_environment()
        result = run(["clussim", "node", "down", "FS-NODE2"], env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        snmp_lab.wait_until(lambda: "down(3)" in self.snmp("snmpget", "vnkWpNodeState.2").stdout, 60,
                            "vnkWpNodeState.2 = down(3)")
        # The text comes from the installed messages library that the seed registers.
        snmp_lab.wait_until(lambda: "Cluster node FS-NODE2 is down" in run(["evtlog"], env=env).stdout, 30,
                            "the node-down entry in the event log")
        run(["clussim", "node", "up", "FS-NODE2"], env=env)


class ZzRemoval(unittest.TestCase):
    """Runs after the class above has purged the package (unittest sorts classes by name)."""

    @unittest.skipUnless(os.environ.get("FW_PACKAGE_TEST") == "1" and os.geteuid() == 0, "nothing was installed")
    def test_purge_leaves_no_files_and_no_processes(self):
        if not hasattr(InstalledPackage, "files"):
            self.skipTest("the package was not installed")
        self.assertNotEqual(run(["dpkg-query", "-W", PACKAGE]).returncode, 0)
        self.assertEqual([p for p in InstalledPackage.files if os.path.lexists(p)], [])
        self.assertFalse(os.path.lexists(STATE))
        self.assertFalse(os.path.lexists(RUNTIME))
        self.assertFalse(os.path.lexists(InstalledPackage.work))
        self.assertEqual(processes_running_from(set(InstalledPackage.files)), [])
        # Each daemon ended on SIGTERM by itself, as systemd expects.
        self.assertEqual(InstalledPackage.exit_codes.get("snmpext-host.service"), 0, InstalledPackage.exit_codes)
        self.assertEqual(InstalledPackage.exit_codes.get("mgtcore.service"), 0, InstalledPackage.exit_codes)


if __name__ == "__main__":
    if os.environ.get("FW_PACKAGE_TEST") != "1":
        print("package_install: skipped (changes the system; set FW_PACKAGE_TEST=1 to run it)")
        sys.exit(77)
    unittest.main(verbosity=2)
