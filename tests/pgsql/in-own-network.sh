#!/bin/sh
# Runs a test program in a network namespace of its own, with only the
# loopback up: the servers it starts listen where nothing else can.
exec unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
