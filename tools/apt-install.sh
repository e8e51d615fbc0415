#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, with one
# `apt-get update` first. A name of the form pkg:arch adds that architecture
# to dpkg (multiarch) when it is foreign and not there yet. Does nothing
# unless it runs as root on a system with apt-get.
#
#   tools/apt-install.sh clang libclang-rt-14-dev libmpfr-dev:arm64
#
# Multiarch needs libc6 at one version on every architecture. A mirror can
# carry a security update of libc6 for some architectures before the others
# (seen: 2.36-9+deb12u15 for amd64, arm64, armhf and i386 while s390x had
# only u14), and apt then finds no solution at all. So when the plain install
# fails, libc6 of every architecture, and libc6-i386 (amd64's 32-bit libc,
# which gcc's multilib needs), is pinned to the newest version that every
# architecture has, and the install is tried once more.
set -euo pipefail
command -v apt-get >/dev/null && [ "$(id -u)" = 0 ] || exit 0
export DEBIAN_FRONTEND=noninteractive

native=$(dpkg --print-architecture)
missing=()
for pkg in "$@"; do
    arch=${pkg#*:}
    # Read whole, not piped: under pipefail, grep -q quitting at its match
    # can kill dpkg with SIGPIPE and make a present architecture look absent.
    if [ "$arch" != "$pkg" ] && [ "$arch" != "$native" ] \
        && ! grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)"; then
        dpkg --add-architecture "$arch"
    fi
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ "${#missing[@]}" -gt 0 ] || exit 0

apt-get update -qq
apt-get install -y -qq "${missing[@]}" && exit 0

arches=("$native")
while read -r a; do [ -z "$a" ] || arches+=("$a"); done <<<"$(dpkg --print-foreign-architectures)"
common=""
for a in "${arches[@]}"; do
    versions=$(apt-cache madison "libc6:$a" | awk '{print $3}' | sort -u)
    if [ "$a" = "$native" ]; then common=$versions
    else common=$(comm -12 <(printf '%s\n' "$common") <(printf '%s\n' "$versions")); fi
done
version=$(sort -V <<<"$common" | tail -n 1)
if [ -z "$version" ]; then
    echo "apt-install.sh: no version of libc6 is available for all of: ${arches[*]}" >&2
    exit 1
fi
echo "apt-install.sh: retrying with libc6 $version on ${arches[*]}" >&2
pins=()
for a in "${arches[@]}"; do pins+=("libc6:$a=$version"); done
apt-cache madison libc6-i386 | awk '{print $3}' | grep -qx "$version" && pins+=("libc6-i386=$version")
apt-get install -y -qq --allow-downgrades "${missing[@]}" "${pins[@]}"
