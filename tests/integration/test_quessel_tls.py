"""quessel with TLS on either leg and on both: real clients (poplib over TLS and with STLS,
fetchmail, openssl s_client) and real dovecot servers with certificates from a test authority made
for the test. Whatever happens, no password goes in the clear where TLS was asked for, and a
server whose certificate fails the check gets the client the same line as any unusable server."""

import os
import poplib
import socket
import ssl
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import program, source_dir
from peers import Command, Dovecot, free_port, wait_listening

TIMEOUT = 10.0
PASSWORD = "tls-Secret-7"


def message(n, size=30000):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(size // 20))
    return (b"From: s%d@example.org\nTo: alice@example.org\nSubject: message %d\n\n" % (n, n)
            + b".dot line\n" + body)


MAIL = [message(1), message(2), b"From: a@example.org\nSubject: small\n\n8bit \xe4\xf6\x00 end"]


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    d = tmp_path_factory.mktemp("ca")
    subprocess.run([str(source_dir() / "tests" / "helpers" / "make-test-ca"), str(d)], check=True)
    return d


@pytest.fixture
def start_quessel(tmp_path, monkeypatch, ca):
    config = tmp_path / "config"
    config.mkdir()
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    monkeypatch.delenv("DISPLAY", raising=False)
    # The server leg trusts the test authority alone.
    monkeypatch.setenv("SSL_CERT_FILE", str(ca / "ca.pem"))
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path / "no-certs"))
    started = []

    def start(server_port, *args):
        argv = [str(program("quessel")), "--port", "{port}", "--bind", "{host}",
                "--server-port", str(server_port), "--allow-servers", "127.0.0.0/8 localhost",
                *args]
        proxy = Command(tmp_path / f"quessel{len(started) + 1}", argv, name="quessel")
        proxy.start()
        started.append(proxy)
        # The POP3S listener too, before a client is sent to it.
        if "--tls-port" in args:
            assert wait_listening(proxy.host, int(args[args.index("--tls-port") + 1]),
                                  alive=lambda: proxy.proc.poll() is None), proxy.output.read_text()
        return proxy

    yield start
    for proxy in reversed(started):
        proxy.stop()
    for proxy in started:
        assert PASSWORD.encode() not in proxy.output.read_bytes()


def client_context(ca):
    ctx = ssl.create_default_context(cafile=str(ca / "ca.pem"))
    return ctx


def with_tls_listener(ca, tls_port):
    return ["--tls-cert", str(ca / "good.pem"), "--tls-key", str(ca / "good.key"),
            "--tls-port", str(tls_port)]


def retrieve_all(pop):
    count, _ = pop.stat()
    got = []
    for n in range(1, count + 1):
        _, lines, _ = pop.retr(n)
        got.append(b"\r\n".join(lines) + b"\r\n")
    return got


def expected():
    return [Dovecot.as_retrieved(m) for m in MAIL]


def tls_dovecot(start_peer, ca, tls="yes", cert="good", pop3s=False):
    return start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL}, tls=tls,
                      cert=ca / f"{cert}.pem", key=ca / f"{cert}.key",
                      pop3s_port=free_port() if pop3s else None)


def test_client_leg_only_pop3s_and_stls(start_peer, start_quessel, ca):
    pop3 = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL})
    tls_port = free_port()
    # The server leg stays in the clear only because the admin says so.
    proxy = start_quessel(pop3.port, "--server-tls", "off", *with_tls_listener(ca, tls_port))

    pop = poplib.POP3_SSL(proxy.host, tls_port, context=client_context(ca), timeout=TIMEOUT)
    assert pop.getwelcome() == b"+OK"
    pop.user("alice|127.0.0.1")
    pop.pass_(PASSWORD)
    assert retrieve_all(pop) == expected()
    pop.quit()

    plain = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    assert "STLS" in plain.capa()
    plain.stls(context=client_context(ca))
    # Once under TLS, STLS is no longer offered.
    assert "STLS" not in plain.capa()
    plain.user("alice|127.0.0.1")
    plain.pass_(PASSWORD)
    assert retrieve_all(plain) == expected()
    plain.quit()


def test_a_client_on_tls_is_never_relayed_in_the_clear(start_peer, start_quessel, ca):
    pop3 = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL})
    tls_port = free_port()
    proxy = start_quessel(pop3.port, *with_tls_listener(ca, tls_port))
    s = client_context(ca).wrap_socket(socket.create_connection((proxy.host, tls_port), TIMEOUT),
                                       server_hostname="localhost")
    assert s.recv(5) == b"+OK\r\n"
    s.sendall(b"USER alice|127.0.0.1\r\nPASS " + PASSWORD.encode() + b"\r\n")
    got = b""
    while chunk := s.recv(4096):
        got += chunk
    assert got == b"-ERR POP3 server 127.0.0.1 is not available\r\n"


def test_server_leg_secured_with_stls(start_peer, start_quessel, ca):
    pop3 = tls_dovecot(start_peer, ca, tls="required")
    proxy = start_quessel(pop3.port)
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    # The certificate is checked against the name the client wrote.
    pop.user("alice|localhost")
    pop.pass_(PASSWORD)
    assert retrieve_all(pop) == expected()
    pop.quit()


def test_both_legs_with_tls_from_the_first_byte(start_peer, start_quessel, ca):
    pop3 = tls_dovecot(start_peer, ca, tls="required", pop3s=True)
    tls_port = free_port()
    proxy = start_quessel(pop3.pop3s_port, "--server-tls", "implicit",
                          *with_tls_listener(ca, tls_port))
    pop = poplib.POP3_SSL(proxy.host, tls_port, context=client_context(ca), timeout=TIMEOUT)
    pop.user("alice|localhost")
    pop.pass_(PASSWORD)
    assert retrieve_all(pop) == expected()
    pop.quit()
    # The log tells both legs as they were: the server's was TLS from its first byte.
    deadline = time.monotonic() + TIMEOUT
    while b"quessel: login " not in proxy.output.read_bytes() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert b"user=alice server=localhost tls=client+server outcome=ok" in proxy.output.read_bytes()


def test_the_own_pop3s_port_is_no_server(start_quessel, ca):
    # --server-port the proxy's own POP3S port: a login would chain the proxy into itself.
    tls_port = free_port()
    proxy = start_quessel(tls_port, "--server-tls", "implicit", *with_tls_listener(ca, tls_port))
    s = socket.create_connection((proxy.host, proxy.port), timeout=TIMEOUT)
    assert s.recv(5) == b"+OK\r\n"
    s.sendall(b"USER alice|127.0.0.1\r\n")
    got = b""
    while chunk := s.recv(4096):
        got += chunk
    assert got == b"-ERR POP3 server 127.0.0.1 is not available\r\n"
    s.close()
    deadline = time.monotonic() + TIMEOUT
    while b"is not allowed" not in proxy.output.read_bytes() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert b"the server's address is not allowed" in proxy.output.read_bytes()
    # Only the one client ever came in: no connection of the proxy's own reached a listener.
    assert proxy.output.read_bytes().count(b"quessel: session ") <= 1


class TlsRecorder:
    """A TLS server with the given certificate that greets and records what it is sent."""

    def __init__(self, ca, cert):
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(ca / f"{cert}.pem", ca / f"{cert}.key")
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(TIMEOUT)
        self.port = self.sock.getsockname()[1]
        self.received = b""
        self.plain = b""
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(TIMEOUT)
        with conn:
            try:
                # STLS first, as dovecot would offer it.
                conn.sendall(b"+OK ready\r\n")
                while True:
                    line = conn.recv(4096)
                    if not line:
                        return
                    self.plain += line
                    if line.startswith(b"CAPA"):
                        conn.sendall(b"+OK\r\nSTLS\r\nUSER\r\n.\r\n")
                    elif line.startswith(b"STLS"):
                        conn.sendall(b"+OK go\r\n")
                        break
                tls = self.ctx.wrap_socket(conn, server_side=True)
                while data := tls.recv(4096):
                    self.received += data
            except (OSError, ssl.SSLError):
                pass


@pytest.mark.parametrize("cert", ["expired", "other", "self"])
def test_a_bad_server_certificate_fails_closed(cert, start_quessel, ca):
    server = TlsRecorder(ca, cert)
    proxy = start_quessel(server.port, "--server-tls", "stls")
    s = socket.create_connection((proxy.host, proxy.port), TIMEOUT)
    assert s.recv(5) == b"+OK\r\n"
    s.sendall(b"USER alice|localhost\r\nPASS " + PASSWORD.encode() + b"\r\n")
    got = b""
    while chunk := s.recv(4096):
        got += chunk
    assert got == b"-ERR POP3 server localhost is not available\r\n"
    time.sleep(0.2)
    # The proxy asked only its own questions, and nothing went over the failed session.
    assert server.plain == b"CAPA\r\nSTLS\r\n"
    assert server.received == b""


def test_stls_required_means_no_login_in_the_clear(start_peer, start_quessel, ca):
    pop3 = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL})
    proxy = start_quessel(pop3.port, "--server-tls", "off", "--require-tls",
                          "--tls-cert", str(ca / "good.pem"), "--tls-key", str(ca / "good.key"))
    s = socket.create_connection((proxy.host, proxy.port), TIMEOUT)
    assert s.recv(5) == b"+OK\r\n"
    s.sendall(b"USER alice|127.0.0.1\r\n")
    assert s.recv(4096).startswith(b"-ERR")
    s.close()
    # openssl s_client upgrades with STLS and logs in.
    run = subprocess.run(["openssl", "s_client", "-quiet", "-connect", f"{proxy.host}:{proxy.port}",
                          "-starttls", "pop3", "-CAfile", str(ca / "ca.pem"), "-verify_return_error",
                          "-servername", "localhost"],
                         input=b"USER alice|127.0.0.1\r\nPASS " + PASSWORD.encode() + b"\r\nSTAT\r\nQUIT\r\n",
                         capture_output=True, timeout=30)
    lines = run.stdout.split(b"\r\n")
    assert any(line.startswith(b"+OK 3 ") for line in lines), run.stdout + run.stderr


def test_fetchmail_with_stls_through_the_proxy(start_peer, start_quessel, ca, tmp_path):
    pop3 = tls_dovecot(start_peer, ca, tls="yes")
    proxy = start_quessel(pop3.port, "--require-tls",
                          "--tls-cert", str(ca / "good.pem"), "--tls-key", str(ca / "good.key"))
    out = tmp_path / "delivered"
    out.mkdir()
    rc = tmp_path / "fetchmailrc"
    rc.write_text(f'poll {proxy.host} protocol pop3 port {proxy.port}\n'
                  f'  user "alice|localhost" password "{PASSWORD}"\n'
                  f'  sslproto tls1.2+ sslcertck sslcertfile "{ca / "ca.pem"}" sslcommonname localhost\n'
                  f'  keep mda "sh -c \'cat > {out}/$$.msg\'"\n')
    rc.chmod(0o600)
    run = subprocess.run(["fetchmail", "-f", str(rc), "--nosyslog", "--all", "--nodetach",
                          "--pidfile", str(tmp_path / "fetchmail.pid")],
                         env=dict(os.environ, HOME=str(tmp_path)), capture_output=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert len(list(out.iterdir())) == len(MAIL)
