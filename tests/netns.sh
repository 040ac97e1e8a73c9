#!/bin/sh
# Runs a test program in a network namespace of its own, with only the
# loopback interface, up and taking multicast: what the test announces or
# sends to a multicast group cannot leave the machine. Exits 77 (CTest's
# skip) where namespaces cannot be made, as in some containers.
#
#   tests/netns.sh PROGRAM [ARGUMENTS...]
if ! unshare --map-root-user --net true 2>/dev/null; then
    echo "netns.sh: cannot make a network namespace here; skipped" >&2
    exit 77
fi
exec unshare --map-root-user --net sh -c '
    ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo || exit 1
    exec "$0" "$@"' "$@"
