#!/bin/sh
# Runs a command in a network namespace of its own (gone when it ends) with a veth interface and
# a default route: a TV's non-loopback address, and WebRTC candidates. Without root: as it is.
[ "$(id -u)" -eq 0 ] || exec "$@"
exec unshare --net sh -ec 'ip link set lo up; ip link add fva type veth peer name fvb; ip link set fvb up
  ip addr add 198.18.0.1/24 dev fva; ip link set fva up; ip route add default via 198.18.0.2 dev fva
  SKYLARK_NETNS_ADDRESS=198.18.0.1 exec "$@"' sh "$@"
