# Sourced by install_test.sh and deb_test.sh: the files that an installation
# must hold, relative to its prefix.
#
# expected_files LIBDIR BIN_DIR prints one path a line: the library, its
# headers, CMake package and pkg-config file, the pages and completion, and
# each program that the build in BIN_DIR made, with its page.
expected_files() {
    local libdir=$1 bin=$2 prog
    printf '%s\n' \
        "$libdir/libnsclient.a" \
        "$libdir/pkgconfig/talven-ns.pc" \
        "$libdir/cmake/TalvenNS/TalvenNSConfig.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSConfigVersion.cmake" \
        "$libdir/cmake/TalvenNS/TalvenNSTargets.cmake" \
        include/talven-ns/rsockmap/rsockmap.h \
        include/talven-ns/support/env.h \
        include/talven-ns/support/debug.h \
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
