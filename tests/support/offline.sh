#!/bin/sh
# Runs a test in a network namespace of its own with only loopback up, so that nothing it
# does (name lookups included) can leave the machine.
exec unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "$@"
