#!/usr/bin/env bash
# install_abi_test - the shared object's interface is the one kept on purpose:
# its dynamic symbol table holds exactly the functions and data objects that
# the public headers declare, each under the version node NSCLIENT_1.0 (no
# C++ symbol, no internal helper); its SONAME is libnsclient.so.1 and it
# names the C++ runtime as its own dependency; and abidiff finds no
# incompatible change against abi/libnsclient.so.1.abi, the ABI of release
# 1.0.  A change that abidiff calls incompatible needs a new SONAME.
#
# The description was made from a RelWithDebInfo build with
#   abidw --no-corpus-path --no-comp-dir-path --no-show-locs \
#         --drop-undefined-syms build/lib/libnsclient.so.1 \
#         --out-file abi/libnsclient.so.1.abi
#
# Usage (inside the network sandbox): install_abi_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

lib=$build/lib/libnsclient.so.1
[[ -f $lib ]] || { echo "FAIL: no $lib" >&2; exit 1; }

# --- the dynamic symbol table -------------------------------------------------
"$src/tests/install/public_symbols.sh" "$src/include/talven-ns" >"$work/declared"
# "0000 T NsCrypt@@NSCLIENT_1.0"; the version node itself is an A symbol.
nm -D --defined-only "$lib" | awk '$2 != "A" { print $3 }' >"$work/exported"
sed 's/@.*//' "$work/exported" | sort >"$work/exported.names"
missing=$(comm -23 "$work/declared" "$work/exported.names")
extra=$(comm -13 "$work/declared" "$work/exported.names")
[[ -z $missing ]] || fail "declared but not exported: $(echo $missing)"
[[ -z $extra ]] || fail "exported but not declared: $(echo $extra)"
unversioned=$(grep -v '@@NSCLIENT_1\.0$' "$work/exported" || true)
[[ -z $unversioned ]] || fail "exported outside NSCLIENT_1.0: $(echo $unversioned)"
(($(wc -l <"$work/declared") > 40)) || fail "the headers seem to declare almost nothing"

readelf -d "$lib" >"$work/dynamic"
grep -q 'SONAME.*\[libnsclient\.so\.1\]' "$work/dynamic" || fail "SONAME is not libnsclient.so.1"
grep -q 'NEEDED.*\[libstdc++\.so\.6\]' "$work/dynamic" ||
    fail "the shared object does not name the C++ runtime: $(grep NEEDED "$work/dynamic")"

# --- the ABI of release 1.0 --------------------------------------------------
# abidw reads the debug information; a build without it (-g) cannot be
# compared.
if ! grep -q '\.debug_info' <<<"$(readelf -S "$lib")"; then
    echo "$test_name: $lib has no debug information; abidiff skipped"
else
    # abidiff's status is a bit set: 1 error, 2 usage error, 4 an ABI change,
    # 8 an incompatible ABI change.  A compatible change (a new function) is
    # shown but passes.
    status=0
    abidiff "$src/abi/libnsclient.so.1.abi" "$lib" >"$work/abidiff" 2>&1 || status=$?
    if ((status & 11)); then
        cat "$work/abidiff" >&2
        fail "abidiff against abi/libnsclient.so.1.abi: status $status"
    elif ((status & 4)); then
        echo "$test_name: compatible ABI changes against release 1.0:"
        cat "$work/abidiff"
    fi
fi

finish
