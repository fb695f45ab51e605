#!/usr/bin/env python3
"""Writes the large benchmark scenario: 64 nodes, 2,000 groups, 10,000 resources.

usage: generate-large.py OUTPUT [NODES GROUPS RESOURCES]
"""
import json
import sys


def main():
    if len(sys.argv) not in (2, 5):
        sys.exit(__doc__)
    out = sys.argv[1]
    nodes, groups, resources = (64, 2000, 10000) if len(sys.argv) == 2 else map(int, sys.argv[2:])
    node_names = [f"NODE{n:02d}" for n in range(1, nodes + 1)]
    scenario = {
        "cluster": {"name": "BIGCLUSTER", "version": {"major": 4, "minor": 0, "build": 1381}},
        "nodes": [{"name": n} for n in node_names],
        "networks": [
            {"name": "Public", "role": 3, "address": "10.0.0.0", "addressMask": "255.255.0.0"},
            {"name": "Private", "role": 1, "address": "10.1.0.0", "addressMask": "255.255.0.0"},
        ],
        "netinterfaces": [],
        "resourceTypes": [{"name": t, "dll": "clusres.dll"}
                          for t in ("IP Address", "Network Name", "Physical Disk", "File Share", "Generic Service")],
        "groups": [],
        "resources": [],
    }
    for i, n in enumerate(node_names):
        for net, base in (("Public", 0), ("Private", 1)):
            scenario["netinterfaces"].append({
                "name": f"{n} - {net}", "node": n, "network": net,
                "address": f"10.{base}.{i // 250}.{i % 250 + 1}", "adapter": f"eth{base}",
                "adapterId": f"{{{i:08X}-{base:04X}-4000-8000-000000000000}}"})
    types = ["IP Address", "Network Name", "Physical Disk", "File Share", "Generic Service"]
    per_group = resources // groups
    for g in range(groups):
        owner = node_names[g % nodes]
        scenario["groups"].append({
            "name": f"Group {g:04d}", "owner": owner,
            "preferredOwners": [owner, node_names[(g + 1) % nodes]]})
    for r in range(resources):
        g = min(r // per_group, groups - 1)
        kind = types[r % len(types)]
        resource = {"name": f"Resource {r:05d}", "group": f"Group {g:04d}", "type": kind}
        if kind == "IP Address":
            resource["private"] = {"Address": f"10.0.{100 + r // 250 % 100}.{r % 250 + 1}",
                                   "SubnetMask": "255.255.0.0", "Network": "Public"}
        elif kind == "Network Name":
            resource["dependsOn"] = [f"Resource {r - 1:05d}"]
            resource["private"] = {"Name": f"VS{r:05d}"}
        scenario["resources"].append(resource)
    scenario["quorum"] = {"resource": "Resource 00002", "device": "Q:\\MSCS\\"}
    with open(out, "w", encoding="utf-8") as f:
        json.dump(scenario, f, ensure_ascii=False, indent=0)


if __name__ == "__main__":
    main()
