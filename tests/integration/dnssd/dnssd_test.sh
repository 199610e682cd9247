#!/usr/bin/env bash
# The server advertises itself over DNS-SD: in a private network and mount namespace with its
# own system bus and avahi-daemon, "Skylark on <name>" of type _skylark._tcp appears on port
# 8765 (the namespace has its own port space), also when the daemon starts after Skylark.
#   dnssd_test.sh <skylark executable>
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
# avahi-browse -p writes some characters as \DDD (decimal).
decode() { perl -pe 's/\\(\d{3})/chr($1)/ge'; }
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait || true; rm -rf "$work"; }
trap cleanup EXIT

cat >"$work/avahi.conf" <<CONF
[server]
allow-interfaces=lo
use-ipv4=yes
use-ipv6=no
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
CONF

dbus-daemon --system --fork --print-pid >"$work/dbus.pid"
pids+=("$(cat "$work/dbus.pid")")

# Skylark first: without the daemon it must keep serving and register when the daemon appears.
"$skylark" >"$work/out" 2>"$work/err" &
pids+=($!)
for _ in $(seq 100); do grep -q 'Fire TV: http://' "$work/out" && break; sleep 0.05; done
grep -q 'Fire TV: http://' "$work/out" || { echo "FAIL: Skylark did not start"; cat "$work/err"; exit 1; }

avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot >/dev/null 2>&1 &
pids+=($!)

found=""
for _ in $(seq 40); do
    found=$(avahi-browse -rtp _skylark._tcp 2>/dev/null | grep '^=' | decode || true)
    [ -n "$found" ] && break
    sleep 0.25
done
echo "$found"
echo "$found" | grep -q ";Skylark on [^;]*;_skylark._tcp;" || { echo "FAIL: not advertised"; cat "$work/err"; exit 1; }
echo "$found" | grep -q ";8765;" || { echo "FAIL: wrong port"; exit 1; }
curl -sf "http://127.0.0.1:8765/api/live" >/dev/null || { echo "FAIL: not serving"; exit 1; }
name=$(echo "$found" | head -1 | cut -d';' -f4)
echo "advertised as $name"

# A name taken by another service: Skylark takes Avahi's alternative name instead.
kill "${pids[1]}"
wait "${pids[1]}" 2>/dev/null || true
avahi-publish -s "$name" _skylark._tcp 9999 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 40); do
    avahi-browse -rtp _skylark._tcp 2>/dev/null | grep -q ';9999;' && break
    sleep 0.25
done
"$skylark" >"$work/out2" 2>"$work/err2" &
pids+=($!)
renamed=""
for _ in $(seq 40); do
    renamed=$(avahi-browse -rtp _skylark._tcp 2>/dev/null | grep '^=' | grep ';8765;' | decode || true)
    [ -n "$renamed" ] && break
    sleep 0.25
done
echo "$renamed"
echo "$renamed" | grep -q ";$name #2;" || { echo "FAIL: no alternative name"; cat "$work/err2"; exit 1; }
echo "PASS"
INNER
