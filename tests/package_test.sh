#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks what a host gets from it,
# unpacked into a scratch root: a binary that runs and tells the package's version, every
# file where Debian wants it, a unit that systemd-analyze accepts, no error from lintian.
# Then a user's install under /usr/local. Exits 77 (skipped) where tools are missing.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION CMAKE CPACK SANITIZERS
set -euo pipefail
build=$1
source=$2
version=$3
cmake=$4
cpack=$5
sanitize=$6

if [[ -n $sanitize ]]; then
    echo "SKIPPED: a build with -fsanitize=$sanitize links sanitizer runtimes into the binary;"
    echo "the package is checked in a build without sanitizers"
    exit 77
fi
missing=()
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps lintian systemd-analyze gzip; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "SKIPPED: missing ${missing[*]} (scripts/install-deps.sh installs them)"
    exit 77
fi

scratch=$(mktemp -d "$build/package_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
step() {
    printf '%s: %ss\n' "$1" $((SECONDS - started))
    started=$SECONDS
}
started=$SECONDS

(cd "$build" && "$cpack" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
}
deb=$scratch/out/flenko_${version}_$(dpkg --print-architecture).deb
if [[ ! -f $deb ]]; then
    echo "FAIL: no $(basename "$deb"); cpack made: $(cd "$scratch/out" && echo *.deb)"
    exit 1
fi
step "cpack -G DEB"

dpkg-deb --control "$deb" "$scratch/control"
field() { sed -n "s/^$1: //p" "$scratch/control/control"; }
[[ $(field Package) == flenko ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), not $version"
[[ $(field Section) == net ]] || fail "Section: $(field Section)"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
# Found by dpkg-shlibdeps from the binary, not written by hand.
for library in libc6 libstdc++6; do
    [[ $(field Depends) == *"$library ("* ]] || fail "Depends: $(field Depends) lacks $library"
done
grep -qx /etc/default/flenko "$scratch/control/conffiles" || fail "/etc/default/flenko is not a conffile"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for file in usr/bin/flenko usr/share/man/man1/flenko.1.gz usr/lib/systemd/system/flenko.service \
    usr/share/bash-completion/completions/flenko etc/default/flenko \
    usr/share/doc/flenko/copyright usr/share/doc/flenko/changelog.gz \
    usr/share/doc/flenko/README.md.gz; do
    [[ -f $root/$file ]] || fail "the package lacks /$file"
done
[[ $("$root/usr/bin/flenko" --version) == "$version" ]] ||
    fail "the packaged binary's --version says $("$root/usr/bin/flenko" --version), not $version"
gzip -dc "$root/usr/share/man/man1/flenko.1.gz" | cmp -s - "$source/docs/flenko.1" ||
    fail "the packaged manual page is not docs/flenko.1"
head -n 1 "$source/docs/flenko.1" | grep -qF "\"flenko $version\"" ||
    fail "docs/flenko.1's title does not name version $version: $(head -n 1 "$source/docs/flenko.1")"
unit=$root/usr/lib/systemd/system/flenko.service
# shellcheck disable=SC2016 # the unit's own variable, unexpanded
grep -qx 'ExecStart=/usr/bin/flenko -s $FLENKO_OPTIONS' "$unit" || fail "unit: $(grep ExecStart "$unit")"
grep -qx 'EnvironmentFile=-/etc/default/flenko' "$unit" || fail "unit: $(grep EnvironmentFile "$unit")"
step "contents"

# Verified as installed: in the scratch root, beside a copy of this system's own units
# (the targets it is ordered after), with its manual page where man looks.
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/"
if ! verified=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" flenko.service 2>&1) ||
    [[ -n $verified ]]; then
    fail "systemd-analyze verify: $verified"
fi
step "systemd-analyze verify"

# Lintian warns that it runs as root, which is what CI is; only its tags count.
lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || true
grep -v '^running with root privileges' "$scratch/lintian.log" || true
if grep -q '^E: ' "$scratch/lintian.log"; then
    fail "lintian reports errors"
fi
step "lintian"

# A user's install: under the prefix, the unit naming that prefix's binary and options,
# and a second install that keeps the options an admin wrote.
user=$scratch/user
DESTDIR=$user "$cmake" --install "$build" --prefix /usr/local >/dev/null
for file in bin/flenko share/man/man1/flenko.1.gz lib/systemd/system/flenko.service \
    share/bash-completion/completions/flenko etc/default/flenko; do
    [[ -f $user/usr/local/$file ]] || fail "cmake --install lacks /usr/local/$file"
done
unit=$user/usr/local/lib/systemd/system/flenko.service
# shellcheck disable=SC2016
grep -qx 'ExecStart=/usr/local/bin/flenko -s $FLENKO_OPTIONS' "$unit" ||
    fail "user's unit: $(grep ExecStart "$unit")"
grep -qx 'EnvironmentFile=-/usr/local/etc/default/flenko' "$unit" ||
    fail "user's unit: $(grep EnvironmentFile "$unit")"
echo 'FLENKO_OPTIONS="-t"' >"$user/usr/local/etc/default/flenko"
DESTDIR=$user "$cmake" --install "$build" --prefix /usr/local >/dev/null
grep -qx 'FLENKO_OPTIONS="-t"' "$user/usr/local/etc/default/flenko" ||
    fail "a second cmake --install overwrote /usr/local/etc/default/flenko"
step "cmake --install"

[[ $failures -eq 0 ]] && echo "package: $(basename "$deb") checked"
exit $((failures > 0))
