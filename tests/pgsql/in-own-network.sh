#!/bin/sh
# Runs a test program in a network namespace of its own, with only the
# loopback up: the servers it starts listen where nothing else can. Its
# mounts are its own too (a test may mount a small disk to fill).
exec unshare --net --mount sh -c 'ip link set lo up && exec "$@"' sh "$@"
