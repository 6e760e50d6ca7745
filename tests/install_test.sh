#!/usr/bin/env bash
# install_test - installs the build into a temporary prefix, checks the tree,
# and builds a small C and C++ program against the installed library, once
# through CMake (find_package) and once through pkg-config, then runs them.
#
# Usage (inside the network sandbox): install_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

libdir=$(cache CMAKE_INSTALL_LIBDIR)
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log" >&2; exit 1; }

# --- the tree ---------------------------------------------------------------
while read -r f; do
    [[ -f $prefix/$f ]] || fail "missing $f"
done < <(expected_files "$libdir" "$bin")
# Only the programs that this build made are installed.
for f in "$prefix"/bin/*; do
    name=${f##*/}
    [[ -x $f ]] || fail "bin/$name is not executable"
    [[ $name =~ ^(nsadmin|nsquery|nsmd|nslogd)$ && -x $bin/$name ]] ||
        fail "unexpected program bin/$name"
done
# Internal headers stay internal.
leaked=$(find "$prefix/include" -name '*.hpp' -o -name 'authcryp*')
[[ -z $leaked ]] || fail "internal headers installed: $leaked"

# The installed Wireshark dissector finds the installed key tables by itself
# (checked on a kept capture when this build uses the tables it was made with).
if command -v tshark >/dev/null && cmp -s "$(cache NS_KEY_FILE)" "$src/tests/data/authcryp.keys"; then
    # the record types, as the kept reading has them in its eighth column
    types=$(HOME=$work tshark -n -r "$src/tests/data/demo.pcap" \
        -X "lua_script:$prefix/share/talven-ns/wireshark/talven-ns.lua" -Y talvenns \
        -T fields -E aggregator=';' -e talvenns.type 2>/dev/null)
    [[ -n $types && $types == "$(cut -d'|' -f8 "$src/tests/data/demo.fields")" ]] ||
        fail "the installed dissector read the demo capture as: $types"
fi

# --- programs built against the installed library --------------------------
# Sanitized builds need the same runtime in the programs that link the library.
san=$(cache NS_SANITIZE)
if [[ -n $san ]]; then
    export CFLAGS="-fsanitize=$san" CXXFLAGS="-fsanitize=$san" LDFLAGS="-fsanitize=$san"
fi

tmpdir=$work/tmp
mkdir -p "$tmpdir"
printf 'TALVEN_TMPDIR=%s\n' "$tmpdir" >"$work/talven.conf"
export TALVEN_CONFIG=$work/talven.conf HOME=$work

run_consumer() {  # label program
    local out
    if ! out=$("$2" "$tmpdir" 2>&1) || [[ $out != ok ]]; then
        fail "$1: $out"
    fi
}

for lang in C CXX; do
    dir=$work/cmake-$lang
    if cmake -S "$src/tests/install" -B "$dir" -DCONSUMER_LANG=$lang \
            -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake-$lang.log" 2>&1 &&
        cmake --build "$dir" >>"$work/cmake-$lang.log" 2>&1; then
        run_consumer "CMake $lang program" "$dir/consumer"
    else
        cat "$work/cmake-$lang.log" >&2
        fail "CMake $lang program did not build"
    fi
done

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
cflags=$(pkg-config --cflags talven-ns)
libs=$(pkg-config --libs talven-ns)
[[ $(pkg-config --modversion talven-ns) == "$(cache CMAKE_PROJECT_VERSION)" ]] ||
    fail "pkg-config version $(pkg-config --modversion talven-ns)"
# The .pc file finds the prefix from its own place, whatever prefix was
# configured: its include directory must be the temporary one.
[[ -f $(pkg-config --variable=includedir talven-ns)/rsockmap/rsockmap.h ]] ||
    fail "pkg-config includedir $(pkg-config --variable=includedir talven-ns)"
# shellcheck disable=SC2086 # the flags are words
if cc ${CFLAGS:-} $cflags -o "$work/pc-c" "$src/tests/install/consumer.c" $libs ${LDFLAGS:-}; then
    run_consumer "pkg-config C program" "$work/pc-c"
else
    fail "pkg-config C program did not build"
fi
# shellcheck disable=SC2086
if c++ ${CXXFLAGS:-} $cflags -x c++ -o "$work/pc-cxx" "$src/tests/install/consumer.c" -x none $libs ${LDFLAGS:-}; then
    run_consumer "pkg-config C++ program" "$work/pc-cxx"
else
    fail "pkg-config C++ program did not build"
fi

# --- key tables -----------------------------------------------------------
# A malformed key file stops the build with a message that names the file
# and the line.
printf '# keys\n00 01 zz\n' >"$work/bad.keys"
if out=$(cmake -DKEY_FILE="$work/bad.keys" -DOUT="$work/keys.cpp" -P "$src/cmake/GenKeys.cmake" 2>&1); then
    fail "a malformed key file was accepted"
elif [[ $out != *"bad.keys:2: 'zz' is not a two-digit hex byte"* ]]; then
    fail "unclear message for a malformed key file: $out"
fi
printf '00 01 02\n' >"$work/short.keys"
if out=$(cmake -DKEY_FILE="$work/short.keys" -DOUT="$work/keys.cpp" -P "$src/cmake/GenKeys.cmake" 2>&1) ||
        [[ $out != *"holds 3 bytes"* ]]; then
    fail "a key file of 3 bytes: $out"
fi

finish
