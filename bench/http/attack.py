# Hostile devices against bench_http_server, one attack at a time and then all at once, while a
# TV on another address polls /api/live every 0.5 s and another plays the cast progressively.
# Run by bench/http/attack inside a network namespace of its own (addresses set up there).
#   attack.py <server binary> <web folder> <seconds per attack> [attack ...]
import os, select, socket, subprocess, sys, threading, time

server_bin, web_root, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
chosen = sys.argv[4:] or ["slow", "slow16", "parked", "ipv6", "header", "waiters", "all"]
V4_TV, V4_CAST, V6_TV = "127.0.0.3", "127.0.0.4", "2001:db8:5::3"
V6_ATTACKER, V6_SERVER = "2001:db8:5::66", "2001:db8:5::1"
V4_ATTACKERS = [f"127.0.1.{i}" for i in range(1, 25)]


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:")) / 1024


def open_socket(source, port, receive_buffer=0):
    family = socket.AF_INET6 if ":" in source else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.bind((source, 0))
    s.setblocking(False)
    try:
        s.connect((V6_SERVER if family == socket.AF_INET6 else "127.0.0.1", port))
    except BlockingIOError:
        pass
    return s


def exchange(source, port, request, timeout=5.0):
    """The whole response to one request, or None when refused (reset, closed unanswered)."""
    s = socket.socket(socket.AF_INET6 if ":" in source else socket.AF_INET)
    s.bind((source, 0))
    s.settimeout(timeout)
    try:
        s.connect((V6_SERVER if ":" in source else "127.0.0.1", port))
        s.sendall(request)
        reply = b""
        while data := s.recv(65536):
            reply += data
        return reply if reply.startswith(b"HTTP/1.1 ") else None
    except OSError:
        return None
    finally:
        s.close()


class Attacker:
    """Keeps `count` connections of one kind open from `sources`, reopening closed ones."""

    def __init__(self, kind, sources, count, port):
        self.kind, self.sources, self.count, self.port = kind, sources, count, port
        self.conns = []  # [socket, opened at, bytes of the request not yet sent]

    def request(self):
        if self.kind == "slow":  # the largest page, never read
            return b"GET /tv.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        if self.kind in ("parked", "waiters"):  # the segment after next, read at once
            return b"GET /live/progressive/segment%d.m4s HTTP/1.1\r\n\r\n" % (newest(self.port) + 2)
        # A header block of invalid UTF-8 at the size limit, then a body that never completes.
        return (b"POST /api/offer HTTP/1.1\r\nX: " + b"\xff" * 65000 +
                b"\r\nContent-Length: 65536\r\n\r\n" + b"o" * 65535)

    def tick(self, now):
        events = select.poll()
        for s, _, _ in self.conns:
            events.register(s, select.POLLIN | select.POLLRDHUP)
        closed = set()
        for fd, flags in events.poll(0):
            if flags & (select.POLLERR | select.POLLHUP | select.POLLRDHUP):
                closed.add(fd)
            elif self.kind != "slow" and flags & select.POLLIN:
                s = next(c[0] for c in self.conns if c[0].fileno() == fd)
                try:
                    if not s.recv(1 << 20):
                        closed.add(fd)
                except BlockingIOError:
                    pass
                except OSError:
                    closed.add(fd)
        keep = []
        for s, opened, pending in self.conns:
            # Slow readers reopen before the server's write-stall deadline would close them.
            if s.fileno() in closed or (self.kind == "slow" and now - opened > 12):
                s.close()
            else:
                keep.append([s, opened, pending])
        self.conns = keep
        request = self.request() if len(self.conns) < self.count else b""
        while len(self.conns) < self.count:
            source = self.sources[len(self.conns) % len(self.sources)]
            s = open_socket(source, self.port, 2048 if self.kind == "slow" else 0)
            self.conns.append([s, now, request])
        for c in self.conns:  # whatever the sockets take now, never waiting
            if c[2]:
                try:
                    c[2] = c[2][c[0].send(c[2]):]
                except (BlockingIOError, OSError):
                    pass

    def stop(self):
        for c in self.conns:
            c[0].close()
        self.conns = []


newest_cache = {}


def newest(port):
    now = time.monotonic()
    if port not in newest_cache or now - newest_cache[port][1] > 1:
        playlist = exchange("127.0.0.1", port, b"GET /live/stream.m3u8 HTTP/1.1\r\n\r\n", 1)
        playlist = playlist or b""
        ids = [int(l[7:-4]) for l in playlist.decode("latin1").split("\n")
               if l.startswith("segment")]
        newest_cache[port] = (max(ids) if ids else 0, now)
    return newest_cache[port][0]


def poller(port, source, done, out):
    while not done.wait(0.5):
        start = time.monotonic()
        reply = exchange(source, port, b"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1:8765\r\n\r\n")
        if reply is None or b'{"active":true}' not in reply:
            out["refused"] += 1
        else:
            out["worst"] = max(out["worst"], time.monotonic() - start)


def complete_segment(reply):
    """Whether a progressive reply carries a whole segment: chunked and ended by the zero chunk,
    or, for a player that fell behind, the listed segment with its Content-Length."""
    if reply is None or not reply.startswith(b"HTTP/1.1 200"):
        return False
    head, _, body = reply.partition(b"\r\n\r\n")
    if b"Transfer-Encoding: chunked" in head:
        return body.endswith(b"0\r\n\r\n")
    length = [l for l in head.split(b"\r\n") if l.startswith(b"Content-Length:")]
    return bool(length) and int(length[0][15:]) == len(body)


def player(port, done, out):
    """Plays the cast: each next segment progressively, as the TV page does."""
    segment = newest(port) + 1
    while not done.is_set():
        start = time.monotonic()
        reply = exchange(V4_CAST, port,
                         b"GET /live/progressive/segment%d.m4s HTTP/1.1\r\n\r\n" % segment)
        if not complete_segment(reply):
            out["refused"] += 1
            segment = newest(port) + 1
            time.sleep(0.05)
            continue
        out["worst"] = max(out["worst"], time.monotonic() - start)
        segment += 1


def padded_web_root():
    """A copy of the web folder whose tv.html is 16 MiB: on loopback the kernel takes the whole
    real page into its socket buffer, where a LAN's slower-growing buffers would not."""
    folder = f"/tmp/skylark-attack-web-{os.getpid()}"
    os.makedirs(folder, exist_ok=True)
    with open(f"{web_root}/tv.html", "rb") as page, open(f"{folder}/tv.html", "wb") as out:
        data = page.read()
        out.write(data + b" " * (16 * 1024 * 1024 - len(data)))
    return folder


def run(attack):
    cast = attack != "waiters"
    root = padded_web_root() if attack in ("slow16", "all") else web_root
    server = subprocess.Popen([server_bin, "190000", root] + (["cast"] if cast else []),
                              stdout=subprocess.PIPE)
    port = int(server.stdout.readline())
    time.sleep(1)
    before = rss_mib(server.pid)
    plans = {
        "slow": [("slow", V4_ATTACKERS, 512)],
        "slow16": [("slow", V4_ATTACKERS, 512)],
        "parked": [("parked", V4_ATTACKERS, 512)],
        "ipv6": [("slow", [V6_ATTACKER], 40)],
        "header": [("header", V4_ATTACKERS, 512)],
        "waiters": [("waiters", V4_ATTACKERS, 512)],
        "all": [("slow", V4_ATTACKERS[:8], 256), ("parked", V4_ATTACKERS[8:16], 256),
                ("header", V4_ATTACKERS[16:], 256), ("slow", [V6_ATTACKER], 40)],
    }[attack]
    attackers = [Attacker(kind, sources, count, port) for kind, sources, count in plans]
    done = threading.Event()
    tvs = {"tv": {"refused": 0, "worst": 0.0}}
    threads = [threading.Thread(target=poller, args=(port, V4_TV, done, tvs["tv"]))]
    if attack in ("ipv6", "all"):
        tvs["tv6"] = {"refused": 0, "worst": 0.0}
        threads.append(threading.Thread(target=poller, args=(port, V6_TV, done, tvs["tv6"])))
    if cast:
        tvs["cast"] = {"refused": 0, "worst": 0.0}
        threads.append(threading.Thread(target=player, args=(port, done, tvs["cast"])))
    peak = before
    end = time.monotonic() + seconds
    for a in attackers:  # the attack takes its places, then the TVs come
        a.tick(time.monotonic())
    for t in threads:
        t.start()
    while time.monotonic() < end:
        for a in attackers:
            a.tick(time.monotonic())
        peak = max(peak, rss_mib(server.pid))
        time.sleep(0.05)
    done.set()
    for t in threads:
        t.join()
    for a in attackers:
        a.stop()
    # After: once the server holds no connection (at most 30 s), and a second more.
    quiet_by = time.monotonic() + 30
    while time.monotonic() < quiet_by and subprocess.run(
            ["ss", "-Htn", f"sport = :{port}"], capture_output=True, text=True).stdout.strip():
        time.sleep(0.2)
    time.sleep(1)
    after = rss_mib(server.pid)
    server.terminate()
    server.wait()
    if root != web_root:
        subprocess.run(["rm", "-rf", root])
    figures = "  ".join(f"{name} {tv['refused']} refused, worst {tv['worst'] * 1000:.0f} ms"
                        for name, tv in tvs.items())
    print(f"{attack:<8} {before:7.1f} {peak:7.1f} {after:7.1f}   {figures}", flush=True)


print(f"{'attack':<8} {'RSS MiB':>7} {'peak':>7} {'after':>7}   TVs (poll every 0.5 s; cast played)")
for attack in chosen:
    run(attack)
