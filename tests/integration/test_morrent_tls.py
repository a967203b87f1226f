"""morrent over TLS against real dovecot servers with certificates from a test authority: POP3S and
STLS deliver byte for byte; every certificate that fails the check, a handshake that fails after
STLS was offered, and a server stripped of its STLS (with poptls=require) end the run with status
1 and the reason, before any USER or PASS; a pinned fingerprint stands for the chain."""

import os
import re
import socket
import ssl
import subprocess
import threading

import pytest

from conftest import source_dir
from halvexproc import write_registry
from peers import Dovecot, free_port
from test_morrent_cli import pickup, run

PASSWORD = "Tls-pw-4"
MAIL = [b"From: a@example.org\nTo: alice@example.org\nSubject: one\n\n.dot\nbody\n",
        b"From: b@example.org\nTo: alice@example.org\nSubject: two\n\n8bit \xe4\xf6 end"]


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    d = tmp_path_factory.mktemp("ca")
    subprocess.run([str(source_dir() / "tests" / "helpers" / "make-test-ca"), str(d)], check=True)
    return d


@pytest.fixture
def env(tmp_path, ca):
    e = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    for name in ("config", "data", "state"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"),
             XDG_STATE_HOME=str(tmp_path / "state"), SSL_CERT_FILE=str(ca / "ca.pem"),
             SSL_CERT_DIR=str(tmp_path / "no-certs"))
    return e


def tls_dovecot(start_peer, ca, tls="required", cert="good", pop3s=False):
    return start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": list(MAIL)}, tls=tls,
                      cert=ca / f"{cert}.pem", key=ca / f"{cert}.key",
                      pop3s_port=free_port() if pop3s else None)


def retrieved():
    return [Dovecot.as_retrieved(m) for m in MAIL]


def test_pop3s_and_stls_deliver_byte_for_byte(start_peer, ca, env, tmp_path):
    pop3 = tls_dovecot(start_peer, ca, pop3s=True)
    status, err = run(env, f"pop3s://localhost:{pop3.pop3s_port}", "alice", PASSWORD, 0)
    assert (status, err) == (0, [])
    assert sorted(pickup(env)) == sorted(retrieved())
    # STLS on the plain port (into a pickup folder of its own), deleting this time.
    other = dict(env, XDG_DATA_HOME=str(tmp_path / "data2"), XDG_STATE_HOME=str(tmp_path / "state2"))
    status, err = run(other, f"localhost:{pop3.port}", "alice", PASSWORD, 1)
    assert (status, err) == (0, [])
    assert sorted(pickup(other)) == sorted(retrieved())
    assert pop3.messages("alice") == []


class FakeTlsServer:
    """Greets, offers STLS, answers STLS with +OK, then does the TLS side with `cert` (or, with
    cert None, sends garbage instead of a handshake). Records what came in the clear and what came
    through TLS."""

    def __init__(self, ca, cert, offer=True):
        self.ctx = None
        if cert:
            self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ctx.load_cert_chain(ca / f"{cert}.pem", ca / f"{cert}.key")
        self.offer = offer
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        self.plain = b""
        self.secret = b""
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(20)
        with conn:
            try:
                conn.sendall(b"+OK ready\r\n")
                while True:
                    line = conn.recv(4096)
                    if not line:
                        return
                    self.plain += line
                    if line.lower().startswith(b"capa"):
                        conn.sendall(b"+OK\r\nUSER\r\n" + (b"STLS\r\n" if self.offer else b"") +
                                     b".\r\n")
                    elif line.lower().startswith(b"stls"):
                        conn.sendall(b"+OK go ahead\r\n")
                        break
                    else:
                        conn.sendall(b"+OK\r\n")
                if not self.ctx:
                    conn.sendall(b"\x15\x03\x03\x00\x02\x02\x28 not a handshake")
                    return
                tls = self.ctx.wrap_socket(conn, server_side=True)
                while data := tls.recv(4096):
                    self.secret += data
            except (OSError, ssl.SSLError):
                pass


@pytest.mark.parametrize("cert, reason", [
    ("expired", "certificate for localhost has expired"),
    ("other", "certificate is for other.example, not localhost"),
    ("self", "certificate for localhost is self-signed, not issued by a trusted authority"),
    (None, "TLS with localhost failed"),
])
def test_every_failed_check_ends_the_run_before_the_login(cert, reason, ca, env):
    server = FakeTlsServer(ca, cert)
    status, err = run(env, f"localhost:{server.port}", "alice", PASSWORD, 1)
    assert status == 1
    assert len(err) == 1 and err[0].startswith("morrent: ") and reason in err[0], err
    assert server.plain == b"capa\r\nstls\r\n"
    assert server.secret == b""
    assert pickup(env) == []


def test_a_server_stripped_of_stls(ca, env, tmp_path):
    # A man in the middle that takes STLS out of the capabilities: with poptls=require the
    # password never goes.
    write_registry(tmp_path / "config", {"poptls": "require"})
    server = FakeTlsServer(ca, "good", offer=False)
    status, err = run(env, f"localhost:{server.port}", "alice", PASSWORD, 0)
    assert status == 1
    assert len(err) == 1 and re.fullmatch(
        r'morrent: run .* outcome=failed ms=\d+ reason="the server offers no STLS, and '
        r'poptls=require sends no login in the clear"', err[0]), err
    assert b"user" not in server.plain and PASSWORD.encode() not in server.plain


def test_a_pinned_fingerprint_stands_for_the_chain(start_peer, ca, env, tmp_path):
    pop3 = tls_dovecot(start_peer, ca, cert="self", pop3s=True)
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                          str(ca / "self.pem")], capture_output=True, text=True, check=True)
    pin = out.stdout.strip().split("=", 1)[1]
    target = f"pop3s://localhost:{pop3.pop3s_port}"
    status, err = run(env, target, "alice", PASSWORD, 0)
    assert status == 1 and "self-signed" in err[0]
    write_registry(tmp_path / "config", {"tlsfingerprint": pin})
    status, err = run(env, target, "alice", PASSWORD, 0)
    assert (status, err) == (0, [])
    assert len(pickup(env)) == 2
    write_registry(tmp_path / "config", {"tlsfingerprint": "ab" * 32})
    status, err = run(env, target, "alice", PASSWORD, 0)
    assert status == 1 and re.search(r"has the fingerprint [0-9a-f]{64}, not the one pinned", err[0])


@pytest.mark.parametrize("poptls", [None, "auto", "off"])
def test_a_pin_makes_tls_a_must(ca, env, tmp_path, poptls):
    # With a pinned fingerprint, a server (or a man in the middle) that leaves STLS out of its
    # capabilities gets no USER and no PASS, whatever poptls says.
    values = {"tlsfingerprint": "ab" * 32}
    if poptls:
        values["poptls"] = poptls
    write_registry(tmp_path / "config", values)
    server = FakeTlsServer(ca, "good", offer=False)
    status, err = run(env, f"localhost:{server.port}", "alice", PASSWORD, 0)
    assert status == 1
    assert len(err) == 1 and err[0].endswith(
        'reason="the server offers no STLS, and with tlsfingerprint set no login goes out in the '
        'clear"'), err
    assert b"user" not in server.plain and PASSWORD.encode() not in server.plain
    assert pickup(env) == []


def test_a_failed_pop3s_handshake_is_no_tls_session(start_peer, ca, env):
    pop3 = tls_dovecot(start_peer, ca, cert="expired", pop3s=True)
    status, err = run(env, f"pop3s://localhost:{pop3.pop3s_port}", "alice", PASSWORD, 0)
    assert status == 1
    assert len(err) == 1 and "has expired" in err[0], err
    assert " tls=no " in err[0], err
    # And a good one is.
    good = tls_dovecot(start_peer, ca, pop3s=True)
    status, err = run(env, f"pop3s://localhost:{good.pop3s_port}", "alice", PASSWORD, 0,
                      level="info")
    assert status == 0 and len(err) == 1 and " tls=yes " in err[0], err
