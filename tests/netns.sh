#!/bin/sh
# Runs a test program in a network namespace of its own, with only the
# loopback interface, up and taking multicast: what the test announces or
# sends to a multicast group cannot leave the machine. Exits 77 (CTest's
# skip) where namespaces cannot be made, as in some containers.
#
#   tests/netns.sh PROGRAM [ARGUMENTS...]
#   tests/netns.sh --wine-prefix PREFIX WINE-RUN [ARGUMENTS...]
#
# Under Wine the sockets are made by the Wine server, so the namespace needs
# a Wine server of its own: --wine-prefix lays a throwaway layer over PREFIX
# (an overlay mount, in a mount namespace) and starts the programs on it,
# which gives them a server inside the namespace and leaves PREFIX as it was;
# the prefix's own server is ended first (the test runs alone).
# KESTREL_OWN_NETWORK=1 tells a Windows test program that it may multicast.
prefix=""
if [ "${1:-}" = "--wine-prefix" ]; then
    prefix=$2
    shift 2
fi
if ! unshare --map-root-user --net --mount true 2>/dev/null; then
    echo "netns.sh: cannot make a network namespace here; skipped" >&2
    exit 77
fi
layer=""
if [ -n "$prefix" ]; then
    # A Wine server keeps the prefix's registry in memory and writes it out
    # later, at the latest when it ends: end it, so that the layer sees a
    # whole prefix (a fresh one would otherwise look half made, and Wine
    # would start updating it under the test).
    "$1" --end-server
    layer=$(mktemp -d "${TMPDIR:-/tmp}/netns-wine-XXXXXX") || exit 1
    mkdir "$layer/upper" "$layer/work" "$layer/prefix"
    trap 'rm -rf "$layer"' EXIT
    trap 'exit 1' INT TERM
fi
KESTREL_NETNS_LAYER="$layer" KESTREL_NETNS_PREFIX="$prefix" unshare --map-root-user --net --mount sh -c '
    ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo || exit 1
    if [ -n "$KESTREL_NETNS_LAYER" ]; then
        mount -t overlay overlay -o "lowerdir=$KESTREL_NETNS_PREFIX,upperdir=$KESTREL_NETNS_LAYER/upper,workdir=$KESTREL_NETNS_LAYER/work" \
            "$KESTREL_NETNS_LAYER/prefix" || { echo "netns.sh: no overlay mount here; skipped" >&2; exit 77; }
        export KESTREL_WINEPREFIX="$KESTREL_NETNS_LAYER/prefix" KESTREL_OWN_NETWORK=1
        "$0" "$@"
        status=$?
        "$0" --end-server
        exit $status
    fi
    exec "$0" "$@"' "$@" </dev/null
