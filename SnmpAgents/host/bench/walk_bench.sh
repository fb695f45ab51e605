#!/usr/bin/env bash
# Bulkwalk of 10,000 objects through snmpd: the host with the test agent against a plain
# AgentX subagent serving the same objects. Prints both labs' ports; the timing itself
# is done by the caller, e.g.:
#   SnmpAgents/host/bench/walk_bench.sh start build/linux /tmp/walkbench
#   time snmpbulkwalk -v2c -c public -Cr50 127.0.0.1:PORT .1.3.6.1.4.1.99999.2.3
#   SnmpAgents/host/bench/walk_bench.sh stop build/linux /tmp/walkbench
set -euo pipefail
cmd=$1 build=$(realpath "$2") dir=$3
lab=$(dirname "$0")/../../../scripts/snmp_lab.py
rows=${ROWS:-10000}
if [ "$cmd" = stop ]; then
  python3 "$lab" stop "$dir/host"
  [ -f "$dir/plain.pid" ] && kill "$(cat "$dir/plain.pid")" 2>/dev/null || true
  python3 "$lab" stop "$dir/plain"
  exit 0
fi
mkdir -p "$dir"
FW_TEST_AGENT_ROWS=$rows python3 "$lab" start "$dir/host" --host "$build/bin/snmpext-host" \
  --agent "$build/lib/test_extension_agent.so"
python3 - "$lab" "$dir/plain" <<'PY'
import sys, importlib.util
spec = importlib.util.spec_from_file_location("snmp_lab", sys.argv[1]); lab = importlib.util.module_from_spec(spec)
spec.loader.exec_module(lab)
l = lab.Lab(sys.argv[2]); l.write_config(); l.start_snmpd(); print("plain lab on", l.target)
PY
MIBS= setsid "$build/bin/plain_subagent" "$dir/plain/agentx.sock" "$rows" >"$dir/plain.log" 2>&1 &
echo $! >"$dir/plain.pid"
sleep 1
