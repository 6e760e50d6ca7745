#!/usr/bin/env bash
# man_test - the manual pages render without a warning, every built program
# has one, and each page documents the interface the program really has:
# nsadmin's options and usage line, and every subcommand and long option that
# the other programs' --help names.  The library's pages (section 3): every
# function of the public headers resolves with `man 3 NAME` in an installed
# tree, and each page's example compiles as C with -Wall -Wextra -Werror
# against the installed library (pkg-config) and runs against a stand-in
# name server.
#
# Usage (inside the network sandbox): man_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

# Plain text of a page (tables laid out), without overstriking, on long lines.
render() { groff -t -man -Tascii -rLL=200n -P-cbou "$1" 2>/dev/null; }

pages=("$src"/man/*.[1-9] "$src"/man/man3/*.3)
((${#pages[@]} >= 2)) || fail "no manual pages in $src/man"
for page in "${pages[@]}"; do
    if ! warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1) || [[ -n $warnings ]]; then
        fail "${page##*/} does not render cleanly: $warnings"
    fi
    # man-db reads the page's name line for whatis(1); it must be "name \- text".
    if ! sed -n '/^\.SH NAME/{n;p;q}' "$page" | grep -q ' \\- '; then
        fail "${page##*/}: NAME line without ' \\- '"
    fi
done
[[ -f $src/man/talven.conf.5 ]] || fail "talven.conf.5 missing"
for page in "$src"/man/man3/*.3; do
    [[ $(sed -n '/^\.SH EXAMPLES$/,/^\.SH/p' "$page" | grep -c '^\.EX$') -ge 1 ]] ||
        fail "${page##*/} has no EXAMPLES section with a program"
done

# Every word of the list must appear in the page's text, as a whole word.
documents() {  # page word...
    local text page=$1
    shift
    text=$(render "$page")
    for w in "$@"; do
        grep -qE -- "(^|[^[:alnum:]_-])${w}([^[:alnum:]_-]|$)" <<<"$text" ||
            fail "${page##*/} does not mention $w"
    done
}
long_options() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

# The Wireshark dissector's page names every field, warning and preference
# that the dissector has.
lua=$src/wireshark/talven-ns.lua
page=$src/man/talven-ns-wireshark.7
if [[ -f $page ]]; then
    mapfile -t names < <({
        grep -oE '"talvenns\.[a-z_.]+"' "$lua" | tr -d '"'
        sed -nE 's/^proto\.prefs\.([a-z_]+) = .*/talvenns.\1/p' "$lua"
    } | sort -u)
    ((${#names[@]} > 20)) || fail "found only ${#names[@]} names in talven-ns.lua"
    documents "$page" "${names[@]}"
else
    fail "talven-ns-wireshark.7 missing"
fi

for prog in nsadmin nsquery nsmd nslogd; do
    [[ -x $bin/$prog ]] || continue
    page=$src/man/$prog.1
    if [[ ! -f $page ]]; then
        fail "$prog has no manual page"
        continue
    fi
    case $prog in
        nsadmin)
            # The options are those of the usage line, plus -a and -b, which it
            # does not name; the page quotes the usage line exactly.
            usage=$(cd "$work" && "$bin/nsadmin" -x 2>/dev/null || true)
            [[ $usage == "Usage: "* ]] || { fail "nsadmin -x printed '$usage'"; continue; }
            mapfile -t opts < <(grep -oE '\[ -[A-Za-z]' <<<"$usage" | cut -c3-)
            documents "$page" "${opts[@]}" -a -b
            text=$(render "$page")
            grep -qF -- "${usage/$bin\//}" <<<"$text" || fail "nsadmin.1 does not quote the usage line: ${usage/$bin\//}"
            ;;
        *)
            help=$("$bin/$prog" --help 2>&1 || true)
            mapfile -t opts < <(long_options <<<"$help")
            ((${#opts[@]} > 0)) || fail "$prog --help names no option"
            documents "$page" "${opts[@]}"
            if [[ $prog == nsquery ]]; then
                documents "$page" names adminhost connect lookup census check -b -w -c \
                    NSNAME nsname_master_up nsname_backups nsname_lookup_success \
                    nsname_lookup_seconds nsname_census_seconds
            fi
            ;;
    esac
done

# --- the library's pages, installed ------------------------------------------
libdir=$(cache NS_INSTALL_LIBDIR)
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log" >&2; exit 1; }
# Every function resolves to a page whose NAME line names it.
while read -r fn; do
    if ! found=$(man -M "$prefix/share/man" -w 3 "$fn" 2>/dev/null); then
        fail "man 3 $fn finds no page"
    elif ! grep -qE "(^|, )$fn(,| \\\\-)" <<<"$(zcat "$found" | sed -n '/^\.SH NAME/{n;p}')"; then
        fail "man 3 $fn gives ${found##*/}, which does not name it"
    fi
done < <("$src/tests/install/public_symbols.sh" --functions "$src/include/talven-ns")

# The C program of a page's EXAMPLES section (its first .EX block), with the
# roff escapes that the examples use undone.
example() {
    awk '/^\.SH EXAMPLES$/ { s = 1; next } s && /^\.SH/ { exit }
         s && /^\.EX$/ { e = 1; next } e && /^\.EE$/ { exit } e { print }' "$1" |
        perl -pe 's/\\(e|-|&|\(aq|\(dq)/$1 eq "e" ? "\\" : $1 eq "-" ? "-" : $1 eq "&" ? "" : $1 eq "(aq" ? "\x27" : "\""/ge'
}
san=$(cache NS_SANITIZE)
sanflags=()
[[ -n $san ]] && sanflags=("-fsanitize=$san")
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig LD_LIBRARY_PATH=$prefix/$libdir
read -ra cflags <<<"$(pkg-config --cflags talven-ns)"
read -ra libs <<<"$(pkg-config --libs talven-ns)"
start_nsmd 'service \\nstest\example 198.18.0.1 4000 3 1 hello' 'admin nstest'
write_config
mkdir -p "$work/examples"
for page in "$src"/man/man3/*.3; do
    name=$(basename "$page" .3)
    prog=$work/examples/$name
    example "$page" >"$prog.c"
    if ! cc "${sanflags[@]}" -Wall -Wextra -Werror "${cflags[@]}" -o "$prog" "$prog.c" \
            "${libs[@]}" 2>"$prog.log"; then
        fail "the example of $name.3 does not compile: $(cat "$prog.log")"
    elif ! (cd "$work" && timeout 60 "$prog" >"$prog.out" 2>"$prog.err"); then
        fail "the example of $name.3 failed: $(cat "$prog.out" "$prog.err")"
    fi
done

finish
