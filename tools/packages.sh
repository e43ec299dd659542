#!/usr/bin/env bash
# The one way the project installs Debian packages: every step that needs
# one calls this with what it needs, by group or by package name, and
# nothing else runs apt-get.
#
#   tools/packages.sh GROUP|PACKAGE...
#
#   servers    the HTTP servers tests/test_servers.py serves frames from
#   netlab     the link lab's namespaces, shaping and loss (ip, tc, nft)
#   fuzz       clang (its libFuzzer runtime: tools/fuzz.sh names the package)
#   valgrind   valgrind
#   chroot     mmdebstrap, for the Debian chroots of tools/chroot.sh
#   emulation  qemu-user-static, binfmt-support and arch-test, for the arm64 chroot
#   view       the view's virtual screen (Xvfb), keys sent to it (xdotool), and
#              Tk for Debian's own Pythons (those of the chroots)
#
# Only what is missing is installed (with --no-install-recommends); the
# package index is fetched again when an install fails.  Fails with the
# reason when it cannot install, so that a missing package never passes for
# a skipped test.  Services are kept from starting during the install: a
# packaged server would otherwise listen on every address of the machine.
set -euo pipefail
tool=packages
source "$(dirname "$0")/common.sh"

wanted=()
for name in "$@"; do
    case "$name" in
        servers)   wanted+=(nginx lighttpd apache2 busybox webfs mini-httpd) ;;
        netlab)    wanted+=(iproute2 nftables) ;;
        fuzz)      wanted+=(clang) ;;
        valgrind)  wanted+=(valgrind) ;;
        chroot)    wanted+=(mmdebstrap) ;;
        emulation) wanted+=(qemu-user-static binfmt-support arch-test) ;;
        view)      wanted+=(xvfb xdotool python3-tk) ;;
        *)         wanted+=("$name") ;;
    esac
done

missing=()
for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

command -v apt-get >/dev/null || die "cannot install ${missing[*]}: no apt-get here"
if [ -n "$sudo" ] && ! sudo -n true 2>/dev/null; then
    die "cannot install ${missing[*]}: not root (as root: apt-get install ${missing[*]})"
fi

policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    trap '$sudo rm -f "$policy"' EXIT
fi

apt_get() {
    # Other work on the machine may hold the package lock for a while.
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=900 "$@" >&2
}
say "installing ${missing[*]}" >&2
apt_get install -y --no-install-recommends "${missing[@]}" \
    || { apt_get update && apt_get install -y --no-install-recommends "${missing[@]}"; } \
    || die "apt-get could not install ${missing[*]}"
