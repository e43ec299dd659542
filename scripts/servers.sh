#!/usr/bin/env bash
# Install the Debian packages named on the command line where they are
# missing: the HTTP servers that tests/test_servers.py serves frames from.
# Fails with the reason when it cannot, so a missing server never passes
# for a skipped one.  Services are kept from starting during the install:
# a packaged server would otherwise listen on every address of the machine.
set -euo pipefail

die() { echo "servers: $*" >&2; exit 1; }

missing=()
for pkg in "$@"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

[ "$(id -u)" -eq 0 ] || die "cannot install ${missing[*]}: not root (apt-get install ${missing[*]})"
command -v apt-get >/dev/null || die "cannot install ${missing[*]}: no apt-get here"

policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
fi

export DEBIAN_FRONTEND=noninteractive
install() {
    apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}"
}
echo "servers: installing ${missing[*]}" >&2
install >&2 || { apt-get update -o DPkg::Lock::Timeout=300 >&2 && install >&2; } \
    || die "apt-get could not install ${missing[*]}"
