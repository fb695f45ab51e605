#!/usr/bin/env python3
"""Writes two CIB states of a large cluster for the benchmark: NODES nodes, GROUPS groups of
four Dummy primitives each, group j preferring node j % NODES + 1; OUT/before.xml with every
node up and every group running on its node, OUT/after.xml with node002 down and its groups
started on the next node. The status section is written as Pacemaker records it (one start
per running resource), since scheduling thousands of resources with crm_simulate takes far
too long.

usage: generate-large-cib.py NODES GROUPS OUT"""
import os
import sys


def node(i):
    return "node%03d" % i


def configuration(nodes, groups):
    out = ['<configuration><crm_config><cluster_property_set id="b">'
           '<nvpair id="b1" name="stonith-enabled" value="false"/>'
           '<nvpair id="b2" name="cluster-name" value="large"/>'
           '<nvpair id="b3" name="dc-version" value="2.1.5-a3f44794f94"/></cluster_property_set></crm_config><nodes>']
    out += ['<node id="%d" uname="%s"/>' % (i, node(i)) for i in range(1, nodes + 1)]
    out.append('</nodes><resources>')
    for j in range(groups):
        out.append('<group id="g%04d">' % j)
        for k in range(4):
            out.append('<primitive id="r%04d-%d" class="ocf" provider="pacemaker" type="Dummy"><operations>'
                       '<op id="r%04d-%d-m" name="monitor" interval="10s"/></operations></primitive>' % (j, k, j, k))
        out.append('</group>')
    out.append('</resources><constraints>')
    out += ['<rsc_location id="l%04d" rsc="g%04d" node="%s" score="100"/>' % (j, j, node(j % nodes + 1))
            for j in range(groups)]
    out.append('</constraints><rsc_defaults/><op_defaults/></configuration>')
    return "\n".join(out)


def start(rsc, call):
    return ('<lrm_resource id="%s" class="ocf" provider="pacemaker" type="Dummy">'
            '<lrm_rsc_op id="%s_last_0" operation_key="%s_start_0" operation="start" crm_feature_set="3.16.1" '
            'transition-key="1:1:0:00000000-0000-0000-0000-000000000000" '
            'transition-magic="0:0;1:1:0:00000000-0000-0000-0000-000000000000" exit-reason="" call-id="%d" '
            'rc-code="0" op-status="0" interval="0" last-rc-change="1700000000" exec-time="0" queue-time="0"/>'
            '</lrm_resource>' % (rsc, rsc, rsc, call))


def status(nodes, groups, down):
    running = {i: [] for i in range(1, nodes + 1)}
    for j in range(groups):
        owner = j % nodes + 1
        if owner == down:
            owner = owner % nodes + 1
        running[owner] += ["r%04d-%d" % (j, k) for k in range(4)]
    out = ['<status>']
    for i in range(1, nodes + 1):
        if i == down:
            out.append('<node_state id="%d" uname="%s" in_ccm="false" crmd="offline" join="down" expected="down"/>'
                       % (i, node(i)))
            continue
        out.append('<node_state id="%d" uname="%s" in_ccm="true" crmd="online" join="member" expected="member">'
                   '<lrm id="%d"><lrm_resources>' % (i, node(i), i))
        out += [start(rsc, call) for call, rsc in enumerate(running[i], 1)]
        out.append('</lrm_resources></lrm></node_state>')
    out.append('</status>')
    return "\n".join(out)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    nodes, groups, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    os.makedirs(out, exist_ok=True)
    config = configuration(nodes, groups)
    for name, down in (("before", 0), ("after", 2)):
        with open(os.path.join(out, name + ".xml"), "w") as f:
            f.write('<cib crm_feature_set="3.16.1" validate-with="pacemaker-3.9" epoch="1" num_updates="0" '
                    'admin_epoch="0" have-quorum="1">\n%s\n%s\n</cib>\n' % (config, status(nodes, groups, down)))


if __name__ == "__main__":
    main()
