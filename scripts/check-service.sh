#!/usr/bin/env bash
# Runs the packaged server under systemd for real, where the test suite can only verify the
# unit: boots a throwaway container (an overlay of this machine's own root, so nothing here
# changes, with a network of its own), installs the Debian package in it, and checks that
# the hardened flenko.service serves a TCP client over loopback and a UDP client from a
# namespace of its own, takes its options from /etc/default/flenko (refusing a client
# outside --allow), gives up on a bad one, and leaves nothing behind when purged. Run it after changing the unit or what the server
# asks of the system (a new system call or socket family, a file it reads). Needs root and
# systemd-nspawn (apt-get install systemd-container); takes about a minute.
# Usage: scripts/check-service.sh [PACKAGE]   (default: build/flenko_*.deb, see README.md)
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(build/flenko_*.deb)
package=${1:-${packages[-1]}}
if [[ -z $package || ! -f $package ]]; then
    echo "No package: cd build && cpack -G DEB, or give its path" >&2
    exit 1
fi
command -v systemd-nspawn >/dev/null || {
    echo "systemd-nspawn is missing: apt-get install systemd-container" >&2
    exit 1
}

check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
cp "$package" "$check/flenko.deb"

# What runs inside, once the container has booted.
cat >"$check/inside.sh" <<'EOF'
#!/bin/bash
exec >/check/log 2>&1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# What the server printed since it was last started.
server_lines() {
    journalctl -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -p InvocationID --value flenko)"
}
journal_has() {
    for _ in $(seq 50); do
        server_lines | grep -q -- "$1" && return 0
        sleep 0.2
    done
    fail "the journal never shows: $1"
}
restart_with() {
    printf 'FLENKO_OPTIONS="%s"\n' "$1" >/etc/default/flenko
    systemctl restart flenko
}

echo "== install, enable, a TCP run over loopback"
dpkg -i /check/flenko.deb || fail "dpkg -i"
[ "$(systemctl is-enabled flenko)" = disabled ] || fail "enabled by installing"
systemctl enable --now flenko
journal_has "UDP server listening."
journal_has "TCP server listening."
status=$(cat /proc/"$(systemctl show -p MainPID --value flenko)"/status)
echo "$status" | grep -E '^(Uid|CapEff|CapBnd|NoNewPrivs|Seccomp):'
echo "$status" | grep -qE '^Uid:\s+0\s' && fail "runs as root"
echo "$status" | grep -qE '^CapEff:\s+0+$' || fail "has capabilities"
echo "$status" | grep -qE '^NoNewPrivs:\s+1$' || fail "may gain privileges"
echo "$status" | grep -qE '^Seccomp:\s+2$' || fail "no system call filter"
flenko -t -b 1k ::1 | grep -q '^Done.$' || fail "TCP run over loopback"

# Short phases and JSON lines from /etc/default/flenko; a UDP client in a namespace
# joined by a virtual link, since a UDP client and server cannot share a host's port.
echo "== options from /etc/default/flenko, a UDP run from another namespace"
restart_with "--time=1 --json"
journal_has "UDP server listening."
ip netns add client
ip link add flk0 type veth peer name flk1 netns client
ip addr add fd00:f1e::1/64 dev flk0 nodad
ip link set flk0 up
ip -n client addr add fd00:f1e::2/64 dev flk1 nodad
ip -n client link set flk1 up
ip netns exec client flenko -u -b 1k --time=1 fd00:f1e::1 | grep -q '^Done.$' || fail "UDP run"
journal_has '"protocol":"udp"'

echo "== a client outside --allow"
restart_with "--allow=::1/128 --max-session=600"
journal_has "TCP server listening."
ip netns exec client flenko -t -b 1k --time=1 fd00:f1e::1 >/dev/null 2>&1
journal_has "TCP connection from fd00:f1e::2 refused"

echo "== a bad option"
restart_with "--no-such-option"
for _ in $(seq 60); do
    [ "$(systemctl is-active flenko)" = failed ] && break
    sleep 1
done
[ "$(systemctl is-active flenko)" = failed ] || fail "a bad option is retried for ever"
server_lines | grep -q 'Usage: flenko' || fail "no usage text for a bad option"

echo "== purge"
dpkg --purge flenko || fail "dpkg --purge"
ls /etc/systemd/system/*.wants/flenko.service /etc/default/flenko 2>/dev/null && fail "left behind"
echo "failures: $failures"
systemctl poweroff
EOF
chmod +x "$check/inside.sh"
cat >"$check/flenko-check.service" <<'EOF'
[Unit]
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/check/inside.sh
EOF

# In a mount namespace of its own, gone when the container stops.
mkdir "$check/root"
# shellcheck disable=SC2016 # expanded by the inner shell
timeout 300 unshare --mount bash -c '
    set -e
    mount --make-rprivate /
    mount -t tmpfs tmpfs "$1/root"
    mkdir "$1/root/upper" "$1/root/work" "$1/root/merged"
    mount -t overlay overlay -o lowerdir=/,upperdir="$1/root/upper",workdir="$1/root/work" \
        "$1/root/merged"
    systemd-nspawn -q -D "$1/root/merged" --private-network --register=no --keep-unit \
        --link-journal=no -M flenko-check --bind="$1:/check" \
        --bind-ro="$1/flenko-check.service:/etc/systemd/system/flenko-check.service" \
        --boot systemd.wants=flenko-check.service' _ "$check" >"$check/nspawn.log" 2>&1 || true
if [[ ! -f $check/log ]]; then
    cat "$check/nspawn.log"
    echo "The container did not run the check"
    exit 1
fi
cat "$check/log"
grep -qx 'failures: 0' "$check/log"
