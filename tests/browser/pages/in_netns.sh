#!/bin/sh
# Runs a command in a network namespace of its own, gone when the command ends, with one veth
# interface and a default route through it: a TV reaches the server by a non-loopback address,
# and Chromium gathers no WebRTC candidates when loopback is all there is. Without root the
# command runs as it is, and the tests that need the namespace skip.
[ "$(id -u)" -eq 0 ] || exec "$@"
exec unshare --net sh -ec 'ip link set lo up; ip link add fva type veth peer name fvb
  ip addr add 198.18.0.1/24 dev fva; ip link set fva up; ip link set fvb up
  ip route add default via 198.18.0.2 dev fva; SKYLARK_NETNS_ADDRESS=198.18.0.1 exec "$@"' sh "$@"
