#!/usr/bin/env bash
# Runs a command where arm64 programs start directly, through qemu's
# user-mode emulator, as they do on a board: the machine's own binfmt_misc
# registration if it has one, otherwise a private binfmt_misc instance in a
# user and mount namespace of the command's own (Linux 6.7 and later), which
# leaves the machine's registrations as they are. Exits 77 where neither can
# be had.
# Usage: with-binfmt.sh COMMAND [ARGS...]
set -euo pipefail

conf=/usr/lib/binfmt.d/qemu-aarch64.conf
if [ ! -r "$conf" ]; then
  echo "with-binfmt: $conf is missing (qemu-user-static)" >&2
  exit 77
fi

if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then
  exec "$@"
fi

# The inner shell registers the emulator, then becomes the command.
setup='mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
  grep -v "^#" "$0" > /proc/sys/fs/binfmt_misc/register'
in_namespace=(unshare --user --map-root-user --mount --fork bash -c)
if ! "${in_namespace[@]}" "$setup" "$conf" 2>/dev/null; then
  echo "with-binfmt: no private binfmt_misc here (needs Linux 6.7 and user namespaces)" >&2
  exit 77
fi
exec "${in_namespace[@]}" "$setup && exec \"\$@\"" "$conf" "$@"
