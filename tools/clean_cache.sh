#!/usr/bin/env bash
# Empties the cache of tools/common.sh (the Debian chroots, the tools'
# environments, Python 2.7's virtualenv); everything in it is made again
# when a step needs it.  Refuses while anything is mounted inside: a
# chroot in use has /dev bound into it.
set -euo pipefail
tool=clean-cache
source "$(dirname "$0")/common.sh"
[ -d "$cache" ] || { say "$cache does not exist"; exit 0; }
if awk -v dir="$cache/" 'index($2, dir) == 1 {found = 1} END {exit !found}' /proc/mounts; then
    die "mounts inside $cache (a chroot in use?); unmount them first"
fi
$sudo rm -rf "$cache"
say "removed $cache"
