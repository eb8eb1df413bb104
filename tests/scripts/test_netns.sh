#!/usr/bin/env bash
# test_netns.sh PROBE NETNS_RUN
# Shows that a command run through NETNS_RUN is in a network namespace of its own: it holds
# only lo, v0 and v1; a multicast datagram to 232.2.2.2 sent out of v0 is looped back inside
# and crosses the pair to v1; and no frame holding it shows up on any host interface.
# Exits 77 (skipped) only when this machine cannot make a network namespace at all.
set -uo pipefail
probe=$1
netns_run=$2
port=45232

if [ "$(id -u)" -eq 0 ]; then try=(unshare --net true); else try=(unshare --net --map-root-user true); fi
if ! "${try[@]}" 2>/dev/null; then
    echo "SKIP: network namespaces cannot be made on this machine"
    exit 77
fi

work=$(mktemp -d)
cap=
trap '[ -n "$cap" ] && kill "$cap" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Starts a host capture in the background (pid in $cap) and waits until it watches.
start_capture() {
    "$probe" capture "$1" "$2" "$port" >"$work/capture" 2>&1 &
    cap=$!
    for _ in $(seq 1 400); do
        grep -q '^ready$' "$work/capture" && return 0
        kill -0 "$cap" 2>/dev/null || break
        sleep 0.05
    done
    cat "$work/capture"
    fail "the host capture did not start"
}
# Waits for the capture; shows its output unless told "quiet".
finish_capture() {
    local rc
    wait "$cap"
    rc=$?
    cap=
    [ "${1:-}" = quiet ] || cat "$work/capture"
    return $rc
}
tag() { echo "vx-netns-$1-$$-$RANDOM$RANDOM"; }

# Controls: the probe must notice the host namespace, and the capture a datagram it can see.
host_ns=$(stat -L -c %i /proc/self/ns/net)
if "$probe" inside "$(tag control)" "$port" "$host_ns" 2>"$work/control"; then
    fail "the probe took the host namespace for a private one"
fi
grep -q "still in the host's network namespace" "$work/control" || { cat "$work/control"; fail "control"; }

token=$(tag seen)
fence=$(tag fence)
start_capture "$token" "$fence"
"$probe" fence "$token" "$port" || fail "cannot send on loopback"
"$probe" fence "$fence" "$port" || fail "cannot send on loopback"
if finish_capture quiet; then
    cat "$work/capture"
    fail "the host capture missed a datagram on loopback"
fi
echo "control: the host capture sees loopback datagrams"

# The real run.
token=$(tag token)
fence=$(tag fence)
start_capture "$token" "$fence"
"$netns_run" "$probe" inside "$token" "$port" "$host_ns"
inside=$?
"$probe" fence "$fence" "$port" || fail "cannot send on loopback"
finish_capture
host=$?
[ "$inside" -eq 0 ] || fail "inside the namespace"
[ "$host" -eq 0 ] || fail "on the host"
echo "PASS"
