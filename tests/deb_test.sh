#!/usr/bin/env bash
# deb_test - builds the Debian package with CPack and checks its control
# fields, its file list and that the packaged program runs.
#
# Usage (inside the network sandbox): deb_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
fi
debs=("$work"/out/*.deb)
((${#debs[@]} == 1)) || { echo "FAIL: expected one package, got: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}

# --- control fields -----------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == talven-ns ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$(cache CMAKE_PROJECT_VERSION)" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Description) ]] || fail "no Description"
# The dependencies are what the programs link: the C library, and the C++
# runtime if a program links it dynamically; nothing else.
depends=$(field Depends)
[[ $depends == *"libc6 (>= "* ]] || fail "Depends without a versioned libc6: '$depends'"
# A sanitized build's programs link the sanitizers' runtimes as well.
san=$(cache NS_SANITIZE)
IFS=',' read -ra deps <<<"$depends"
for d in "${deps[@]}"; do
    d=${d# }
    case ${d%% *} in
        libc6|libstdc++6|libgcc-s1) ;;
        libasan*|libubsan*|liblsan*) [[ -n $san ]] || fail "unexpected dependency $d" ;;
        *) fail "unexpected dependency $d" ;;
    esac
done

# --- file list ------------------------------------------------------------------
# Everything lies under /usr; regular files as listed by dpkg-deb -c.
dpkg-deb -c "$deb" >"$work/list"
grep -v ' \./usr/' "$work/list" | grep -v ' \./$' && fail "files outside /usr"
awk '$1 ~ /^-/ { sub(/^\.\/usr\//, "", $6); print $6 }' "$work/list" | sort >"$work/files"
expected_files "$(cache NS_INSTALL_LIBDIR)" "$bin" | sort -u >"$work/expected"
missing=$(comm -13 "$work/files" "$work/expected")
[[ -z $missing ]] || fail "missing from the package: $missing"
# Besides the expected files only the CMake export's per-configuration file.
extra=$(comm -23 "$work/files" "$work/expected" | grep -v '/cmake/TalvenNS/TalvenNSTargets-[a-z]*\.cmake$' || true)
[[ -z $extra ]] || fail "unexpected files in the package: $extra"
awk '$1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" { print $6 }' "$work/list" |
    grep . && fail "programs without mode 755"

# --- the packaged program runs ---------------------------------------------------
dpkg-deb -x "$deb" "$work/root"
out=$(cd "$work" && "$work/root/usr/bin/nsadmin" -x 2>/dev/null) && fail "nsadmin -x exited 0"
[[ $out == "Usage: "* ]] || fail "packaged nsadmin -x printed '$out'"
zcat "$work/root/usr/share/man/man1/nsadmin.1.gz" | grep -q '^\.TH NSADMIN 1' ||
    fail "packaged nsadmin.1.gz is not the page"

finish
