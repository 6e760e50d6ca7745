#!/usr/bin/env bash
# man_test - the manual pages render without a warning, every built program
# has one, and each page documents the interface the program really has:
# nsadmin's options and usage line, and every subcommand and long option that
# the other programs' --help names.
#
# Usage (inside the network sandbox): man_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

# Plain text of a page (tables laid out), without overstriking, on long lines.
render() { groff -t -man -Tascii -rLL=200n -P-cbou "$1" 2>/dev/null; }

pages=("$src"/man/*.[1-9])
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

finish
