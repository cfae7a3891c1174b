#!/usr/bin/env bash
# Installs what building, testing and the local benchmark need on a fresh Debian machine.
set -euo pipefail

# dpkg-dev, lintian and systemd (for systemd-analyze) check the Debian package and its
# unit; bash-completion's helpers are the second setting the completion is tested in.
packages=(g++ cmake make libgtest-dev nlohmann-json3-dev libboost-math-dev groff-base iproute2 nftables util-linux python3-matplotlib
    dpkg-dev lintian systemd bash-completion)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
