"""halvex as a relay: browsers through it to a real tinyproxy and nginx, any TCP protocol byte for
byte, closes in either direction, slots, refusals."""

import hashlib
import os
import resource
import socket
import subprocess
import threading
import time

import pytest

from halvexproc import Halvex
from peers import Nginx, Tinyproxy, free_port


def recv_all(sock, limit=64 << 20):
    data = bytearray()
    while len(data) < limit:
        chunk = sock.recv(1 << 16)
        if not chunk:
            break
        data += chunk
    return bytes(data)


def wait_until(what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if what():
            return True
        time.sleep(0.02)
    return what()


class Upstream:
    """A TCP server standing in for the upstream side: each connection runs handler(conn)
    in a thread of its own."""

    def __init__(self, handler):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(2048)
        self.port = self.sock.getsockname()[1]
        self.handler = handler
        self.connections = []
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass

    def close(self):
        self.running = False
        self.sock.close()
        for c in self.connections:
            try:
                c.close()
            except OSError:
                pass


def reversing_echo(conn):
    """Sends back everything, byte-reversed per chunk is hard to check: plain echo, then a
    trailer after the client's end of stream, then closes."""
    while True:
        d = conn.recv(1 << 16)
        if not d:
            break
        conn.sendall(d)
    conn.sendall(b"TRAILER-AFTER-EOF")
    conn.shutdown(socket.SHUT_WR)
    conn.close()


@pytest.fixture
def echo():
    up = Upstream(reversing_echo)
    yield up
    up.close()


@pytest.mark.parametrize("debug", ["0", "1"])
def test_web_pages_pass_through_tinyproxy_to_nginx(start_peer, debug):
    small = os.urandom(1024)
    large = os.urandom(100 * 1024)
    web = start_peer(Nginx, files={"small.bin": small, "large.bin": large, "page.html": b"<p>hi</p>"})
    proxy = start_peer(Tinyproxy)
    hx = start_peer(Halvex, upstream=(proxy.host, proxy.port), settings={"debug": debug})
    for name, body in (("small.bin", small), ("large.bin", large), ("page.html", b"<p>hi</p>")):
        out = subprocess.run(["curl", "-sS", "--max-time", "20", "-x",
                              f"http://{hx.host}:{hx.port}", web.url(name)],
                             capture_output=True, check=True)
        assert out.stdout == body, name
    log = web.access_log(wait_for=3)
    assert len(log) == 3 and all('" 200 ' in line for line in log)


def test_any_tcp_protocol_passes_byte_for_byte_with_half_close(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port))
    payload = os.urandom(8 << 20)
    s = hx.connect()
    got = []
    reader = threading.Thread(target=lambda: got.append(recv_all(s, limit=len(payload) + 100)))
    reader.start()
    # Binary, starting with something that is no HTTP request.
    s.sendall(b"\x00\x01BINARY" + payload)
    s.shutdown(socket.SHUT_WR)  # the client is done sending but still reads
    reader.join(60)
    s.close()
    assert got and got[0] == b"\x00\x01BINARY" + payload + b"TRAILER-AFTER-EOF"


def test_established_tunnels_keep_half_close_and_their_bytes_are_logged(start_peer):
    # An upstream proxy that establishes each tunnel, then echoes until the client's end and
    # answers once more after it. Three tunnels at once: some are carried off the event loop.
    def established(conn):
        head = b""
        while b"\r\n\r\n" not in head:
            head += conn.recv(1 << 16)
        conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        reversing_echo(conn)

    up = Upstream(established)
    hx = start_peer(Halvex, upstream=("127.0.0.1", up.port))
    tunnels = []
    for k in range(3):
        s = hx.connect()
        s.sendall(b"CONNECT files%d.test:443 HTTP/1.1\r\nHost: files%d.test:443\r\n\r\n" % (k, k))
        assert recv_all(s, 39) == b"HTTP/1.1 200 Connection established\r\n\r\n"
        tunnels.append(s)
    payloads = [os.urandom((2 + k) << 20) for k in range(3)]
    got = [None] * 3

    def carry(k):
        s = tunnels[k]
        reader = threading.Thread(target=lambda: got.__setitem__(k, recv_all(s)))
        reader.start()
        s.sendall(payloads[k])
        s.shutdown(socket.SHUT_WR)
        reader.join(60)
        s.close()

    senders = [threading.Thread(target=carry, args=(k,)) for k in range(3)]
    for t in senders:
        t.start()
    for t in senders:
        t.join(90)
    for k in range(3):
        assert got[k] == payloads[k] + b"TRAILER-AFTER-EOF", k

    def lines():
        return [l for l in hx.output.read_text().splitlines() if "method=CONNECT" in l]
    assert wait_until(lambda: len(lines()) == 3)
    for k in range(3):
        line = next(l for l in lines() if "files%d.test" % k in l)
        counts = dict(f.split("=", 1) for f in line.split() if f.startswith("from_"))
        assert int(counts["from_client"]) >= len(payloads[k]), line
        assert int(counts["from_server"]) >= len(payloads[k]) + 17, line
    up.close()


def test_data_sent_while_upstream_connects_is_kept_in_order(start_peer):
    # An upstream that takes its time to accept: the client's second chunk arrives while the
    # upstream connection is still being made.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    hx = start_peer(Halvex, upstream=("127.0.0.1", port))
    s = hx.connect()
    s.sendall(b"first chunk|")
    time.sleep(0.2)
    s.sendall(b"second chunk|")
    time.sleep(0.2)
    s.sendall(b"third")
    s.shutdown(socket.SHUT_WR)
    conn, _ = listener.accept()
    conn.settimeout(10)
    assert recv_all(conn) == b"first chunk|second chunk|third"
    conn.close()
    s.close()
    listener.close()


def test_closing_either_side_closes_the_other_and_frees_descriptors(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port))
    time.sleep(0.2)
    base = hx.descriptors()

    # Client goes away: the upstream sees the end, and both sockets are gone.
    s = hx.connect()
    s.sendall(b"hello")
    assert s.recv(5) == b"hello"
    s.close()
    assert wait_until(lambda: hx.descriptors() == base)

    # The upstream goes away: the client sees the end of the stream.
    def closer(conn):
        conn.recv(100)
        conn.sendall(b"bye")
        conn.close()

    up = Upstream(closer)
    hx2 = start_peer(Halvex, upstream=("127.0.0.1", up.port))
    time.sleep(0.2)
    base2 = hx2.descriptors()
    c = hx2.connect()
    c.sendall(b"x")
    assert recv_all(c) == b"bye"
    c.close()
    assert wait_until(lambda: hx2.descriptors() == base2)
    up.close()


def test_unreachable_upstream_gets_a_browser_a_page_and_other_traffic_the_close(start_peer):
    closed_port = free_port()
    hx = start_peer(Halvex, upstream=("127.0.0.1", closed_port))
    s = hx.connect()
    s.sendall(b"GET http://example.invalid/ HTTP/1.0\r\n\r\n")
    reply = recv_all(s)
    s.close()
    head, _, body = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 502 Bad Gateway\r\n")
    assert f"upstream proxy 127.0.0.1:{closed_port}: connection refused".encode() in body.lower()
    s = hx.connect()
    s.sendall(b"\x16\x03\x01\x00\x05hello")
    assert recv_all(s) == b""
    s.close()


def test_slots_are_reused_and_1025th_client_refused(start_peer, echo):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    # Every client comes from one address.
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--max-per-client", "2000"])
    clients = []
    try:
        for k in range(1024):
            c = hx.connect()
            clients.append(c)
        # Each slot relays: every client gets its own bytes back.
        for k, c in enumerate(clients):
            c.sendall(b"%d;" % k)
        for k, c in enumerate(clients):
            want = b"%d;" % k
            got = b""
            while len(got) < len(want):
                got += c.recv(100)
            assert got == want
        # Slot 1025 does not exist: that client is closed at once.
        extra = hx.connect()
        extra.settimeout(10)
        try:
            assert extra.recv(10) == b""
        except ConnectionResetError:
            pass
        extra.close()
        # A freed slot is used again.
        clients[499].close()
        time.sleep(0.3)
        again = hx.connect()
        again.sendall(b"again")
        assert again.recv(5) == b"again"
        clients[499] = again
    finally:
        for c in clients:
            c.close()
