#!/bin/bash
# Checks the bash completion of kestrune-cli against a stand-in kestrune-cli
# that lists two boards. Needs no board and no root:
#
#   scripts/check-completion.sh [path/to/completion]   (default: the one in packaging/)
#
# Ends with "check-completion: PASS n cases" (exit 0) or one line per
# failing case and "check-completion: FAIL" (exit 1).
set -u

here=$(cd "$(dirname "$0")" && pwd)
file=${1:-$here/../packaging/bash-completion/kestrune-cli}
[ -r "$file" ] || { echo "check-completion: FAIL cannot read $file"; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin" "$tmp/files"
# shellcheck disable=SC2016  # the stand-in's own script
printf '#!/bin/sh\n[ "$1" = list ] && printf "1\\tA10KX4Y2\\tFT245R USB FIFO\\t1-1.2\\n2\\tB77\\tFT232R USB UART\\t1-3\\n"\n' \
    >"$tmp/bin/kestrune-cli"
chmod +x "$tmp/bin/kestrune-cli"
printf '; names\n[board pump-house]\nserial = A10KX4Y2\nrelay.1 = pump\nrelay.2 = valve\n\n[board bench]\nport = 1-3\n' >"$tmp/boards.conf"
: >"$tmp/files/blink.txt"
: >"$tmp/files/chase.txt"
PATH=$tmp/bin:$PATH
# shellcheck source=/dev/null
. "$file"

failures=0
cases=0
# expect "WORDS" "EXPECTED": WORDS is the command line up to the cursor, split
# as bash splits it (the last word is the one being completed, often empty).
expect() {
    local -a COMP_WORDS
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *' ' ]] && COMP_WORDS+=("")
    local COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kestrune_cli kestrune-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
    cases=$((cases + 1))
    if [ "$got" != "$2" ]; then
        echo "  - '$1': got '$got', expected '$2'"
        failures=$((failures + 1))
    fi
}

cd "$tmp/files" || exit 1
expect 'kestrune-cli ' 'cycle get list off on play pulse set'
expect 'kestrune-cli o' 'off on'
expect 'kestrune-cli --v' '--version'
expect 'kestrune-cli --' '--board --boards --direct --for --help --json --name --off-at-end --port --quiet --repeat --serial --tick --version'
expect 'kestrune-cli list --' '--boards --json'
expect 'kestrune-cli play --' '--board --boards --direct --name --off-at-end --port --quiet --repeat --serial --tick'
expect 'kestrune-cli on ' '1 2 3 4 5 6 7 8 all'
expect 'kestrune-cli --serial B77 off 2 7 ' '1 3 4 5 6 8 all'
expect 'kestrune-cli on --serial ' 'A10KX4Y2 B77'
expect 'kestrune-cli on --serial A' 'A10KX4Y2'
expect 'kestrune-cli get --serial = ' 'A10KX4Y2 B77'
expect 'kestrune-cli get --board ' '1 2'
expect 'kestrune-cli get --port 1-1' '1-1.2'
expect 'kestrune-cli play --tick ' ''
expect 'kestrune-cli pulse --for 2s --serial B77 ' '1 2 3 4 5 6 7 8 all'
expect 'kestrune-cli cycle --' '--board --boards --direct --for --name --port --serial'
expect 'kestrune-cli play --tick 5 ' 'blink.txt chase.txt'
expect 'kestrune-cli play c' 'chase.txt'
expect 'kestrune-cli play blink.txt ' ''
expect 'kestrune-cli set ' ''
expect "kestrune-cli get --boards $tmp/boards.conf --name " 'bench pump-house'
expect "kestrune-cli on --name pump-house --boards $tmp/boards.conf p" 'pump'
expect "kestrune-cli off --boards = $tmp/boards.conf --name pump-house pump " '1 2 3 4 5 6 7 8 all valve'

if [ "$failures" -eq 0 ]; then
    echo "check-completion: PASS $cases cases"
    exit 0
fi
echo "check-completion: FAIL $failures of $cases cases"
exit 1
