"""halvex when its peers misbehave: resets in the middle of a transfer, an upstream that never
answers or does not exist, half-closes, idle clients holding slots, and many short connections.
Afterwards nothing may be left behind: the program's descriptors come back to where they were."""

import os
import socket
import struct
import threading
import time

import pytest

from halvexproc import Halvex
from peers import free_port
from test_halvex_relay import Upstream, recv_all, reversing_echo, wait_until

LONG = os.environ.get("TESSARUNO_LONG") == "1"


def reset(sock):
    """Closes with a reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


@pytest.fixture
def echo():
    up = Upstream(reversing_echo)
    yield up
    up.close()


def settle(hx, base):
    assert wait_until(lambda: hx.descriptors() == base, timeout=15), \
        f"descriptors: {hx.descriptors()} now, {base} before"


def test_upstream_reset_in_the_middle_of_a_response(start_peer):
    def resetter(conn):
        conn.recv(100)
        conn.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + b"partial response " * 1000)
        time.sleep(0.1)
        reset(conn)

    up = Upstream(resetter)
    hx = start_peer(Halvex, upstream=("127.0.0.1", up.port))
    time.sleep(0.2)
    base = hx.descriptors()
    s = hx.connect()
    s.sendall(b"GET http://x/ HTTP/1.0\r\n\r\n")
    data = recv_all(s)
    # What the upstream sent before its reset still arrives, whole and in order.
    assert data == b"HTTP/1.0 200 OK\r\n\r\n" + b"partial response " * 1000
    s.close()
    settle(hx, base)
    up.close()


def test_client_reset_in_the_middle_of_a_request(start_peer):
    seen = []

    def reader(conn):
        seen.append(recv_all(conn))
        conn.close()

    up = Upstream(reader)
    hx = start_peer(Halvex, upstream=("127.0.0.1", up.port))
    time.sleep(0.2)
    base = hx.descriptors()
    s = hx.connect()
    s.sendall(b"POST http://x/ HTTP/1.0\r\nContent-Length: 100000\r\n\r\n" + b"a" * 5000)
    time.sleep(0.2)
    reset(s)
    # The upstream side is closed too (its reader ends) and nothing stays open.
    assert wait_until(lambda: len(seen) == 1)
    settle(hx, base)
    up.close()


def test_upstream_that_never_answers_holds_only_its_own_slot(start_peer, echo):
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(50)  # accepts (the kernel does) but never reads or answers
    hx = start_peer(Halvex, upstream=("127.0.0.1", silent.getsockname()[1]),
                    env={"HALVEX_HALFCLOSE_SECONDS": "1"})
    s = hx.connect()
    s.sendall(b"GET http://x/ HTTP/1.0\r\n\r\n")
    s.settimeout(0.5)
    with pytest.raises(socket.timeout):
        s.recv(10)
    # Others are served meanwhile.
    other = hx.connect()
    other.sendall(b"x")
    # The client gives up; once the upstream has stayed silent a while, the slot goes too.
    time.sleep(0.1)
    base_after = hx.descriptors()
    s.close()
    assert wait_until(lambda: hx.descriptors() <= base_after - 2, timeout=15)
    other.close()
    silent.close()


def test_upstream_that_does_not_exist(start_peer):
    hx = start_peer(Halvex, upstream=("127.0.0.1", free_port()))
    time.sleep(0.2)
    base = hx.descriptors()
    for _ in range(20):
        s = hx.connect()
        s.sendall(b"GET http://x/ HTTP/1.0\r\n\r\n")
        assert recv_all(s).startswith(b"HTTP/1.1 502 Bad Gateway\r\n")
        s.close()
    settle(hx, base)


def test_half_close_in_each_direction(start_peer):
    # The upstream ends its side first and still reads: the client sees the end, and what it
    # sends afterwards still reaches the upstream.
    got = []

    def early_end(conn):
        conn.sendall(b"server done")
        conn.shutdown(socket.SHUT_WR)
        got.append(recv_all(conn))
        conn.close()

    up = Upstream(early_end)
    hx = start_peer(Halvex, upstream=("127.0.0.1", up.port))
    s = hx.connect()
    s.sendall(b"hello")
    assert recv_all(s) == b"server done"
    s.sendall(b" and goodbye")
    s.shutdown(socket.SHUT_WR)
    assert wait_until(lambda: got == [b"hello and goodbye"])
    s.close()
    up.close()


def test_idle_clients_hold_slots_while_others_are_served(start_peer, echo):
    # Every client comes from one address.
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--max-per-client", "2000"])
    idle = []
    try:
        for k in range(1000):
            c = hx.connect()
            if k % 2:
                c.sendall(b"i")  # half of them with an upstream connection, half without
            idle.append(c)
        for k in range(200):
            s = hx.connect()
            s.sendall(b"busy %d" % k)
            s.shutdown(socket.SHUT_WR)
            assert recv_all(s) == b"busy %d" % k + b"TRAILER-AFTER-EOF"
            s.close()
    finally:
        for c in idle:
            c.close()


def test_many_short_connections_leak_nothing(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port))
    time.sleep(0.2)
    base = hx.descriptors()
    rss_before = hx.rss_kib()
    cycles = 100_000 if LONG else 5_000
    deadline = time.monotonic() + (600 if LONG else 120)
    done = 0
    while done < cycles and time.monotonic() < deadline:
        s = socket.create_connection((hx.host, hx.port))
        if done % 3 == 0:
            s.sendall(b"x")  # some open an upstream connection, some never say anything
        if done % 5 == 0:
            reset(s)
        else:
            s.close()
        done += 1
    assert done >= min(cycles, 1000)
    settle(hx, base)
    # One more client is served normally afterwards.
    s = hx.connect()
    s.sendall(b"still here")
    s.shutdown(socket.SHUT_WR)
    assert recv_all(s).startswith(b"still here")
    s.close()
    # No growth that scales with the number of connections.
    assert hx.rss_kib() < rss_before + 20 * 1024


def test_a_flood_of_pipelined_requests_to_a_silent_server_is_bounded(start_peer):
    """A client that pipelines tiny requests to a server that reads them and never answers: at
    most the pipeline's bound waits, the client is read no further, memory stays flat and comes
    back, and another client is served meanwhile."""
    stop = threading.Event()

    def swallow(conn):
        conn.settimeout(1)
        while not stop.is_set():
            try:
                if not conn.recv(1 << 16):
                    return
            except socket.timeout:
                continue

    def answer(conn):
        conn.recv(4096)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        conn.close()

    silent, quick = Upstream(swallow), Upstream(answer)
    hx = start_peer(Halvex, upstream=("", ""), args=["--allow-servers", "127.0.0.0/8"])
    time.sleep(0.2)
    before = hx.rss_kib()
    flood = hx.connect()
    flood.setblocking(False)
    one = f"GET http://127.0.0.1:{silent.port}/ HTTP/1.1\r\nHost: x\r\n\r\n".encode()
    chunk = one * 2000
    sent, stalled_since = 0, None
    deadline = time.monotonic() + 30
    # Bounded: at most 200 MB offered, and over once halvex has stopped reading for 2 s.
    while sent < 200_000_000 and time.monotonic() < deadline:
        try:
            sent += flood.send(chunk)
            stalled_since = None
        except BlockingIOError:
            stalled_since = stalled_since or time.monotonic()
            if time.monotonic() - stalled_since > 2:
                break
            time.sleep(0.01)
    assert sent < 20_000_000, f"halvex kept reading: {sent} bytes taken"
    grown = hx.rss_kib() - before
    assert grown < 16 * 1024, f"RSS grew by {grown} KiB"
    # Another client is served all the while.
    other = hx.connect()
    other.settimeout(10)
    other.sendall(f"GET http://127.0.0.1:{quick.port}/ HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    assert recv_all(other).endswith(b"\r\n\r\nok")
    other.close()
    # The other request has its line; of the flood, no more than the bound ever waited.
    flood.close()
    assert wait_until(lambda: hx.output.read_text().count("method=GET") >= 1), hx.output.read_text()[-2000:]
    assert hx.output.read_text().count(f":{silent.port}/") <= 40
    stop.set()
    silent.close()
    quick.close()
    assert wait_until(lambda: hx.rss_kib() - before < 16 * 1024)
