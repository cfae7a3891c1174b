#!/usr/bin/env bash
# The bash completion offers every option that the binary's --help names, and the values
# and hosts that belong after them; in plain bash, and again with the bash-completion
# package's helpers loaded where it is installed.
# Usage: bash_completion_test.sh FLENKO_BINARY COMPLETION_FILE
set -uo pipefail
binary=$1
completion=$2
failures=0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The hosts a completion may offer, whatever this machine's /etc/hosts holds.
printf '192.0.2.7 benchhost.example benchhost\n' >"$scratch/hosts"

# Every short letter of the usage text and every --name, as --help prints them.
help=$("$binary" --help) || {
    echo "FAIL: $binary --help exited $?"
    exit 1
}
mapfile -t help_options < <(grep -oP -- '(?<![\w-])-[[:alpha:]?](?=[\s)]|$)|--[a-z][a-z-]*' <<<"$help" |
    sort -u)
if [[ ${#help_options[@]} -lt 12 ]]; then
    echo "FAIL: only ${#help_options[@]} options found in --help: ${help_options[*]}"
    exit 1
fi

# Prints what the completion offers with the cursor at the end of the line, one per line,
# sorted; the line is given to the function the way readline gives it.
cat >"$scratch/complete.bash" <<'EOF'
[[ -n ${WITH_HELPERS:-} ]] && source /usr/share/bash-completion/bash_completion
source "$COMPLETION"
complete_line() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *[[:space:]] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _flenko flenko "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}
complete_line "$1"
EOF

offered() {
    COMPLETION=$completion HOSTFILE=$scratch/hosts HOME=$scratch \
        bash --norc --noprofile "$scratch/complete.bash" "$1"
}

fail() {
    echo "FAIL ($mode): $*"
    failures=$((failures + 1))
}

# Each line offered for LINE includes each of the words after it.
expect_offered() {
    local line=$1 got word
    shift
    got=$(offered "$line")
    for word in "$@"; do
        grep -qxF -- "$word" <<<"$got" || fail "[$line] does not offer '$word'; offers: ${got//$'\n'/ }"
    done
}

expect_nothing() {
    local got
    got=$(offered "$1")
    [[ -z $got ]] || fail "[$1] offers: ${got//$'\n'/ }"
}

run_cases() {
    # Long options that take a value are offered with their "=".
    local option expected=()
    for option in "${help_options[@]}"; do
        if grep -qE -- "^ +$option=" <<<"$help"; then
            expected+=("$option=")
        else
            expected+=("$option")
        fi
    done
    # And the letters that only print the usage text.
    expect_offered "flenko -" "${expected[@]}" -d '-?'
    expect_offered "flenko -t --ver" --verbose --version
    expect_offered "flenko --window=" auto
    expect_offered "flenko --offload=" auto off
    local algorithms=()
    read -ra algorithms </proc/sys/net/ipv4/tcp_available_congestion_control 2>/dev/null
    [[ ${#algorithms[@]} -gt 0 ]] && expect_offered "flenko -t --congestion=" "${algorithms[@]}"
    expect_offered "flenko -b " 1k 32k
    expect_offered "flenko -h bench" benchhost
    expect_offered "flenko -t -b 8k bench" benchhost
    expect_offered "flenko -tb 8k --time 3 " benchhost
    expect_offered "flenko -s " -t -u --json
    # Parsing stops at the operand; a server takes none; -p's port is anybody's guess.
    expect_nothing "flenko -t benchhost "
    expect_nothing "flenko -t benchhost -"
    expect_nothing "flenko -s bench"
    expect_nothing "flenko -p "
}

mode="plain bash"
run_cases
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
    mode="with bash-completion"
    export WITH_HELPERS=1
    run_cases
else
    echo "bash-completion is not installed: checked in plain bash only"
fi

[[ $failures -eq 0 ]] && echo "bash completion: every option of --help and the values after them are offered"
exit $((failures > 0))
