#!/usr/bin/env bash
# Builds flenko and measures this machine's own network stack: TCP over loopback, then
# UDP between two network namespaces (a UDP client and server cannot share one port on
# one host). Servers are started and stopped here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DFLENKO_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target flenko
flenko=$PWD/build/release/flenko
port=${FLENKO_PORT:-18767}

pids=()
namespaces=()
cleanup() {
    for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT

echo "=== TCP over loopback (::1, port $port)"
"$flenko" -s -t -p "$port" >/dev/null &
pids+=($!)
sleep 0.5
"$flenko" -t -p "$port" "$@" ::1

echo "=== UDP between two network namespaces"
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "skipped: needs root and iproute2 to make two network namespaces"
    exit 0
fi
server_ns=flenko-server-$$
client_ns=flenko-client-$$
if ! ip netns add "$server_ns" || ! ip netns add "$client_ns"; then
    namespaces=("$server_ns" "$client_ns")
    echo "skipped: cannot make network namespaces here"
    exit 0
fi
namespaces=("$server_ns" "$client_ns")
ip link add "fs$$" netns "$server_ns" type veth peer name "fc$$" netns "$client_ns"
ip -n "$server_ns" addr add fd00:f1e::1/64 dev "fs$$" nodad
ip -n "$client_ns" addr add fd00:f1e::2/64 dev "fc$$" nodad
for ns in "$server_ns" "$client_ns"; do ip -n "$ns" link set lo up; done
ip -n "$server_ns" link set "fs$$" up
ip -n "$client_ns" link set "fc$$" up
ip netns exec "$server_ns" "$flenko" -s -u -p "$port" >/dev/null &
pids+=($!)
sleep 0.5
ip netns exec "$client_ns" "$flenko" -u -p "$port" "$@" fd00:f1e::1
