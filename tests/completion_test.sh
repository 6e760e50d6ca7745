#!/usr/bin/env bash
# completion_test - the bash completion of nsadmin and nsquery offers what
# the programs accept, at the places where they accept it.
#
# Usage (inside the network sandbox): completion_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=install/testlib.sh
source "$(dirname "$0")/install/testlib.sh"

# shellcheck source=/dev/null
source "$src/completion/nsadmin"
# shellcheck source=/dev/null
source "$src/completion/nsquery"
complete -p nsadmin >/dev/null || fail "nsadmin completion not registered"
complete -p nsquery >/dev/null || fail "nsquery completion not registered"

# Completes the command line given as words (the last one is the word under
# the cursor) and prints the offered words sorted, one line.
offered() {
    local fn=_$1
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    "$fn"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd' '
}
expect() {  # "words" command line...
    local want=$1 got
    shift
    got=$(offered "$@")
    [[ $got == "$want" ]] || fail "'$*': offered '$got', expected '$want'"
}

all="-A -L -P -a -b -d -l -n -p"
expect "$all" nsadmin ''
expect "$all" nsadmin -n -
expect "-l" nsadmin -L -l
expect "" nsadmin -l ''                       # the name to look up
expect "0 256 512 768" nsadmin -d ''
expect "0 256 512 768" nsadmin -nd ''         # -d last in a cluster
expect "$all" nsadmin -ldx -                  # -l took "dx" as its argument
expect "$all" nsadmin -l '\\h\s' -b 198.18.0.255/16024 -
expect "" nsadmin -a '\\h\s' ''               # -a takes the rest of the line
expect "" nsadmin -a '\\h\s' 198.18.0.1/4000 3 1 -
expect "" nsadmin -na x 1.2.3.4/5 3 1 -
expect "" nsadmin word -                      # options end at the first other word

commands="adminhost census check connect lookup names"
expect "$commands" nsquery ''
expect "lookup" nsquery lo
expect "$commands" nsquery --json ''
expect "10 30 5 60" nsquery --timeout ''
expect "lookup" nsquery --timeout 5 lo
expect "--help --json --timeout" nsquery -
expect "--forward" nsquery lookup '\\h\s' --f
expect "" nsquery names --f
expect "" nsquery names ''
expect "--broadcast --help --json --timeout --wait -b" nsquery census -
expect "1 10 2 5" nsquery check --wait ''
expect "--critical" nsquery check --lookup '\\h\s' -w 0.2 --cr
expect "--min-backups" nsquery --timeout 9 check -b 198.18.0.255/16024 --mi
expect "" nsquery check --lookup ''           # the name to look up

# What the programs themselves say they accept must be offered.
if [[ -x $bin/nsadmin ]]; then
    usage=$("$bin/nsadmin" -x 2>/dev/null || true)
    for o in $(grep -oE '\[ -[A-Za-z]' <<<"$usage" | cut -c3-) -a -b; do
        [[ " $all " == *" $o "* ]] || fail "nsadmin accepts $o, the completion does not offer it"
    done
fi
if [[ -x $bin/nsquery ]]; then
    help=$("$bin/nsquery" --help 2>&1 || true)
    offers="$(offered nsquery -) $(offered nsquery lookup x -) $(offered nsquery census -)"
    offers+=" $(offered nsquery check -)"
    for o in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
        [[ " $offers " == *" $o "* ]] || fail "nsquery --help names $o, the completion does not offer it"
    done
    for c in ${commands}; do
        grep -qw -- "$c" <<<"$help" || fail "nsquery --help does not name the command $c"
    done
fi

finish
