#!/usr/bin/env bash
# install_test - installs the build into a temporary prefix, checks the tree,
# and builds a small program against the installed library in C and C++,
# against the shared library and the archive, through CMake (find_package)
# and through pkg-config, then runs each against a stand-in name server.
#
# Usage (inside the network sandbox): install_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

libdir=$(cache NS_INSTALL_LIBDIR)
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
# The shared object: its SONAME link (what programs load) and the
# development link (what -lnsclient finds).
version=$(cache CMAKE_PROJECT_VERSION)
[[ $(readlink "$prefix/$libdir/libnsclient.so.${version%%.*}") == libnsclient.so.$version &&
   $(readlink "$prefix/$libdir/libnsclient.so") == libnsclient.so.${version%%.*} ]] ||
    fail "links of the shared object: $(ls -l "$prefix/$libdir")"
readelf -d "$prefix/$libdir/libnsclient.so.$version" | grep -q "SONAME.*\[libnsclient\.so\.${version%%.*}\]" ||
    fail "SONAME of libnsclient.so.$version"
# Internal headers stay internal.
leaked=$(find "$prefix/include" -name '*.hpp' -o -name 'authcryp*')
[[ -z $leaked ]] || fail "internal headers installed: $leaked"

# The installed Wireshark dissector finds the installed key tables by itself,
# named on the command line and as a link in the personal plugins folder
# (checked on a kept capture when this build uses the tables it was made with).
if command -v tshark >/dev/null && cmp -s "$(cache NS_KEY_FILE)" "$src/tests/data/authcryp.keys"; then
    lua=$prefix/share/talven-ns/wireshark/talven-ns.lua
    mkdir -p "$work/home/.local/lib/wireshark/plugins"
    ln -s "$lua" "$work/home/.local/lib/wireshark/plugins/"
    read_types() {  # HOME, then more arguments of tshark
        HOME=$1 tshark -n -r "$src/tests/data/demo.pcap" "${@:2}" -Y talvenns \
            -T fields -E aggregator=';' -e talvenns.type 2>/dev/null
    }
    # the record types, as the kept reading has them in its eighth column
    want=$(cut -d'|' -f8 "$src/tests/data/demo.fields")
    types=$(read_types "$work" -X "lua_script:$lua")
    [[ -n $types && $types == "$want" ]] || fail "the installed dissector read the demo capture as: $types"
    types=$(read_types "$work/home")
    [[ -n $types && $types == "$want" ]] ||
        fail "the installed dissector, linked into the plugins folder, read the demo capture as: $types"
fi

# --- programs built against the installed library --------------------------
# Each links the shared library or the archive, through CMake or pkg-config,
# and runs against a stand-in name server: the configuration, the cipher and
# a lookup.
# Sanitized builds need the same runtime in the programs that link the library.
san=$(cache NS_SANITIZE)
if [[ -n $san ]]; then
    export CFLAGS="-fsanitize=$san" CXXFLAGS="-fsanitize=$san" LDFLAGS="-fsanitize=$san"
fi

start_nsmd 'service \\nstest\consumer 198.18.0.1 4000 3 1 hi'
write_config
export LD_LIBRARY_PATH=$prefix/$libdir

run_consumer() {  # label program
    local out
    if ! out=$("$2" "$work/tmp" '\\nstest\consumer' '198.18.0.1 (4000)' 2>&1) || [[ $out != ok ]]; then
        fail "$1: $out"
    fi
}
# links_shared LABEL PROGRAM yes|no: whether the program loads the installed
# libnsclient.so.1.
links_shared() {
    local found=no libs
    libs=$(ldd "$2")
    [[ $libs == *"libnsclient.so.1 => $prefix/$libdir/libnsclient.so.1 "* ]] && found=yes
    [[ $found == "$3" ]] || fail "$1: loads the installed libnsclient.so.1: $found: $libs"
}

for variant in C:shared CXX:static; do
    lang=${variant%:*} kind=${variant#*:}
    dir=$work/cmake-$lang-$kind
    static=OFF
    [[ $kind == static ]] && static=ON
    if cmake -S "$src/tests/install" -B "$dir" -DCONSUMER_LANG=$lang -DCONSUMER_STATIC=$static \
            -DCMAKE_PREFIX_PATH="$prefix" >"$dir.log" 2>&1 &&
        cmake --build "$dir" >>"$dir.log" 2>&1; then
        run_consumer "CMake $lang program ($kind)" "$dir/consumer"
        links_shared "CMake $lang program ($kind)" "$dir/consumer" $([[ $kind == shared ]] && echo yes || echo no)
    else
        cat "$dir.log" >&2
        fail "CMake $lang program ($kind) did not build"
    fi
done

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
cflags=$(pkg-config --cflags talven-ns)
libs=$(pkg-config --libs talven-ns)
# The archive: the same flags with the archive named and the C++ runtime
# that Libs.private adds.
static_libs=$(pkg-config --static --libs talven-ns | sed 's/-lnsclient/-l:libnsclient.a/')
[[ $libs == *-lnsclient* && $libs != *stdc++* ]] || fail "pkg-config --libs: $libs"
[[ $static_libs == *-lstdc++* ]] || fail "pkg-config --static --libs: $static_libs"
[[ $(pkg-config --modversion talven-ns) == "$(cache CMAKE_PROJECT_VERSION)" ]] ||
    fail "pkg-config version $(pkg-config --modversion talven-ns)"
# The .pc file finds the prefix from its own place, whatever prefix was
# configured: its include directory must be the temporary one.
[[ -f $(pkg-config --variable=includedir talven-ns)/rsockmap/rsockmap.h ]] ||
    fail "pkg-config includedir $(pkg-config --variable=includedir talven-ns)"
# shellcheck disable=SC2086 # the flags are words
for variant in cc:shared:"$libs" cc:static:"$static_libs" c++:shared:"$libs"; do
    IFS=: read -r compiler kind linkflags <<<"$variant"
    out=$work/pc-$compiler-$kind
    label="pkg-config $compiler program ($kind)"
    lang=(-x c)
    [[ $compiler == c++ ]] && lang=(-x c++)
    if $compiler ${CFLAGS:-} -Wall -Wextra -Werror $cflags -o "$out" "${lang[@]}" \
            "$src/tests/install/consumer.c" -x none $linkflags ${LDFLAGS:-}; then
        run_consumer "$label" "$out"
        links_shared "$label" "$out" $([[ $kind == shared ]] && echo yes || echo no)
    else
        fail "$label did not build"
    fi
done

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
