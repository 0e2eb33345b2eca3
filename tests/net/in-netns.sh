#!/bin/sh
# in-netns.sh CMD [ARG...]: runs CMD in a fresh network namespace whose loopback is up, so
# that it may use fixed ports such as 111 without touching the host's.
# As root: unshare -n; otherwise in a user namespace of its own: unshare -rn.
# Exit 77 (skipped) only when no such namespace can be made; under CI=true that is a failure.
set -u
if [ "$#" -eq 0 ]; then
  echo "usage: in-netns.sh CMD [ARG...]" >&2
  exit 2
fi
if [ "$(id -u)" -eq 0 ]; then
  flags=-n
else
  flags=-rn
fi
if ! unshare $flags true 2>/dev/null; then
  echo "in-netns.sh: cannot create a network namespace (unshare $flags)" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
exec unshare $flags sh -c 'ip link set lo up && exec "$@"' in-netns.sh "$@"
