# Sourced by the shell tests (tests/*_test.sh, run with BIN_DIR SOURCE_DIR):
# sets bin, src, build and a work directory removed at exit, and gives
# fail/finish for counting failures, cache for reading the build's settings,
# expected_files for what an installation holds, and start_nsmd for a
# stand-in name server to talk to.

bin=$1
src=$2
build=$(dirname "$bin")
work=$(mktemp -d)
nsmd_pid=
cleanup() {
    [[ -n $nsmd_pid ]] && kill "$nsmd_pid" 2>/dev/null && wait "$nsmd_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
test_name=$(basename "$0" .sh)

# Records a failure and goes on.
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Ends the test: status 1 after any failure.
finish() {
    if ((failures)); then
        echo "$test_name: $failures failure(s)" >&2
        exit 1
    fi
    echo "$test_name: passed"
}
# Stops the test unless it runs inside the network namespace that
# scripts/netsandbox made (the variable alone could be inherited or forged).
require_sandbox() {
    [[ -n ${NS_SANDBOX_NETNS:-} && $(readlink /proc/self/ns/net) == "$NS_SANDBOX_NETNS" ]] ||
        { echo "$test_name: not inside the network sandbox: run it through scripts/netsandbox" >&2; exit 1; }
}
# The value of a variable in the build's CMake cache.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# start_nsmd PRELOAD_LINE...: starts the stand-in name server (nsmd from
# BIN_DIR) at nsm-master, 198.18.0.10 port 16024, with those lines as its
# preload file, and waits until it is ready; it is stopped at exit.  Only
# inside the network sandbox.  write_config then writes a configuration that
# names it, with $work/tmp as the temporary directory, and points
# TALVEN_CONFIG and HOME at it.
start_nsmd() {
    require_sandbox
    printf '%s\n' "$@" >"$work/preload"
    "$bin/nsmd" -a 198.18.0.10 -f "$work/preload" >"$work/nsmd.out" 2>&1 &
    nsmd_pid=$!
    local i
    for ((i = 0; i < 300; i++)); do
        grep -q '^ready' "$work/nsmd.out" && return 0
        sleep 0.1
    done
    echo "FAIL: nsmd did not start: $(cat "$work/nsmd.out")" >&2
    exit 1
}
write_config() {
    mkdir -p "$work/tmp"
    printf 'TALVEN_TMPDIR=%s\nTALVEN_NAMESVC=nsm-master.16024\n' "$work/tmp" >"$work/talven.conf"
    export TALVEN_CONFIG=$work/talven.conf HOME=$work
}

# expected_files LIBDIR BIN_DIR: the files that an installation must hold,
# relative to its prefix, one a line:
# the libraries, headers, CMake package and pkg-config file, the pages and
# completion, the Wireshark dissector with its key tables, and each program
# that the build in BIN_DIR made, with its page.
# (The links libnsclient.so.1 and libnsclient.so are not regular files.)
expected_files() {
    local libdir=$1 bin=$2 prog
    printf '%s\n' \
        "$libdir/libnsclient.a" \
        "$libdir/libnsclient.so.$(cache CMAKE_PROJECT_VERSION)" \
        "$libdir/pkgconfig/talven-ns.pc" \
        "$libdir/cmake/TalvenNS/TalvenNSConfig.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSConfigVersion.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSTargets.cmake" \
        include/talven-ns/rsockmap/rsockmap.h \
        include/talven-ns/rsockmap/servsock.h \
        include/talven-ns/rsockmap/census.h \
        include/talven-ns/support/api.h \
        include/talven-ns/support/env.h \
        include/talven-ns/support/debug.h \
        include/talven-ns/support/signals.h \
        include/talven-ns/support/sockets.h \
        share/man/man1/nsadmin.1.gz \
        share/man/man5/talven.conf.5.gz \
        share/man/man7/talven-ns-wireshark.7.gz \
        share/talven-ns/wireshark/talven-ns.lua \
        share/talven-ns/authcryp.keys \
        share/bash-completion/completions/nsadmin \
        share/doc/talven-ns/README.md
    for prog in nsadmin nsquery nsmd nslogd; do
        [[ -x $bin/$prog ]] && printf '%s\n' "bin/$prog" "share/man/man1/$prog.1.gz"
    done
    [[ -x $bin/nsquery ]] && echo share/bash-completion/completions/nsquery
    return 0
}
