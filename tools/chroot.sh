#!/usr/bin/env bash
# Debian chroots for the Pythons and the architecture this machine lacks:
#
#   tools/chroot.sh NAME                 make the chroot NAME when missing
#   tools/chroot.sh NAME run CMD...      run CMD inside it as root
#
#   sid             amd64, Debian unstable: CPython 3.14 and 3.15, the newest gcc
#   arm64-bookworm  arm64 under qemu-user-static, Debian 12: CPython 3.11
#   arm64-trixie    the same, Debian 13: CPython 3.13
#   arm64-sid       the same, Debian unstable: CPython 3.14 and 3.15
#
# A chroot is kept in the cache (tools/common.sh: $cache/chroot-NAME,
# outside the checkout) and reused; one without its completion
# stamp (an interrupted run) is made again.  Runs of one chroot take
# turns.  While CMD runs, /proc, /dev
# and the folder named by CHROOT_SHARE (default: none) are mounted inside,
# the last at /share, and every mount this script makes (binfmt_misc too,
# where it was not mounted) is undone on every exit.  pip inside
# reaches PyPI with this machine's certificate bundle ($PIP_CERT); the
# chroot's own pip configuration is empty, so this machine's local
# indexes stay out.  The packages this needs (mmdebstrap, and for the arm64
# chroots qemu-user-static and binfmt-support) come from tools/packages.sh.
set -euo pipefail
tool=chroot
source "$(dirname "$0")/common.sh"
name=${1:?usage: $0 NAME [run CMD...]}
shift
root="$cache/chroot-$name"
stamp="$root/.lurvo-complete"

case "$name" in
    sid | arm64-sid)
        packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv ;;
    arm64-bookworm | arm64-trixie)
        packages=python3-dev,python3-venv ;;
    *) die "unknown chroot $name (sid, arm64-bookworm, arm64-trixie, arm64-sid)" ;;
esac
# NAME is the Debian suite, after the architecture where that is not amd64.
suite=${name#arm64-}
arch=amd64
[ "$suite" = "$name" ] || arch=arm64
packages="$packages,g++,make,ca-certificates"

# The mirror this machine's apt uses.
mirror() {
    local uri
    uri=$(grep -hsE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/* \
          | grep -m1 -E 'debian/?( |$)' | sed -E 's/^URIs: *//; s/^deb +(\[[^]]*\] +)?//; s/ .*//')
    echo "${uri:-http://deb.debian.org/debian}"
}

# arm64 programs run through binfmt_misc, which hands them to qemu.  It is
# one for the whole machine, shared by every run of an arm64 chroot at
# once (make dist has two; a run with another cache may be a third): each
# holds lurvo-binfmt.lock shared while it runs, and where a run of ours
# mounted binfmt_misc, the last run out unmounts it; lurvo-binfmt-setup.lock
# makes the check, the mount and the unmount one run's at a time.  The
# locks and the note of our mount live in /run/lock, which a reboot
# empties, as it empties the mount table.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_state=/run/lock
[ -d "$binfmt_state" ] && [ -w "$binfmt_state" ] || binfmt_state=${TMPDIR:-/tmp}
binfmt_ours="$binfmt_state/lurvo-binfmt.mounted-here"
enable_emulation() {
    "$top/tools/packages.sh" emulation
    exec 6>"$binfmt_state/lurvo-binfmt-setup.lock" 7>"$binfmt_state/lurvo-binfmt.lock"
    flock 6
    flock -s 7
    emulating=1
    if [ ! -e "$binfmt/register" ]; then
        $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
        touch "$binfmt_ours"
    fi
    [ -e "$binfmt/qemu-aarch64" ] || $sudo update-binfmts --enable qemu-aarch64
    [ -e "$binfmt/qemu-aarch64" ] || die "qemu-aarch64 is not registered with binfmt_misc"
    flock -u 6
}

# A run still holding lurvo-binfmt.lock keeps the exclusive lock from being
# taken: it unmounts when it ends.
release_emulation() {
    [ -n "$emulating" ] || return 0
    flock -u 7
    flock 6
    if flock -n 7 && [ -e "$binfmt_ours" ]; then
        $sudo umount -l "$binfmt" || echo "chroot: could not unmount $binfmt" >&2
        rm -f "$binfmt_ours"
    fi
    flock -u 7
    flock -u 6
}

make_chroot() {
    "$top/tools/packages.sh" chroot
    # A run killed before it could unmount would have rm reach /dev.
    if grep -q " $root/" /proc/mounts; then
        die "$root still has mounts inside; unmount them first"
    fi
    $sudo rm -rf "$root"
    local started=$SECONDS
    echo "chroot: making $root (Debian $suite, $arch)"
    # The package index here is a stored snapshot whose Release file has
    # expired, hence the validity check is off.  mmdebstrap hands apt hooks
    # such as "cat >&N" to dash, which knows only the descriptors 0 to 9:
    # it gets the locks' descriptors (ours and dist.sh's) and make's closed,
    # so that its own pipes find low numbers free.
    $sudo mmdebstrap --quiet --variant=apt --arch="$arch" \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        --include="$packages" "$suite" "$root" "deb $(mirror) $suite main" \
        3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
    $sudo touch "$stamp"
    echo "chroot: $name made in $((SECONDS - started)) s"
}

mounted=()
emulating=
undo_mounts() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        $sudo umount -l "${mounted[i]}" || echo "chroot: could not unmount ${mounted[i]}" >&2
    done
    release_emulation
}
trap undo_mounts EXIT
trap 'exit 130' INT TERM

# One run at a time per chroot: a run that ends unmounts what another
# one inside may still use.
mkdir -p "$cache"
exec 9>"$cache/chroot-$name.lock"
flock 9

[ "$arch" = arm64 ] && enable_emulation
[ -f "$stamp" ] || make_chroot
[ "${1:-}" = run ] || exit 0
shift

mount_into() {  # mount arguments..., target inside the chroot
    local target="${@: -1}"
    mkdir -p "$target"
    $sudo mount "${@:1:$#-1}" "$target"
    mounted+=("$target")
}
mount_into -t proc proc "$root/proc"
mount_into --rbind /dev "$root/dev"
if [ -n "${CHROOT_SHARE:-}" ]; then
    mount_into --bind "$CHROOT_SHARE" "$root/share"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$root/etc/lurvo-pip-cert.pem"

emulated=
[ "$arch" = arm64 ] && [ "$(uname -m)" != aarch64 ] && emulated=qemu-user
$sudo env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/lurvo-pip-cert.pem PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
    LURVO_WERROR=1 LURVO_EMULATOR="$emulated" LURVO_EVERY_TEST="${LURVO_EVERY_TEST:-}" \
    "$(command -v chroot)" "$root" "$@"
