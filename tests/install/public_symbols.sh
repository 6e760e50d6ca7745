#!/usr/bin/env bash
# public_symbols [--functions] INCLUDE_DIR - the names that the public
# headers under INCLUDE_DIR (include/talven-ns) declare for the library to
# define, one a line, sorted: every function (read off the C compiler's
# -aux-info list of prototypes, so that multi-line declarations count) and,
# without --functions, every extern data object (the headers declare each on
# a line of its own).  The shared object must export exactly these
# (tests/install_abi_test.sh) and each function needs a manual page
# (tests/man_test.sh).
set -euo pipefail
data=yes
[[ $1 == --functions ]] && { data=no; shift; }
inc=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
headers=$(cd "$inc" && find . -name '*.h' | sed 's|^\./||' | sort)
for h in $headers; do echo "#include \"$h\""; done >"$tmp/all.c"
cc -x c -std=c11 -fsyntax-only -I"$inc" -aux-info "$tmp/protos" "$tmp/all.c"
{
    # /* INCLUDE_DIR/rsockmap/rsockmap.h:97:NC */ extern int NsCrypt (void *, ...);
    grep -F "/* $inc/" "$tmp/protos" | sed -E 's|^/\*[^*]*\*/ *||; s/ \(.*//; s/.*[ *]//'
    if [[ $data == yes ]]; then
        for h in $headers; do
            sed -nE 's/^extern[^;(]*[ *]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*;.*/\1/p' "$inc/$h"
        done
    fi
} | sort -u
