"""quessel between real POP3 clients (poplib, fetchmail, raw sockets) and real dovecot servers.

Every client logs in as USERNAME|SERVER; quessel listens on a high port on 127.0.0.1 and connects
to every server on the port given with --server-port; the servers here are allowed with
--allow-servers.
"""

import os
import poplib
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import program
from peers import Command, Dovecot, free_port

TIMEOUT = 10.0


def message(n, size=600, extra=b""):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(size // 20))
    return (b"From: sender%d@example.org\nTo: alice@example.org\nSubject: message %d\n\n" % (n, n)
            + extra + body)


# A message with the lines a relay could spoil: a dot line (dot-stuffed on the wire), a line that
# is only "." inside the text, 8-bit bytes, NUL, a lone CR, and no final line end.
AWKWARD = (b"From: a@example.org\nSubject: awkward\n\n.leading dot\n.\n..two\n"
           b"8bit: \xe4\xf6\xfc\xff\x00nul\rcr\nlast line without end")
# Larger than any socket buffer, so the relay has to hold back a side.
LARGE = message(99, size=3 * 1024 * 1024)


@pytest.fixture
def quessel_env(tmp_path, monkeypatch):
    config = tmp_path / "config"
    config.mkdir()
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)


@pytest.fixture
def start_quessel(tmp_path, quessel_env):
    """start_quessel(server_port, *extra_args, wrap=None) -> the running proxy (a peer with .port).
    wrap is a shell command line that runs the proxy, with {cmd} for the proxy's own."""
    started = []

    def start(server_port, *extra, wrap=None):
        # The servers of these tests are on this machine, which no stranger may reach.
        argv = [str(program("quessel")), "--port", "{port}", "--bind", "{host}",
                "--server-port", str(server_port), "--allow-servers", "127.0.0.0/8", *extra]
        if wrap:
            argv = ["sh", "-c", wrap.format(cmd=" ".join(argv))]
        proxy = Command(tmp_path / f"quessel{len(started) + 1}", argv, name="quessel")
        proxy.start()
        started.append(proxy)
        return proxy

    yield start
    for proxy in reversed(started):
        proxy.stop()


def login(proxy, name, server, password="secret"):
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    assert pop.getwelcome() == b"+OK"
    pop.user(f"{name}|{server}")
    pop.pass_(password)
    return pop


def connect(proxy):
    s = socket.create_connection((proxy.host, proxy.port), timeout=TIMEOUT)
    assert recv_exactly(s, 5) == b"+OK\r\n"
    return s


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_until(s, end):
    data = b""
    while not data.endswith(end):
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def recv_all(s):
    """Everything until the other side ends the stream."""
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk


class SilentServer:
    """A TCP server that accepts and then says nothing: a POP3 server that never greets.
    Records whether each connection saw the other side's end of stream."""

    def __init__(self, host="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.bind((host, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.ended = threading.Event()
        self.greeting = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(TIMEOUT * 2)
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(TIMEOUT * 2)
            if self.greeting:
                conn.sendall(self.greeting)
            try:
                while True:
                    data = conn.recv(4096)
                    if not data:
                        self.ended.set()
                        return
                    self.received.append(data)
                    if self.greeting and data.startswith(b"USER"):
                        conn.sendall(b"+OK\r\n")
            except OSError:
                self.ended.set()

    def close(self):
        self.sock.close()


# ---- clients retrieving through the proxy ---------------------------------------------------


def test_poplib_retrieves_every_message_byte_for_byte(start_peer, start_quessel):
    mail = [message(1), AWKWARD, message(3, size=40000), LARGE]
    pop3 = start_peer(Dovecot, mail={"alice": mail})
    proxy = start_quessel(pop3.port)

    pop = login(proxy, "alice", "127.0.0.1")
    assert pop.stat()[0] == len(mail)
    listing = pop.list()[1]
    assert len(listing) == len(mail)
    for n, original in enumerate(mail, start=1):
        resp, lines, _ = pop.retr(n)
        assert resp.startswith(b"+OK")
        assert b"\r\n".join(lines) + b"\r\n" == Dovecot.as_retrieved(original), f"message {n}"
    # TOP and UIDL are the server's own answers, passed on unchanged.
    assert pop.top(1, 0)[1][2] == b"Subject: message 1"
    assert len(pop.uidl()[1]) == len(mail)
    assert pop.quit().startswith(b"+OK")
    assert len(pop3.messages("alice")) == len(mail)


def test_fetchmail_gets_every_message(start_peer, start_quessel, tmp_path):
    # fetchmail itself drops a lone CR, so this message has none.
    mail = [message(1), AWKWARD.replace(b"\r", b""), message(3, size=100000)]
    pop3 = start_peer(Dovecot, mail={"alice": mail})
    proxy = start_quessel(pop3.port)

    out = tmp_path / "delivered"
    out.mkdir()
    mda = tmp_path / "mda.py"
    mda.write_text("import os, sys, time\n"
                   f"path = os.path.join({str(out)!r}, '%d' % time.monotonic_ns())\n"
                   "open(path, 'wb').write(sys.stdin.buffer.read())\n")
    rc = tmp_path / "fetchmailrc"
    rc.write_text(f'poll 127.0.0.1 protocol pop3 port {proxy.port}\n'
                  f'  user "alice|127.0.0.1" password "secret" is root here\n'
                  f'  keep fetchall no rewrite sslproto ""\n'
                  f'  mda "{sys.executable} {mda}"\n')
    rc.chmod(0o600)
    env = dict(os.environ, HOME=str(tmp_path), FETCHMAILHOME=str(tmp_path))
    run = subprocess.run(["fetchmail", "-f", str(rc), "--nosyslog", "--nodetach", "-v",
                          "--pidfile", str(tmp_path / "fetchmail.pid")],
                         env=env, capture_output=True, timeout=60)
    log = (run.stdout + run.stderr).decode("utf-8", "replace")
    assert run.returncode == 0, log
    # fetchmail starts with CAPA, which the proxy answers itself before the login.
    assert "CAPA" in log
    got = sorted(out.iterdir(), key=lambda p: int(p.name))
    assert len(got) == len(mail), log
    for original, path in zip(mail, got):
        data = path.read_bytes()
        # fetchmail adds its own Received header in front and hands over LF line ends.
        expected = Dovecot.as_retrieved(original).replace(b"\r\n", b"\n")
        assert data.endswith(expected), path


def test_two_logins_at_once_reach_their_own_servers(start_peer, start_quessel):
    first = start_peer(Dovecot, users={"alice": "secret"}, mail={"alice": [message(1)]})
    start_peer(Dovecot, host="127.0.0.2", port=first.port,
               users={"bob": "hidden"}, mail={"bob": [message(2)]})
    proxy = start_quessel(first.port)

    logins = [(b"alice", b"127.0.0.1", b"secret", message(1)),
              (b"bob", b"127.0.0.2", b"hidden", message(2))] * 3
    clients = [connect(proxy) for _ in logins]
    # All login lines go out back to back, before the server connections can complete.
    for s, (name, server, _, _) in zip(clients, logins):
        s.sendall(b"USER %s|%s\r\n" % (name, server))
    for s, (_, _, password, original) in zip(clients, logins):
        assert recv_until(s, b"\r\n").startswith(b"+OK")
        s.sendall(b"PASS %s\r\nRETR 1\r\n" % password)
        reply = recv_until(s, b"\r\n.\r\n")
        head, _, text = reply.partition(b"\r\n")
        assert head.startswith(b"+OK"), reply[:200]
        text = text.partition(b"\r\n")[2]  # past the RETR status line
        assert text == Dovecot.as_retrieved(original) + b".\r\n"
        s.close()


def test_pipelined_login_chunk_keeps_order(start_peer, start_quessel):
    # Password with "|" and "user": after the login line it is only a password.
    pop3 = start_peer(Dovecot, users={"alice": "p|user"}, mail={"alice": [message(1)]})
    proxy = start_quessel(pop3.port)
    s = connect(proxy)
    s.sendall(b"USER alice|127.0.0.1\r\nPASS p|user\r\nSTAT\r\nQUIT\r\n")
    replies = recv_all(s).split(b"\r\n")
    assert replies[0].startswith(b"+OK"), replies
    assert replies[1].startswith(b"+OK"), replies   # PASS
    assert replies[2].startswith(b"+OK 1 "), replies  # STAT
    assert replies[3].startswith(b"+OK"), replies   # QUIT
    s.close()


def test_capa_first_then_login(start_peer, start_quessel):
    pop3 = start_peer(Dovecot, mail={"alice": [message(1)]})
    proxy = start_quessel(pop3.port)
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    assert "USER" in pop.capa()
    pop.user("alice|127.0.0.1")
    pop.pass_("secret")
    assert pop.stat()[0] == 1
    # After the login CAPA is the server's.
    assert "UIDL" in pop.capa()
    pop.quit()


def test_commands_before_login_are_answered_by_the_proxy(start_quessel):
    proxy = start_quessel(free_port())
    s = connect(proxy)
    s.sendall(b"STAT\r\n")
    assert recv_until(s, b"\r\n").startswith(b"-ERR")
    s.sendall(b"USER alice\r\n")
    assert b"USERNAME|SERVER" in recv_until(s, b"\r\n")
    s.sendall(b"CAPA\r\n")
    assert recv_until(s, b"\r\n.\r\n").startswith(b"+OK")
    s.sendall(b"QUIT\r\n")
    assert recv_all(s) == b"+OK\r\n"
    s.close()


# ---- ends of sessions -------------------------------------------------------------------


def test_server_closing_closes_the_client(start_peer, start_quessel):
    pop3 = start_peer(Dovecot)
    proxy = start_quessel(pop3.port)
    s = connect(proxy)
    s.sendall(b"USER alice|127.0.0.1\r\n")
    assert recv_until(s, b"\r\n").startswith(b"+OK")
    s.sendall(b"PASS secret\r\n")
    assert recv_until(s, b"\r\n").startswith(b"+OK")
    # dovecot ends the session after QUIT; the proxy passes the end on.
    s.sendall(b"QUIT\r\n")
    assert recv_all(s).startswith(b"+OK")
    s.close()


def test_client_closing_closes_the_server(start_quessel):
    server = SilentServer()
    server.greeting = b"+OK ready\r\n"
    # A scripted server that expects USER right after its greeting.
    proxy = start_quessel(server.port, "--server-tls", "off")
    s = connect(proxy)
    s.sendall(b"USER alice|127.0.0.1\r\n")
    assert recv_until(s, b"\r\n") == b"+OK\r\n"
    s.close()
    assert server.ended.wait(TIMEOUT)
    assert b"".join(server.received) == b"USER alice\r\n"
    server.close()


# ---- servers that cannot be used --------------------------------------------------------


def test_refused_server_gets_an_error(start_quessel):
    proxy = start_quessel(free_port())
    s = connect(proxy)
    s.sendall(b"USER alice|127.0.0.1\r\n")
    assert recv_all(s) == b"-ERR POP3 server 127.0.0.1 is not available\r\n"
    s.close()


def test_server_without_greeting_times_out(start_quessel):
    server = SilentServer()
    proxy = start_quessel(server.port, "--server-timeout", "1")
    s = connect(proxy)
    s.sendall(b"USER alice|127.0.0.1\r\nPASS secret\r\n")
    assert recv_all(s) == b"-ERR POP3 server 127.0.0.1 is not available\r\n"
    # The server connection went with the slot.
    assert server.ended.wait(TIMEOUT)
    s.close()
    server.close()


def test_name_that_does_not_resolve_gets_an_error(start_quessel, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root for a private resolver configuration")
    # The resolver is pointed at 127.0.0.1, where nothing answers, so no query leaves loopback.
    resolv = tmp_path / "resolv.conf"
    resolv.write_text("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("unshare -m is not permitted here")
    proxy = start_quessel(free_port(), wrap=f"exec unshare -m sh -c 'mount --bind {resolv} "
                                            "/etc/resolv.conf && exec {cmd}'")
    s = connect(proxy)
    s.sendall(b"USER alice|nosuch.invalid\r\n")
    assert recv_all(s) == b"-ERR POP3 server nosuch.invalid is not available\r\n"
    s.close()


# ---- the program itself -----------------------------------------------------------------


def test_port_in_use_ends_a_headless_start_with_one_line(tmp_path, quessel_env):
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    try:
        run = subprocess.run([str(program("quessel")), "--port", str(port), "--bind", "127.0.0.1"],
                             capture_output=True, timeout=TIMEOUT)
        # With no display nobody sees the status bar: a service manager sees the failure.
        assert run.returncode == 1
        lines = run.stderr.decode().strip().splitlines()
        assert lines == [f'quessel: listen outcome="cannot listen on port 127.0.0.1:{port}: address in use"']
    finally:
        holder.close()


@pytest.mark.parametrize("args", [["--port", "0"], ["--server-port", "x"], ["--frob"]])
def test_bad_arguments_end_the_program_with_one_line(args, quessel_env):
    run = subprocess.run([str(program("quessel")), *args], capture_output=True, timeout=TIMEOUT)
    assert run.returncode == 2
    lines = run.stderr.decode().strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quessel: "), run.stderr
