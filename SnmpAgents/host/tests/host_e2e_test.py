"""snmpext-host end to end, in both of its modes: as an AgentX subagent of snmpd, and as a
standalone agent; snmptrapd and the host with the test agent, driven by net-snmp's own tools.
Both modes run the same tests and must give the same results."""
import os
import random
import re
import socket
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts"))
import snmp_lab  # noqa: E402

HOST = os.environ["HOST_BIN"]
AGENT = os.environ["TEST_AGENT"]
LACKING = os.environ["LACKING_AGENT"]
WORK = os.environ.get("E2E_WORK", "/tmp/host_e2e")
BASE = ".1.3.6.1.4.1.99999"
FAULTS = ".1.3.6.1.4.1.99997"

# Every object of the test agent, in walk order.
EXPECTED_WALK = [
    (BASE + ".1.1.0", "INTEGER: -5"),
    (BASE + ".1.2.0", 'STRING: "hello"'),
    (BASE + ".1.3.0", "OID: .1.3.6.1.4.1.99999"),
    (BASE + ".1.4.0", "IpAddress: 10.1.2.3"),
    (BASE + ".1.5.0", "Counter32: 4000000000"),
    (BASE + ".1.6.0", "Gauge32: 42"),
    (BASE + ".1.7.0", "Timeticks: (12345) 0:02:03.45"),
    (BASE + ".1.8.0", "OPAQUE: 01 02"),
    (BASE + ".1.9.0", "Counter64: 1099511627777"),
    (BASE + ".1.10.0", "INTEGER: 7"),
    (BASE + ".1.11.0", 'STRING: "abc"'),
    (BASE + ".1.20.1.2.1", 'STRING: "row1"'),
    (BASE + ".1.20.1.2.2", 'STRING: "row2"'),
    (BASE + ".1.20.1.2.3", 'STRING: "row3"'),
    (BASE + ".1.20.1.3.1", "INTEGER: 10"),
    (BASE + ".1.20.1.3.2", "INTEGER: 20"),
    (BASE + ".1.20.1.3.3", "INTEGER: 30"),
    (BASE + ".1.30.0", "INTEGER: 0"),
    (BASE + ".1.32.0", "INTEGER: 0"),
    (BASE + ".1.33.0", "INTEGER: 0"),
    (BASE + ".1.50.4294967295", "INTEGER: 1"),
    (BASE + ".1.4294967295.4294967295", "INTEGER: 2"),
    (BASE + ".2.1.0", "INTEGER: 2"),
]


WRITABLE = {BASE + ".1.%d.0" % n for n in (10, 11, 30, 32, 33)}


def parse(output):
    pairs = []
    for line in output.strip().splitlines():
        name, _, value = line.partition(" = ")
        pairs.append((name.strip(), value.strip()))
    return pairs


def ber(tag, body):
    n = len(body)
    if n < 0x80:
        return bytes([tag, n]) + body
    length = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + body


def ber_int(value):
    return ber(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


def ber_oid(text):
    ids = [int(x) for x in text.strip(".").split(".")]
    body = bytes([40 * ids[0] + ids[1]])
    for sub in ids[2:]:
        chunk = [sub & 0x7F]
        sub >>= 7
        while sub:
            chunk.insert(0, 0x80 | (sub & 0x7F))
            sub >>= 7
        body += bytes(chunk)
    return ber(0x06, body)


def snmp_message(version, community, pdu_tag, names, a=0, b=0, reqid=1):
    varbinds = b"".join(ber(0x30, ber_oid(n) + b"\x05\x00") for n in names)
    pdu = ber(pdu_tag, ber_int(reqid) + ber_int(a) + ber_int(b) + ber(0x30, varbinds))
    return ber(0x30, ber_int(version) + ber(0x04, community) + pdu)


def bad_messages(rng):
    """Malformed, mutated, wrong-version, unknown-community and oversized requests."""
    valid = [snmp_message(1, b"public", 0xA0, [BASE + ".1.1.0"]),
             snmp_message(1, b"public", 0xA5, [BASE + ".1", BASE + ".2"], 1, 10),
             snmp_message(0, b"private", 0xA3, [BASE + ".1.10.0"])]
    yield rng.randbytes(rng.randint(0, 1500))
    base = rng.choice(valid)
    mutated = bytearray(base)
    for _ in range(rng.randint(1, 6)):
        mutated[rng.randrange(len(mutated))] = rng.randrange(256)
    yield bytes(mutated)
    yield base[:rng.randrange(len(base))]
    yield base + rng.randbytes(rng.randint(1, 64))
    yield snmp_message(rng.choice([2, 3, 7, -1, 2 ** 31]), b"public", 0xA0, [BASE + ".1.1.0"])
    yield snmp_message(1, rng.randbytes(rng.randint(0, 40)), rng.choice([0xA0, 0xA1, 0xA3, 0xA5]), [BASE])
    yield snmp_message(1, b"public", 0xA5, [BASE] * rng.randint(1, 50), rng.choice([-5, 0, 2 ** 31 - 1]),
                       rng.choice([-1, 2 ** 31 - 1, 65535]))
    yield snmp_message(1, b"public", 0xA0, [BASE + ".1.%d.0" % rng.randint(1, 60) for _ in range(1500)])
    yield snmp_message(1, b"private", 0xA3, [BASE + ".1.%d.0" % (2 ** 32 - 1)] * 300)
    yield b"\x30\x84\xff\xff\xff\xff" + rng.randbytes(32)  # a length of 4 GB
    yield b"\x30\x80" * 300  # nested indefinite lengths
    yield rng.randbytes(60000)


def fuzz(port, seconds, seed=None):
    """Sends bad input to the agent's UDP port for a bounded time; the number of datagrams."""
    seed = seed if seed is not None else random.randrange(2 ** 32)
    rng = random.Random(seed)
    sent = 0
    deadline = time.time() + seconds
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setblocking(False)
        while time.time() < deadline:
            for message in bad_messages(rng):
                try:
                    sock.sendto(message, ("127.0.0.1", port))
                    sent += 1
                except (BlockingIOError, OSError):
                    time.sleep(0.001)
            try:
                while sock.recv(65535):
                    pass
            except (BlockingIOError, OSError):
                pass
    print("fuzz seed %d: %d datagrams" % (seed, sent), file=sys.stderr)
    return sent


def trap_sequences(lab):
    """The sequence numbers of the test agent's traps as they arrived (the SNMPv2 forms)."""
    return [int(m) for m in re.findall(r"^TRAP .*?99999\.1\.31\.0 = INTEGER: (\d+)", lab.read("traps.log"), re.M)]


def trap_stamps(lab, sequence):
    """A test agent trap's sysUpTime.0 and its SNMPv1 time stamp, each None until it arrived."""
    log = lab.read("traps.log")
    tail = r" .*?99999\.1\.31\.0 = INTEGER: %d\b" % sequence
    v2c = re.search(r"^TRAP \.1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks: \((\d+)\)" + tail, log, re.M)
    v1 = re.search(r"^V1TRAP (\d+)" + tail, log, re.M)
    return tuple(int(m.group(1)) if m else None for m in (v2c, v1))


def start_lab(work, standalone, agents, informs=False, trapd=True, v1_sink=False):
    shutil.rmtree(work, ignore_errors=True)
    lab = snmp_lab.Lab(work)
    lab.write_config(standalone=standalone, informs=informs, v1_sink=v1_sink)
    try:
        if trapd:
            lab.start_snmptrapd()
        if not standalone:
            lab.start_snmpd()
        # The host takes its time-zero reference in between: its traps' stamps lie within
        # the ages the host has by these two clocks.
        lab.host_spawned = time.monotonic()
        lab.start_host(HOST, agents)
        lab.host_serving = time.monotonic()
    except Exception:
        lab.stop_all()
        raise
    return lab


class HostBehaviour:
    """The tests of both modes; STANDALONE is set by the mode's class."""
    STANDALONE = False

    @classmethod
    def setUpClass(cls):
        cls.work = WORK + ("-standalone" if cls.STANDALONE else "-agentx")
        cls.lab = start_lab(cls.work, cls.STANDALONE, [AGENT], v1_sink=True)
        snmp_lab.wait_until(lambda: cls.lab.tool("snmpget", BASE + ".1.1.0").returncode == 0, 10, "the first answer")

    @classmethod
    def tearDownClass(cls):
        cls.lab.stop_all()

    def walk(self, tool, root, version="2c"):
        result = self.lab.tool(tool, root, version=version)
        self.assertEqual(result.returncode, 0, result.stderr)
        return parse(result.stdout)

    def assertStampWithin(self, stamp, earliest, latest):
        """A stamp in hundredths for an event between two monotonic instants."""
        low = int((earliest - self.lab.host_serving) * 100) - 2
        high = int((latest - self.lab.host_spawned) * 100) + 2
        self.assertTrue(low <= stamp <= high, "stamp %d outside the host's age [%d, %d]" % (stamp, low, high))

    def test_get_returns_every_type(self):
        names = [name for name, _ in EXPECTED_WALK[:11]]
        result = self.lab.tool("snmpget", *names)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(parse(result.stdout), EXPECTED_WALK[:11])

    def test_missing_objects_are_exceptions(self):
        result = self.lab.tool("snmpget", BASE + ".1.99.0", BASE + ".1.1.0")
        self.assertIn("No Such Object", result.stdout)
        self.assertIn("INTEGER: -5", result.stdout)

    def test_walks_return_exactly_the_agent_objects_in_order(self):
        for tool, version in (("snmpwalk", "2c"), ("snmpbulkwalk", "2c"), ("snmpwalk", "3"), ("snmpbulkwalk", "3"),
                              ("snmpwalk", "1")):
            with self.subTest(tool=tool, version=version):
                walked = self.walk(tool, BASE, version)
                expected = EXPECTED_WALK if version != "1" else [p for p in EXPECTED_WALK if "Counter64" not in p[1]]
                # Other tests write the read-write objects: their values may differ.
                self.assertEqual([name for name, _ in walked], [name for name, _ in expected])
                fixed = [p for p in expected if p[0] not in WRITABLE]
                self.assertEqual([p for p in walked if p[0] not in WRITABLE], fixed)

    def test_getnext_leaves_the_regions_for_the_rest_of_the_tree(self):
        result = self.lab.tool("snmpgetnext", BASE + ".2.1.0", BASE + ".1.4294967295", BASE + ".1.4294967295.4294967295")
        pairs = parse(result.stdout)
        self.assertEqual(len(pairs), 3, result.stdout + result.stderr)
        self.assertFalse(pairs[0][0].startswith(BASE), pairs[0])
        self.assertEqual(pairs[1], (BASE + ".1.4294967295.4294967295", "INTEGER: 2"))
        self.assertEqual(pairs[2], (BASE + ".2.1.0", "INTEGER: 2"))

    def test_a_view_ends_after_the_agent_objects(self):
        # "narrow" sees only the test agent's objects: a walk gives exactly them, and the
        # end of the view is endOfMibView, for GETNEXT and GETBULK alike.
        for tool, extra in (("snmpwalk", ()), ("snmpbulkwalk", ("-Cr7",)), ("snmpbulkwalk", ("-Cr1000",))):
            with self.subTest(tool=tool, extra=extra):
                result = self.lab.tool(tool, *extra, BASE, community="narrow")
                self.assertEqual(result.returncode, 0, result.stderr)
                walked = parse(result.stdout)
                self.assertEqual([n for n, _ in walked[:-1]], [n for n, _ in EXPECTED_WALK])
                self.assertEqual(walked[-1][0], EXPECTED_WALK[-1][0])
                self.assertTrue(walked[-1][1].startswith("No more variables left in this MIB View"), walked[-1])
        for tool, extra in (("snmpgetnext", ()), ("snmpbulkget", ("-Cr3",))):
            with self.subTest(tool=tool):
                result = self.lab.tool(tool, *extra, BASE + ".2.1.0", community="narrow")
                self.assertEqual(parse(result.stdout)[0][1].split(" (")[0], "No more variables left in this MIB View",
                                 result.stdout)

    def test_bulk_repetitions_cross_regions_and_stop_at_the_end(self):
        # Repetitions of two repeaters: one starts before a region boundary, one in the last
        # region; the rows must equal GETNEXT chains from the same names.
        starts = [BASE + ".1.50", BASE + ".2"]
        bulk = parse(self.lab.tool("snmpbulkget", "-Cn0", "-Cr4", *starts, community="narrow").stdout)
        chains = {start: [] for start in starts}
        for start in starts:
            name = start
            for _ in range(4):
                pair = parse(self.lab.tool("snmpgetnext", name, community="narrow").stdout)[0]
                chains[start].append(pair)
                name = pair[0]
        expected = [chains[s][i] for i in range(4) for s in starts]
        self.assertEqual(bulk, expected)

    def test_bulk_repetitions_after_a_slow_answer(self):
        # The agent takes 100 ms for the GETNEXT from FAULTS.5.0: the host answers it later,
        # and the repetitions after it must still follow.
        result = self.lab.tool("snmpbulkget", "-Cn0", "-Cr4", FAULTS + ".5.0")
        self.assertEqual(parse(result.stdout), [(FAULTS + ".6.0", "INTEGER: 6"), (FAULTS + ".7.0", "INTEGER: 7"),
                                                EXPECTED_WALK[0], EXPECTED_WALK[1]], result.stderr)

    def test_system_group_identifies_the_agent(self):
        result = self.lab.tool("snmpget", ".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.1.2.0", ".1.3.6.1.2.1.1.3.0")
        pairs = parse(result.stdout)
        self.assertEqual([n for n, _ in pairs], [".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.1.2.0", ".1.3.6.1.2.1.1.3.0"],
                         result.stdout + result.stderr)
        self.assertTrue(pairs[0][1].startswith("STRING:"), pairs[0])
        self.assertTrue(pairs[1][1].startswith("OID: .1.3.6.1.4.1."), pairs[1])
        self.assertTrue(pairs[2][1].startswith("Timeticks:"), pairs[2])
        if self.STANDALONE:
            self.assertIn("snmpext-host", pairs[0][1])

    def test_sets(self):
        ok = self.lab.tool("snmpset", BASE + ".1.11.0", "s", "written", community="private")
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertIn('STRING: "written"', self.lab.tool("snmpget", BASE + ".1.11.0").stdout)
        cases = [("2c", "notWritable"), ("1", "noSuchName")]
        for version, error in cases:
            with self.subTest(version=version):
                refused = self.lab.tool("snmpset", BASE + ".1.1.0", "i", "1", version=version, community="private")
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(error, refused.stdout + refused.stderr)
        wrong = self.lab.tool("snmpset", BASE + ".1.10.0", "s", "text", community="private")
        self.assertIn("wrongValue", wrong.stdout + wrong.stderr)
        self.assertIn("INTEGER: 7", self.lab.tool("snmpget", BASE + ".1.10.0").stdout, "a refused SET changes nothing")

    def test_bad_answers_are_generr_and_logged(self):
        for oid, reason in ((".1.0", "malformed OID"), (".2.0", "answered 2 varbinds for 1"),
                            (".3.0", "agent returned FALSE")):
            with self.subTest(oid=oid):
                result = self.lab.tool("snmpget", FAULTS + oid)
                self.assertIn("genError", result.stdout + result.stderr)
                self.assertIn(reason, self.lab.read("host.log"))
        self.assertEqual(self.lab.tool("snmpget", BASE + ".1.1.0").returncode, 0, "the host still serves")

    def test_a_slow_answer_within_the_agentx_timeout_is_no_error(self):
        # Default client settings (1 s, 5 retries); the agent answers after 3 s.
        cmd = ["snmpget", "-v2c", "-c", "public", "-On", self.lab.target, FAULTS + ".4.0"]
        result = subprocess.run(cmd, capture_output=True, text=True, env=self.lab.env(), timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("INTEGER: 4", result.stdout)
        self.assertEqual(self.lab.tool("snmpget", BASE + ".1.1.0").returncode, 0, "the host is still registered")
        self.assertNotIn("failed to respond to ping", self.lab.read("host.log"))
        self.assertNotIn("Failure in sendto", self.lab.read("host.log"))

    def test_trap_burst_arrives_in_order_without_loss(self):
        before = trap_sequences(self.lab)
        start = max(before) if before else 0
        result = self.lab.tool("snmpset", BASE + ".1.30.0", "i", "1000", community="private")
        self.assertEqual(result.returncode, 0, result.stderr)
        snmp_lab.wait_until(lambda: len(trap_sequences(self.lab)) >= len(before) + 1000, 60, "1000 traps")
        time.sleep(0.5)
        got = trap_sequences(self.lab)[len(before):]
        self.assertEqual(got, list(range(start + 1, start + 1001)))
        line = [l for l in self.lab.read("traps.log").splitlines()
                if l.startswith("TRAP ") and "INTEGER: %d" % (start + 1) in l][0]
        self.assertIn(".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.99999.0.1", line)
        self.assertIn(".1.3.6.1.6.3.1.1.4.3.0 = OID: .1.3.6.1.4.1.99999", line)
        self.assertRegex(line, r"^TRAP \.1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks")

    def test_a_trap_stamp_counts_from_the_host_start_and_is_the_same_in_v1_and_v2c(self):
        sequence = max(trap_sequences(self.lab), default=0) + 1
        raised = time.monotonic()
        result = self.lab.tool("snmpset", BASE + ".1.30.0", "i", "1", community="private")
        self.assertEqual(result.returncode, 0, result.stderr)
        snmp_lab.wait_until(lambda: None not in trap_stamps(self.lab, sequence), 10, "both forms of the trap")
        received = time.monotonic()
        v2c, v1 = trap_stamps(self.lab, sequence)
        self.assertEqual(v1, v2c, "the SNMPv1 time stamp and sysUpTime.0 of one trap")
        self.assertStampWithin(v2c, raised, received)

    def test_generic_trap_uses_the_standard_notification(self):
        self.lab.tool("snmpset", BASE + ".1.32.0", "i", "3", community="private")
        snmp_lab.wait_until(lambda: ".1.3.6.1.6.3.1.1.5.4" in self.lab.read("traps.log"), 10, "linkUp")

    def test_bad_input_on_the_wire_is_refused_and_the_host_keeps_serving(self):
        sent = fuzz(self.lab.agent_port, seconds=3)
        self.assertGreater(sent, 100)
        # The requests that were well-formed (oversized ones among them) may take a while.
        snmp_lab.wait_until(lambda: "INTEGER: -5" in self.lab.tool("snmpget", BASE + ".1.1.0").stdout, 60,
                            "an answer after the fuzz run")
        self.assertEqual(self.walk("snmpbulkwalk", BASE + ".1.20")[0], EXPECTED_WALK[11])
        self.assertTrue(snmp_lab.pid_alive(self.lab.state["host"]))


class AgentxHost(HostBehaviour, unittest.TestCase):
    STANDALONE = False

    def test_zz_snmpd_restart_loses_nothing(self):
        before = len(trap_sequences(self.lab))
        first = max(trap_sequences(self.lab), default=0) + 1
        set_at = time.monotonic()
        self.assertEqual(self.lab.tool("snmpset", BASE + ".1.33.0", "i", "5", community="private").returncode, 0)
        self.lab.stop("snmpd")
        time.sleep(4)  # the agent raises its five traps while the master is away
        restarted_at = time.monotonic()
        self.lab.start_snmpd()
        snmp_lab.wait_until(lambda: self.lab.tool("snmpget", BASE + ".1.1.0").returncode == 0, 20, "reconnection")
        snmp_lab.wait_until(lambda: len(trap_sequences(self.lab)) >= before + 5, 20, "the queued traps")
        self.assertEqual(self.walk("snmpwalk", BASE + ".1.20")[0], EXPECTED_WALK[11])
        # Stamped when raised (3 s after the SET) by the host's clock: not when sent, and not
        # with the uptime of the new snmpd, which is younger than that.
        for sequence in range(first, first + 5):
            v2c, _ = trap_stamps(self.lab, sequence)
            self.assertIsNotNone(v2c, sequence)
            self.assertStampWithin(v2c, set_at + 3, restarted_at)


class StandaloneHost(HostBehaviour, unittest.TestCase):
    STANDALONE = True


class StandaloneInforms(unittest.TestCase):
    def test_informs_to_a_late_manager_are_retried_until_it_answers(self):
        lab = start_lab(WORK + "-informs", True, [AGENT], informs=True, trapd=False)
        try:
            result = lab.tool("snmpset", BASE + ".1.30.0", "i", "1000", community="private")
            self.assertEqual(result.returncode, 0, result.stderr)
            time.sleep(2)  # the manager is away while the burst is raised and first sent
            lab.start_snmptrapd()
            expected = set(range(1, 1001))
            snmp_lab.wait_until(lambda: set(trap_sequences(lab)) >= expected, 60, "1000 informs")
            self.assertEqual(set(trap_sequences(lab)), expected)
        finally:
            lab.stop_all()


class StandaloneConfiguration(unittest.TestCase):
    def run_host(self, config_text=None, config_name="snmpext-host.conf"):
        work = WORK + "-config"
        shutil.rmtree(work, ignore_errors=True)
        lab = snmp_lab.Lab(work)
        lab.write_config(standalone=True)
        if config_text is not None:
            with open(lab.path(config_name), "w") as f:
                f.write(config_text)
        argv = [HOST, "--standalone", "--config", lab.path(config_name), "--agent", AGENT]
        return subprocess.run(argv, capture_output=True, text=True, env=lab.env(), timeout=30)

    def test_bad_configurations_end_the_host_with_the_reason(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as busy:
            busy.bind(("127.0.0.1", 0))
            cases = [
                ("no file", None, "missing.conf", "cannot read the configuration"),
                ("unknown directive", "agentAddress udp:127.0.0.1:%d\nrocomunity public\n" % snmp_lab.free_udp_port(),
                 "snmpext-host.conf", "Unknown token: rocomunity"),
                ("bad view", "agentAddress udp:127.0.0.1:%d\nview all included\n" % snmp_lab.free_udp_port(),
                 "snmpext-host.conf", "has 1 errors"),
                ("port in use", "agentAddress udp:127.0.0.1:%d\n" % busy.getsockname()[1], "snmpext-host.conf",
                 "cannot listen on the agentAddress"),
            ]
            for label, text, name, reason in cases:
                with self.subTest(label):
                    result = self.run_host(text, name)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(reason, result.stderr)
        self.assertEqual(subprocess.run([HOST, "--standalone"], capture_output=True).returncode, 2)


class QueryTool(unittest.TestCase):
    def run_query(self, *args):
        env = dict(os.environ, WINAPI_STATE_DIR=WORK + "-query")
        return subprocess.run([os.environ["QUERY_BIN"], AGENT] + list(args), capture_output=True, text=True,
                              env=env, timeout=60)

    def test_walk_get_and_set_print_like_the_net_snmp_tools(self):
        walked = self.run_query("walk", BASE + ".1")
        self.assertEqual(walked.returncode, 0, walked.stderr)
        self.assertEqual(parse(walked.stdout), EXPECTED_WALK[:-1])
        refused = self.run_query("set", BASE + ".1.1.0", "i", "3")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("Reason: readOnly", refused.stderr)
        self.assertIn("Failed object: " + BASE + ".1.1.0", refused.stderr)
        bad = self.run_query("set", BASE + ".1.10.0", "q", "3")
        self.assertEqual(bad.returncode, 2)
        self.assertIn("unknown type letter", bad.stderr)


class BadPlugins(unittest.TestCase):
    def test_bad_plugins_are_skipped_with_a_reason(self):
        for standalone in (False, True):
            with self.subTest(standalone=standalone):
                lab = start_lab(WORK + "-bad", standalone, ["/no/such/agent.so", LACKING], trapd=False)
                try:
                    log = lab.read("host.log")
                    self.assertIn("cannot load /no/such/agent.so", log)
                    self.assertIn("lacks the export SnmpExtensionQuery", log)
                    self.assertEqual(lab.stop("host"), 0, "SIGTERM ends the host cleanly")
                    self.assertIn("stopped", lab.read("host.log"))
                finally:
                    lab.stop_all()


if __name__ == "__main__":
    unittest.main(verbosity=2)
