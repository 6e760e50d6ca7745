# Sourced by the shell tests (tests/*_test.sh, run with BIN_DIR SOURCE_DIR):
# sets bin, src, build and a work directory removed at exit, and gives
# fail/finish for counting failures, cache for reading the build's settings,
# and expected_files for what an installation holds.

bin=$1
src=$2
build=$(dirname "$bin")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
# The value of a variable in the build's CMake cache.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

# expected_files LIBDIR BIN_DIR: the files that an installation must hold,
# relative to its prefix, one a line:
# the library, its headers, CMake package and pkg-config file, the pages and
# completion, and each program that the build in BIN_DIR made, with its page.
expected_files() {
    local libdir=$1 bin=$2 prog
    printf '%s\n' \
        "$libdir/libnsclient.a" \
        "$libdir/pkgconfig/talven-ns.pc" \
        "$libdir/cmake/TalvenNS/TalvenNSConfig.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSConfigVersion.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSTargets.cmake" \
        include/talven-ns/rsockmap/rsockmap.h \
        include/talven-ns/rsockmap/servsock.h \
        include/talven-ns/rsockmap/census.h \
        include/talven-ns/support/env.h \
        include/talven-ns/support/debug.h \
        include/talven-ns/support/signals.h \
        include/talven-ns/support/sockets.h \
        share/man/man1/nsadmin.1.gz \
        share/man/man5/talven.conf.5.gz \
        share/bash-completion/completions/nsadmin \
        share/doc/talven-ns/README.md
    for prog in nsadmin nsquery nsmd nslogd; do
        [[ -x $bin/$prog ]] && printf '%s\n' "bin/$prog" "share/man/man1/$prog.1.gz"
    done
    [[ -x $bin/nsquery ]] && echo share/bash-completion/completions/nsquery
    return 0
}
