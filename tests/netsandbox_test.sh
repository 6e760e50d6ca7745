#!/usr/bin/env bash
# netsandbox_test - the network sandbox holds what runs in it: nothing inside
# can join the host's network namespace, signal a host process or write a
# host-wide kernel setting by accident, nothing started inside outlives it, and its inner stage refuses to run anywhere but
# in the namespaces that its outer stage just made.
#
# This test runs OUTSIDE the sandbox, because it tests the sandbox itself.
# Out here it only starts a sleeping process, the sandbox and the inner stage
# alone (which must refuse before it touches anything), and inspects; every
# probe that could reach a network runs inside the sandbox.
#
# Usage: netsandbox_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"
sandbox=$src/scripts/netsandbox

# A host process to aim at, marked by its argv[0], and a descriptor for the
# host's network namespace (fd 7) that everything in the sandbox inherits.
marker=netsandbox-test-host-$$
(exec -a "$marker" sleep 120) &
host_pid=$!
trap 'kill "$host_pid" 2>/dev/null; rm -rf "$work"' EXIT
exec 7</proc/self/ns/net

# Runs inside the sandbox; prints one line for each way out that works.
probe() {
    local host_pid=$1 marker=$2 alive=$3
    [[ $(readlink /proc/1/ns/net) == "$NS_SANDBOX_NETNS" ]] ||
        echo "PID 1 here is not the sandbox's own process"
    nsenter --net=/proc/self/fd/7 true 2>/dev/null &&
        echo "joined the host's network namespace through an inherited descriptor"
    # (A sandbox process may have the same number: only the marked one counts.)
    kill -0 "$host_pid" 2>/dev/null &&
        [[ $(tr '\0' ' ' <"/proc/$host_pid/cmdline") == "$marker "* ]] &&
        echo "signalled host process $host_pid"
    # A daemon in a session of its own, holding a lock while it lives.
    setsid flock "$alive" sleep 60 </dev/null >/dev/null 2>&1 &
    local tries=3000
    while flock -n "$alive" true && ((--tries)); do sleep 0.01; done
    ((tries)) || echo "the background process did not start"
    # Host-wide settings: written back with their own value, so nothing
    # changes should the write get through; sysrq-trigger is never written.
    cat /proc/sys/kernel/core_pattern 2>/dev/null >/proc/sys/kernel/core_pattern &&
        echo "wrote kernel.core_pattern"
    [[ ! -w /proc/sysrq-trigger ]] || echo "/proc/sysrq-trigger is writable"
    # A user namespace of its own has every capability, but not over the
    # sandbox's mounts.
    unshare -Urm sh -c 'umount /proc/sys || mount -o remount,bind,rw /proc/sys
        cat /proc/sys/kernel/core_pattern >/proc/sys/kernel/core_pattern' >/dev/null 2>&1 &&
        echo "wrote kernel.core_pattern from a user namespace of its own"
    # Under the sandbox's /proc lies the host's: uncovered, it shows the host's
    # processes, which still can be neither joined nor signalled.
    if umount /proc 2>/dev/null && [[ -e /proc/$host_pid ]]; then
        nsenter --net="/proc/$host_pid/ns/net" true 2>/dev/null &&
            echo "joined the host's network namespace through /proc/$host_pid"
        python3 -c 'import os, signal, sys
signal.pidfd_send_signal(os.open("/proc/" + sys.argv[1], os.O_RDONLY | os.O_DIRECTORY), 0)' \
            "$host_pid" 2>/dev/null && echo "signalled host process $host_pid through /proc"
    fi
    return 0
}

# --- from inside: no way out ------------------------------------------------
alive=$work/alive
: >"$alive"
ways_out=$("$sandbox" bash -c "$(declare -f probe); probe \"\$@\"" probe \
    "$host_pid" "$marker" "$alive") || fail "the probe could not run in the sandbox"
[[ -z $ways_out ]] || fail "ways out of the sandbox: $ways_out"
kill -0 "$host_pid" || fail "the host process did not survive the probe"
# The kernel ends every process of the sandbox before its first one is reaped.
flock -n "$alive" true || fail "a process started in the sandbox outlived it"

# The command runs as a child of the sandbox's first process; its status
# comes back.
status=0
"$sandbox" bash -c 'exit 7' || status=$?
((status == 7)) || fail "exit status 7 came back as $status"

# --- from outside: the inner stage alone refuses and changes nothing ----------
# What the inner stage would change on the host if it went ahead (without
# the lifetimes of addresses and routes, which count down).
host_state() {
    ip -br link show
    ip -br addr show
    { ip -4 route show table all; ip -6 route show table all; } | sed -E 's/ expires [0-9]+sec//'
    hostname
    grep -E ' /(proc|sys|etc/[a-z.]+) ' /proc/self/mountinfo || true
}
before=$(host_state)
status=0
out=$("$sandbox" --inside touch "$work/ran" 2>&1) || status=$?
((status == 125)) || fail "--inside outside a sandbox: status $status, not 125"
[[ $out == *"refusing to configure this network"* ]] || fail "--inside outside a sandbox said: $out"
# Forging what the outer stage passes does not help either.
status=0
out=$(NETSANDBOX_TOKEN=00112233445566778899aabbccddeeff NETSANDBOX_OUTER_PID=$$ \
    NETSANDBOX_OUTER_NETNS=net:[1] NETSANDBOX_OUTER_USERNS=user:[1] \
    "$sandbox" --inside touch "$work/ran" 2>&1) || status=$?
((status == 125)) || fail "--inside with a forged outer stage: status $status, not 125"
[[ ! -e $work/ran ]] || fail "--inside outside a sandbox ran its command"
[[ $(host_state) == "$before" ]] || fail "--inside outside a sandbox changed the host:
$(diff <(echo "$before") <(host_state))"

finish
