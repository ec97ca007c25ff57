#!/bin/sh
# Runs a test in a network namespace of its own with only loopback up, so that nothing it
# does (name lookups included) can leave the machine; and in a mount namespace of its own, so
# that a file system it mounts is private to it and goes with it.
exec unshare -rnm sh -c 'ip link set lo up && exec "$@"' sh "$@"
