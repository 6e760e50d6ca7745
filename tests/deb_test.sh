#!/usr/bin/env bash
# deb_test - makes the Debian packages (packaging/mkdebs) and checks them:
# their control fields and dependencies, which package holds which file,
# lintian (no error, no warning), and, installed with dpkg into an empty
# root, the packaged nsadmin and a C program built against the packaged
# library, each run against a stand-in name server.
#
# Usage (inside the network sandbox): deb_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

if ! "$src/packaging/mkdebs" "$build" "$work/out" >"$work/mkdebs.log" 2>&1; then
    cat "$work/mkdebs.log" >&2
    exit 1
fi
upstream=$(cache CMAKE_PROJECT_VERSION)
version=$upstream-1
arch=$(dpkg --print-architecture)
libdir=$(cache NS_INSTALL_LIBDIR)
san=$(cache NS_SANITIZE)
deb() { echo "$work/out/${1}_${version}_$arch.deb"; }
for p in libnsclient1 libnsclient-dev talven-ns; do
    [[ -f $(deb $p) ]] || { echo "FAIL: no $(deb $p); made: $(ls "$work/out")" >&2; exit 1; }
done
(($(ls "$work/out" | wc -l) == 3)) || fail "more packages than three: $(ls "$work/out")"

# --- control fields ---------------------------------------------------------------
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in libnsclient1 libnsclient-dev talven-ns; do
    [[ $(field $p Version) == "$version" ]] || fail "$p Version: $(field $p Version)"
    [[ $(field $p Architecture) == "$arch" ]] || fail "$p Architecture: $(field $p Architecture)"
    [[ -n $(field $p Description) ]] || fail "$p has no Description"
done
# depends_only PACKAGE NAME...: every dependency of the package is one of
# the names (a sanitized build's binaries also need the sanitizers'
# runtimes).
depends_only() {
    local p=$1 d
    shift
    IFS=',' read -ra deps <<<"$(field "$p" Depends)"
    for d in "${deps[@]}"; do
        d=${d# }
        case " $* " in *" ${d%% *} "*) continue ;; esac
        [[ -n $san && ${d%% *} =~ ^lib(asan|ubsan|lsan) ]] && continue
        fail "$p: unexpected dependency $d"
    done
}
depends_only libnsclient1 libc6 libstdc++6 libgcc-s1
[[ $(field libnsclient1 Depends) == *"libstdc++6 (>= "* ]] ||
    fail "libnsclient1 does not depend on the C++ runtime: $(field libnsclient1 Depends)"
# the static archive needs the C++ runtime's own development files to link
[[ $(field libnsclient-dev Depends) == "libnsclient1 (= $version), libstdc++-12-dev | libstdc++-dev" ]] ||
    fail "libnsclient-dev Depends: $(field libnsclient-dev Depends)"
# The programs link the archive: no dependency on libnsclient1.
depends_only talven-ns libc6 libstdc++6 libgcc-s1
[[ $(field talven-ns Depends) == *"libc6 (>= "* ]] || fail "talven-ns Depends: $(field talven-ns Depends)"
dpkg-deb --ctrl-tarfile "$(deb libnsclient1)" | tar -xO ./shlibs >"$work/shlibs"
[[ $(cat "$work/shlibs") == "libnsclient ${upstream%%.*} libnsclient1 (>= $upstream)" ]] ||
    fail "libnsclient1 shlibs: $(cat "$work/shlibs")"

# --- which package holds which file ---------------------------------------------
# Regular files, relative to /usr, of one package (its copyright,
# changelog and lintian overrides aside).
files() {
    dpkg-deb -c "$(deb "$1")" | awk '$1 ~ /^-/ { sub(/^\.\/usr\//, "", $6); print $6 }' |
        grep -Ev "^share/(doc/$1/(copyright|changelog\.Debian\.gz)|lintian/overrides/$1)$" | sort
}
for p in libnsclient1 libnsclient-dev talven-ns; do
    dpkg-deb -c "$(deb $p)" | grep -v ' \./usr/' | grep -v ' \./$' && fail "$p: files outside /usr"
    list=$(dpkg-deb -c "$(deb $p)")
    for f in copyright changelog.Debian.gz; do
        grep -q " \./usr/share/doc/$p/$f\$" <<<"$list" || fail "$p has no $f"
    done
    files $p >"$work/$p.files"
done
[[ $(cat "$work/libnsclient1.files") == "$libdir/libnsclient.so.$upstream" ]] ||
    fail "libnsclient1 holds: $(cat "$work/libnsclient1.files")"
grep -Ev "^(include/talven-ns/|$libdir/libnsclient\.a$|$libdir/(pkgconfig|cmake)/|share/man/man3/)" \
    "$work/libnsclient-dev.files" && fail "libnsclient-dev holds files that are not development files"
grep -E "^(include/|lib/|share/man/man3/)" "$work/talven-ns.files" &&
    fail "talven-ns holds files of the library packages"
# Together they hold what an installation holds.
sort -u "$work"/*.files >"$work/all"
expected_files "$libdir" "$bin" | sort -u >"$work/expected"
missing=$(comm -13 "$work/all" "$work/expected")
[[ -z $missing ]] || fail "missing from the packages: $missing"
# Besides the expected files: the section 3 pages, the CMake export's
# per-configuration file, and the programs' data under share/talven-ns
# (which goes with talven-ns).
extra=$(comm -23 "$work/all" "$work/expected" |
    grep -Ev '^share/man/man3/|/cmake/TalvenNS/TalvenNSTargets-[a-z]*\.cmake$|^share/talven-ns/' || true)
grep '^share/talven-ns/' "$work/libnsclient1.files" "$work/libnsclient-dev.files" &&
    fail "share/talven-ns belongs to talven-ns"
[[ -z $extra ]] || fail "unexpected files in the packages: $extra"

# --- lintian ------------------------------------------------------------------------
# A sanitized build is no release: its binaries carry what lintian rightly
# complains about, so only the others are checked.
if [[ -z $san ]]; then
    if ! lintian --fail-on error,warning "$(deb libnsclient1)" "$(deb libnsclient-dev)" \
            "$(deb talven-ns)" >"$work/lintian" 2>&1; then
        cat "$work/lintian" >&2
        fail "lintian reports errors or warnings"
    fi
fi

# --- installed in an empty root ------------------------------------------------------
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The root has no C library package: only the dependencies outside the
# three are forced.
if ! dpkg --root="$root" --force-depends --force-script-chrootless -i \
        "$(deb libnsclient1)" "$(deb libnsclient-dev)" "$(deb talven-ns)" >"$work/dpkg.log" 2>&1; then
    cat "$work/dpkg.log" >&2
    fail "dpkg could not install the packages"
fi
status=$(dpkg-query --root="$root" -W -f='${Package} ${Status}\n' | sort)
[[ $status == "libnsclient-dev install ok installed
libnsclient1 install ok installed
talven-ns install ok installed" ]] || fail "installed: $status"

start_nsmd 'service \\nstest\deb 198.18.0.1 4000 3 1 packaged'
write_config
out=$(cd "$work" && "$root/usr/bin/nsadmin" -x 2>/dev/null) && fail "nsadmin -x exited 0"
[[ $out == "Usage: "* ]] || fail "packaged nsadmin -x printed '$out'"
out=$("$root/usr/bin/nsadmin" -l '\\nstest\deb' 2>&1) || fail "packaged nsadmin -l exited $?"
[[ $out == "198.18.0.1 (4000) (auth=packaged)" ]] || fail "packaged nsadmin -l printed '$out'"
grep -q '^\.TH NSADMIN 1' <<<"$(zcat "$root/usr/share/man/man1/nsadmin.1.gz")" ||
    fail "packaged nsadmin.1.gz is not the page"

# A C program against the packaged library, through its pkg-config file.
export PKG_CONFIG_PATH=$root/usr/$libdir/pkgconfig LD_LIBRARY_PATH=$root/usr/$libdir
sanflags=()
[[ -n $san ]] && sanflags=("-fsanitize=$san")
# shellcheck disable=SC2046 # the flags are words
if cc "${sanflags[@]}" -Wall -Wextra -Werror $(pkg-config --cflags talven-ns) -o "$work/consumer" \
        "$src/tests/install/consumer.c" $(pkg-config --libs talven-ns); then
    libs=$(ldd "$work/consumer")
    [[ $libs == *"libnsclient.so.1 => $root/usr/$libdir/libnsclient.so.1 "* ]] ||
        fail "the C program does not load the packaged libnsclient.so.1: $libs"
    out=$("$work/consumer" "$work/tmp" '\\nstest\deb' '198.18.0.1 (4000)' 2>&1) ||
        fail "the C program against the packages: $out"
else
    fail "a C program does not build against the packages"
fi

finish
