#!/usr/bin/env bash
# A path with two routers at one hop, chosen per flow by a multipath route with layer-4
# hashing, so that UDP probes to different ports take either router:
#
#   client ── r1 ─┬─ r2a ─┬─ target (10.201.9.1)
#                 └─ r2b ─┘
#
#   lbnet.sh up PREFIX     builds it (namespaces PREFIX-client, -r1, -r2a, -r2b, -target)
#   lbnet.sh down PREFIX   removes it
# Hop 1 answers from 10.201.1.2, hop 2 from 10.201.2.2 (r2a) or 10.201.3.2 (r2b), the
# target is hop 3. Needs root.
set -euo pipefail
cmd=${1:?up or down} p=${2:?prefix}
nodes=(client r1 r2a r2b target)

down() {
    local n
    for n in "${nodes[@]}"; do ip netns del "$p-$n" 2>/dev/null || true; done
}

run_in() { local n=$1; shift; ip netns exec "$p-$n" "$@"; }

# veth between two namespaces: link NODE_A IF_A ADDR_A NODE_B IF_B ADDR_B (addresses /24)
link() {
    ip link add "$2" netns "$p-$1" type veth peer name "$5" netns "$p-$4"
    ip -n "$p-$1" addr add "$3/24" dev "$2"
    ip -n "$p-$4" addr add "$6/24" dev "$5"
    ip -n "$p-$1" link set "$2" up
    ip -n "$p-$4" link set "$5" up
}

up() {
    down
    local n k
    for n in "${nodes[@]}"; do
        ip netns add "$p-$n"
        ip -n "$p-$n" link set lo up
        for k in net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 net.ipv4.icmp_ratelimit=0 \
            net.ipv4.icmp_ratemask=0 net.ipv4.icmp_errors_use_inbound_ifaddr=1 \
            net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; do
            run_in "$n" sysctl -qw "$k"
        done
    done
    for n in r1 r2a r2b; do run_in "$n" sysctl -qw net.ipv4.ip_forward=1; done
    # Layer-4 hash: the ports pick the path, so one trace meets both routers.
    run_in r1 sysctl -qw net.ipv4.fib_multipath_hash_policy=1

    link client eth0 10.201.1.1 r1 eth0 10.201.1.2
    link r1 eth1 10.201.2.1 r2a eth0 10.201.2.2
    link r1 eth2 10.201.3.1 r2b eth0 10.201.3.2
    link r2a eth1 10.201.4.1 target eth0 10.201.4.2
    link r2b eth1 10.201.5.1 target eth1 10.201.5.2
    ip -n "$p-target" addr add 10.201.9.1/32 dev lo

    ip -n "$p-client" route add default via 10.201.1.2
    ip -n "$p-r1" route add 10.201.9.1/32 nexthop via 10.201.2.2 nexthop via 10.201.3.2
    ip -n "$p-r1" route add 10.201.4.0/24 via 10.201.2.2
    ip -n "$p-r1" route add 10.201.5.0/24 via 10.201.3.2
    ip -n "$p-r2a" route add default via 10.201.2.1
    ip -n "$p-r2a" route add 10.201.9.1/32 via 10.201.4.2
    ip -n "$p-r2b" route add default via 10.201.3.1
    ip -n "$p-r2b" route add 10.201.9.1/32 via 10.201.5.2
    ip -n "$p-target" route add default via 10.201.4.1
    # The path answers before the test starts.
    for k in $(seq 50); do
        run_in client ping -c 1 -W 1 10.201.9.1 >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "lbnet: the target does not answer" >&2
    return 1
}

case $cmd in
up) up || { down; exit 1; } ;;
down) down ;;
*) echo "usage: $0 up|down PREFIX" >&2; exit 2 ;;
esac
