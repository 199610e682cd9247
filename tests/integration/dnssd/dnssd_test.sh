#!/usr/bin/env bash
# The server advertises itself over DNS-SD: in a private network and mount namespace with its
# own system bus and avahi-daemon, "Skylark on <name>" of type _skylark._tcp appears on port
# 8765 (the namespace has its own port space), also when the daemon starts after Skylark.
set -euo pipefail
skylark=$1
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for namespaces"; exit 77; }

exec unshare --net --mount --fork bash -euo pipefail -s "$skylark" <<'INNER'
skylark=$1
mount -t tmpfs tmpfs /run
ip link set lo up
ip link set lo multicast on
mkdir -p /run/dbus /run/avahi-daemon
work=$(mktemp -d)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait || true; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $1"; cat "$work"/err* 2>/dev/null || true; exit 1; }
# Services seen with their port (avahi-browse -p writes some characters as \DDD, decimal).
browse() { avahi-browse -rtp _skylark._tcp 2>/dev/null | grep '^=' | grep ";$1;" | perl -pe 's/\\(\d{3})/chr($1)/ge' || true; }
until_found() { for _ in $(seq 40); do found=$(browse "$1"); [ -n "$found" ] && return; sleep 0.25; done; }

printf '[server]\nallow-interfaces=lo\nuse-ipv4=yes\nuse-ipv6=no\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-workstation=no\n' >"$work/avahi.conf"
dbus-daemon --system --fork --print-pid >"$work/dbus.pid"
pids+=("$(cat "$work/dbus.pid")")

# Skylark first: without the daemon it must keep serving and register when the daemon appears.
"$skylark" >"$work/out" 2>"$work/err" &
pids+=($!)
for _ in $(seq 100); do grep -q 'Fire TV: http://' "$work/out" && break; sleep 0.05; done
grep -q 'Fire TV: http://' "$work/out" || fail "Skylark did not start"
avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot >/dev/null 2>&1 &
pids+=($!)
until_found 8765
echo "$found" | grep -q ";Skylark on [^;]*;_skylark._tcp;" || fail "not advertised on 8765"
curl -sf "http://127.0.0.1:8765/api/live" >/dev/null || fail "not serving"
name=$(echo "$found" | head -1 | cut -d';' -f4)

# A name taken by another service: Skylark takes Avahi's alternative name instead.
kill "${pids[1]}"
wait "${pids[1]}" 2>/dev/null || true
avahi-publish -s "$name" _skylark._tcp 9999 >/dev/null 2>&1 &
pids+=($!)
until_found 9999
"$skylark" >"$work/out2" 2>"$work/err2" &
pids+=($!)
until_found 8765
echo "$found" | grep -q ";$name #2;" || fail "no alternative name"
echo "PASS"
INNER
