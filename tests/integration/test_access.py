"""Who may use halvex and quessel, where quessel may connect, and how long anyone may stay: real
clients from distinct loopback addresses (the whole of 127.0.0.0/8 is this machine) against the
real programs, with servers that record what reaches them."""

import os
import re
import resource
import shutil
import socket
import subprocess
import threading
import time

import pytest

from conftest import program
from halvexproc import Halvex
from peers import Command, Dovecot, free_port
from test_halvex_relay import Upstream, recv_all, reversing_echo, wait_until

TIMEOUT = 10.0
UNAVAILABLE = b"-ERR POP3 server %s is not available\r\n"


def connect_from(source, peer, timeout=TIMEOUT):
    """A connection to peer=(host, port) from the local address `source`."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(peer)
    return s


def ended(s, seconds=TIMEOUT):
    """True when the other side ends the connection within `seconds` (what it sent before is
    read and dropped)."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def closed_at_once(s):
    """True when the other side ends the connection without a byte."""
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def recv_line(s):
    """One line: read a byte at a time, since replies sent together may arrive in one chunk and
    the next line must stay for the next call."""
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = s.recv(1)
        if not chunk:
            break
        data += chunk
    return data


class Recorder:
    """A TCP server on 127.0.0.1 that counts connections and keeps what each one sent; `hello`
    is sent first to every connection (None: nothing, a server that never greets)."""

    def __init__(self, hello=None):
        self.hello = hello
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.received = b""
        self.stop = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        deadline = time.monotonic() + 120
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(TIMEOUT * 2)
        try:
            if self.hello:
                conn.sendall(self.hello)
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                self.received += data
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.stop.set()
        self.sock.close()


@pytest.fixture
def quiet_env(tmp_path, monkeypatch):
    config = tmp_path / "config"
    config.mkdir()
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    return config


@pytest.fixture
def start_quessel(tmp_path, quiet_env):
    """start_quessel(server_port, *args, prefix=()) -> the running proxy on 127.0.0.1."""
    started = []

    def start(server_port, *args, prefix=(), port=None):
        argv = [*prefix, str(program("quessel")), "--port", "{port}", "--bind", "{host}",
                "--server-port", str(server_port), *args]
        proxy = Command(tmp_path / f"quessel{len(started) + 1}", argv, name="quessel", port=port)
        proxy.start()
        started.append(proxy)
        return proxy

    yield start
    for proxy in reversed(started):
        proxy.stop()


@pytest.fixture
def echo():
    up = Upstream(reversing_echo)
    yield up
    up.close()


def greeted(proxy, source="127.0.0.1"):
    s = connect_from(source, (proxy.host, proxy.port))
    assert s.recv(5) == b"+OK\r\n"
    return s


def output(peer):
    return peer.output.read_text("utf-8", "replace")


# ---- who may connect -------------------------------------------------------------------------


def test_halvex_serves_only_the_allowed_clients(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--allow-clients", "127.0.0.2"])
    ok = connect_from("127.0.0.2", (hx.host, hx.port))
    ok.sendall(b"hello")
    ok.shutdown(socket.SHUT_WR)
    assert recv_all(ok).startswith(b"hello")
    before = len(echo.connections)
    outsider = connect_from("127.0.0.3", (hx.host, hx.port))
    outsider.sendall(b"GET http://example.test/ HTTP/1.0\r\n\r\n")
    assert closed_at_once(outsider)
    time.sleep(0.3)
    assert len(echo.connections) == before  # nothing went upstream for it
    assert wait_until(lambda: "halvex: refused client=127.0.0.3 " in output(hx))


def test_quessel_serves_only_the_allowed_clients_and_counts_the_refused(start_quessel):
    proxy = start_quessel(free_port(), "--allow-clients", "127.0.0.2, 10.0.0.0/8")
    greeted(proxy, "127.0.0.2").close()
    for source in ("127.0.0.1", "127.0.0.4"):
        s = connect_from(source, (proxy.host, proxy.port))
        assert closed_at_once(s)
        s.close()
    assert wait_until(lambda: output(proxy).count('reason="not in the allowed clients"') == 2)


def test_the_default_serves_the_local_networks(start_quessel):
    proxy = start_quessel(free_port())
    for source in ("127.0.0.1", "127.0.0.9"):
        greeted(proxy, source).close()


def test_a_stored_allow_list_applies_and_the_command_line_overrides_it(start_quessel, quiet_env):
    reg = quiet_env / "tessaruno" / "registry.ini"
    reg.parent.mkdir()
    reg.write_text("[HKLM\\SOFTWARE\\Tessaruno]\nallowclients=127.0.0.5\n")
    stored = start_quessel(free_port())
    assert closed_at_once(connect_from("127.0.0.1", (stored.host, stored.port)))
    greeted(stored, "127.0.0.5").close()
    given = start_quessel(free_port(), "--allow-clients", "127.0.0.1")
    greeted(given, "127.0.0.1").close()


# ---- where quessel may connect ---------------------------------------------------------------


def own_address():
    """An address of this machine's other than loopback, or None."""
    out = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True)
    for m in re.finditer(r"inet (\d+\.\d+\.\d+\.\d+)/", out.stdout):
        if not m.group(1).startswith("127."):
            return m.group(1)
    return None


@pytest.mark.parametrize("server", ["127.0.0.1", "2130706433", "localhost", "[::1]", "::1",
                                    "0.0.0.0", "10.1.2.3", "192.168.1.1", "169.254.1.1",
                                    "[fe80::1]", "224.0.0.1", "own"])
def test_servers_on_this_machine_or_a_private_network_are_refused(server, start_quessel):
    if server == "own":
        server = own_address()
        if server is None:
            pytest.skip("this machine has no address but loopback")
    rec = Recorder(hello=b"+OK\r\n")
    try:
        proxy = start_quessel(rec.port)
        s = greeted(proxy)
        s.sendall(b"USER alice|" + server.encode() + b"\r\nPASS hunter2\r\n")
        assert recv_all(s) == UNAVAILABLE % server.encode()
        time.sleep(0.3)
        assert rec.connections == 0
    finally:
        rec.close()


def test_every_kind_of_unusable_server_gets_the_same_line(start_quessel, tmp_path):
    """Refused, a foreign banner, silence, a -ERR greeting, an early close, not allowed: the
    client cannot tell them apart, and no server byte reaches it."""
    results = {}
    kinds = {
        "refused": None,
        "ssh banner": b"SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n",
        "silent": b"",
        "-ERR greeting": b"-ERR busy, come back later\r\n",
    }
    for kind, hello in kinds.items():
        rec = None
        port = free_port()
        if hello is not None:
            rec = Recorder(hello=hello or None)
            port = rec.port
        try:
            proxy = start_quessel(port, "--allow-servers", "127.0.0.0/8", "--server-timeout", "1")
            s = greeted(proxy)
            s.sendall(b"USER alice|127.0.0.1\r\nPASS hunter2\r\n" + b"x" * 100000)
            results[kind] = recv_all(s)
            s.close()
            if rec:
                time.sleep(0.2)
                # Credentials go only to a server that greeted as a POP3 server.
                assert rec.received == b"", (kind, rec.received[:100])
        finally:
            if rec:
                rec.close()
    assert set(results.values()) == {UNAVAILABLE % b"127.0.0.1"}, results


def test_a_server_allowed_by_name_or_range_is_used(start_peer, start_quessel):
    pop3 = start_peer(Dovecot, mail={"alice": [b"Subject: x\n\nhi\n"]})
    for allow, server in (("127.0.0.0/8", "127.0.0.1"), ("localhost", "localhost")):
        proxy = start_quessel(pop3.port, "--allow-servers", allow)
        s = greeted(proxy)
        s.sendall(b"USER alice|" + server.encode() + b"\r\n")
        assert recv_line(s).startswith(b"+OK")
        s.sendall(b"PASS secret\r\nSTAT\r\n")
        assert recv_line(s).startswith(b"+OK")
        assert recv_line(s).startswith(b"+OK 1 ")
        s.close()


def test_quessel_never_connects_to_itself(start_quessel):
    port = free_port()
    proxy = start_quessel(port, "--allow-servers", "127.0.0.0/8", port=port)
    s = greeted(proxy)
    login = b"".join(b"USER a%d|127.0.0.1\r\n" % k for k in range(40))
    s.sendall(login)
    assert recv_all(s) == UNAVAILABLE % b"127.0.0.1"
    # Only the client itself ever connected.
    assert wait_until(lambda: "the server's address is not allowed" in output(proxy))
    assert wait_until(lambda: len(os.listdir(f"/proc/{proxy.pid}/fd")) < 20)


def test_each_refused_login_is_one_line_naming_it_and_counts(start_quessel):
    proxy = start_quessel(110, "--allow-servers", "127.0.0.0/8")
    for login in (b"USER a|2130706437", b"USER b|127.1", b"USER c|pop example.org",
                  b"USER d|bad\x00host"):
        s = greeted(proxy)
        s.sendall(login + b"\r\n")
        s.recv(4096)
        s.close()
    want = ['user=a server=2130706437 outcome=refused reason="the server is not a host name or an address"',
            'user=b server=127.1 outcome=refused reason="the server is not a host name or an address"',
            'user=c server="pop example.org" outcome=refused',
            'user=d server=bad?host outcome=refused reason="the login line holds a CR or a NUL"']
    assert wait_until(lambda: all(w in output(proxy) for w in want)), output(proxy)
    lines = [l for l in output(proxy).splitlines() if "outcome=refused" in l]
    assert len(lines) == 4 and all(l.startswith("quessel: login client=127.0.0.1 ") for l in lines)


def test_login_lines_with_a_nul_or_a_bare_cr_open_no_connection(start_quessel):
    rec = Recorder(hello=b"+OK\r\n")
    try:
        proxy = start_quessel(rec.port, "--allow-servers", "127.0.0.0/8")
        for line in (b"USER a|127.0.0.1\rPASS x\r\n", b"USER a\x00|127.0.0.1\r\n"):
            s = greeted(proxy)
            s.sendall(line)
            assert recv_line(s).startswith(b"-ERR")
            s.close()
        time.sleep(0.2)
        assert rec.connections == 0
    finally:
        rec.close()


def test_the_third_refused_command_before_login_ends_the_connection(start_quessel):
    proxy = start_quessel(free_port())
    s = greeted(proxy)
    s.sendall(b"STAT\r\nLIST\r\nRETR 1\r\nNOOP\r\n")
    replies = recv_all(s).split(b"\r\n")
    assert len([r for r in replies if r.startswith(b"-ERR")]) == 3, replies
    s.close()


# ---- how long anyone may stay -----------------------------------------------------------------


def test_halvex_closes_a_client_that_says_nothing(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--first-byte-timeout", "1"])
    silent = hx.connect()
    started = time.monotonic()
    silent.settimeout(10)
    assert closed_at_once(silent)
    assert 0.8 < time.monotonic() - started < 5
    assert len(echo.connections) == 0


def test_halvex_releases_an_idle_pair_but_never_a_busy_one(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--idle-timeout", "2"])
    busy = hx.connect()
    idle = hx.connect()
    idle.sendall(b"x")
    started = time.monotonic()
    # The busy one talks every half second for longer than the limit.
    while time.monotonic() - started < 4:
        busy.sendall(b"ping")
        time.sleep(0.5)
    idle.settimeout(0.1)
    got = b""
    try:
        while True:
            chunk = idle.recv(100)
            if not chunk:
                break
            got += chunk
    except socket.timeout:
        pytest.fail("the idle pair is still open")
    busy.sendall(b"still")
    busy.shutdown(socket.SHUT_WR)
    assert recv_all(busy).startswith(b"ping")


def test_quessel_login_limit_runs_from_the_connect_and_is_not_restarted(start_quessel):
    proxy = start_quessel(free_port(), "--login-timeout", "1")
    s = greeted(proxy)
    started = time.monotonic()
    s.sendall(b"CAPA\r\n")
    time.sleep(0.6)
    s.sendall(b"CAPA\r\n")
    got = recv_all(s)
    assert got.endswith(b"-ERR no login within 1 seconds\r\n"), got
    assert time.monotonic() - started < 3


def test_quessel_closes_an_idle_session_on_both_sides_but_not_a_busy_one(start_peer, start_quessel):
    pop3 = start_peer(Dovecot)
    proxy = start_quessel(pop3.port, "--allow-servers", "127.0.0.0/8", "--idle-timeout", "2")

    def login():
        s = greeted(proxy)
        s.sendall(b"USER alice|127.0.0.1\r\n")
        assert recv_line(s).startswith(b"+OK")
        s.sendall(b"PASS secret\r\n")
        assert recv_line(s).startswith(b"+OK")
        return s

    idle, busy = login(), login()
    started = time.monotonic()
    while time.monotonic() - started < 4:
        busy.sendall(b"NOOP\r\n")
        assert recv_line(busy).startswith(b"+OK")
        time.sleep(0.5)
    idle.settimeout(1)
    assert recv_all(idle) == b""
    busy.sendall(b"QUIT\r\n")
    assert recv_line(busy).startswith(b"+OK")


# ---- how many at once -----------------------------------------------------------------------


def test_halvex_caps_connections_per_client(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=["--max-per-client", "3"])
    mine = [connect_from("127.0.0.2", (hx.host, hx.port)) for _ in range(3)]
    fourth = connect_from("127.0.0.2", (hx.host, hx.port))
    assert closed_at_once(fourth)
    other = connect_from("127.0.0.3", (hx.host, hx.port))
    other.sendall(b"hi")
    other.shutdown(socket.SHUT_WR)
    assert recv_all(other).startswith(b"hi")
    # A freed place is given again.
    mine.pop().close()
    time.sleep(0.3)
    again = connect_from("127.0.0.2", (hx.host, hx.port))
    again.sendall(b"again")
    again.shutdown(socket.SHUT_WR)
    assert recv_all(again).startswith(b"again")
    for s in mine:
        s.close()


def test_quessel_caps_sessions_per_client(start_quessel):
    proxy = start_quessel(free_port(), "--max-per-client", "2")
    mine = [greeted(proxy, "127.0.0.2") for _ in range(2)]
    assert closed_at_once(connect_from("127.0.0.2", (proxy.host, proxy.port)))
    greeted(proxy, "127.0.0.3").close()
    for s in mine:
        s.close()


def prlimit():
    tool = shutil.which("prlimit")
    if not tool:
        pytest.skip("prlimit is missing")
    return tool


def test_quessel_out_of_descriptors_drops_its_oldest_waiting_client(start_quessel):
    proxy = start_quessel(free_port(), "--max-per-client", "500",
                          prefix=[prlimit(), "--nofile=64:64", "--"])
    waiting = []
    for _ in range(100):
        waiting.append(connect_from("127.0.0.1", (proxy.host, proxy.port)))
    time.sleep(0.5)
    # It still takes new clients: each one it greets costs the oldest waiting one its place.
    newest = greeted(proxy)
    assert ended(waiting[0], 2)
    newest.sendall(b"QUIT\r\n")
    assert recv_all(newest) == b"+OK\r\n"
    for s in waiting:
        s.close()


def test_halvex_out_of_descriptors_refuses_new_clients_and_goes_on(start_peer, echo):
    hx = start_peer(Halvex, upstream=("127.0.0.1", echo.port),
                    args=["--max-per-client", "500", "--first-byte-timeout", "2"],
                    wrap=[prlimit(), "--nofile=64:64", "--"])
    idle, refused = [], 0
    for _ in range(80):
        try:
            idle.append(connect_from("127.0.0.1", (hx.host, hx.port)))
        except ConnectionRefusedError:
            refused += 1
    time.sleep(0.5)
    # Beyond its descriptors a client is refused at once instead of waiting in the backlog.
    refused += len([s for s in idle[60:] if closed_at_once_within(s, 2)])
    assert refused, "no client was refused"
    # The silent ones go after their limit, and a real request is served.
    time.sleep(2.5)
    s = hx.connect()
    s.sendall(b"real request")
    s.shutdown(socket.SHUT_WR)
    assert recv_all(s).startswith(b"real request")
    for c in idle:
        c.close()


def closed_at_once_within(s, seconds):
    s.settimeout(seconds)
    return closed_at_once(s)
