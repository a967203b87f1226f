"""SIGHUP applies what the settings say now: a new listen port or address is open before the old
one closes and open connections go on, a new upstream takes the next connection, a renewed
certificate is served without a restart; what cannot change is named (outcome=partial), and a
wrong value keeps every old one."""

import os
import shutil
import signal
import socket
import ssl
import subprocess
import time

import pytest

from conftest import program, source_dir
from peers import free_port, wait_listening
from test_halvex_relay import Upstream, wait_until

TIMEOUT = 10.0


def tagged_echo(tag):
    """An upstream that answers each chunk with its tag and the chunk, until the client ends."""
    def handler(conn):
        while True:
            d = conn.recv(65536)
            if not d:
                break
            conn.sendall(tag + d)
        conn.close()
    return handler


@pytest.fixture
def env(tmp_path):
    e = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"), QT_QPA_PLATFORM="offscreen")
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    return e


class Service:
    def __init__(self, argv, env, tmp_path, port):
        self.log = tmp_path / "stderr"
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                     stderr=open(self.log, "w"))
        assert wait_listening("127.0.0.1", port, alive=lambda: self.proc.poll() is None), self.text()

    def text(self):
        return self.log.read_text()

    def reload(self, expect):
        before = self.text().count(" reload ")
        self.proc.send_signal(signal.SIGHUP)
        assert wait_until(lambda: self.text().count(" reload ") > before), self.text()
        line = [l for l in self.text().splitlines() if " reload " in l][-1]
        assert line.startswith(expect), line
        return line

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            assert self.proc.wait(TIMEOUT) == 0


def exchange(sock, data):
    sock.sendall(data)
    got = b""
    while len(got) < len(data) + 3:
        chunk = sock.recv(65536)
        if not chunk:
            break
        got += chunk
    return got


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), 1).close()
        return False
    except OSError:
        return True


def test_halvex_moves_its_listener_and_upstream_and_open_connections_go_on(env, tmp_path):
    one, two = Upstream(tagged_echo(b"u1:")), Upstream(tagged_echo(b"u2:"))
    old, new = free_port(), free_port()
    conf = tmp_path / "halvex.conf"
    conf.write_text(f"plistenport = {old}\nbind = 127.0.0.1\nproxyip = 127.0.0.1\nproxyport = {one.port}\n")
    service = Service([str(program("halvex")), "--config", str(conf), "--start"], env, tmp_path, old)
    try:
        kept = socket.create_connection(("127.0.0.1", old), TIMEOUT)
        assert exchange(kept, b"abc") == b"u1:abc"
        conf.write_text(f"plistenport = {new}\nbind = 127.0.0.1\nproxyip = 127.0.0.1\nproxyport = {two.port}\n")
        assert service.reload("halvex: reload ") == "halvex: reload outcome=ok"
        assert f"halvex: listening address=127.0.0.1:{new} outcome=moved" in service.text()
        # The next connection: the new port, the new upstream; the old port is closed.
        fresh = socket.create_connection(("127.0.0.1", new), TIMEOUT)
        assert exchange(fresh, b"def") == b"u2:def"
        fresh.close()
        assert refused(old)
        # The connection opened before goes on, through the upstream it had.
        assert exchange(kept, b"ghi") == b"u1:ghi"
        kept.close()

        # A wrong value keeps every setting, the port included.
        conf.write_text(f"plistenport = {old}\nidletimeout = soon\n")
        line = service.reload("halvex: reload ")
        assert line.startswith('halvex: reload outcome="kept the settings" reason='), line
        assert "idletimeout: not a number of seconds: soon" in line
        again = socket.create_connection(("127.0.0.1", new), TIMEOUT)
        assert exchange(again, b"jkl") == b"u2:jkl"
        again.close()

        # A port someone else holds: the old listener stays, and the line says what was kept.
        holder = socket.create_server(("127.0.0.1", 0))
        taken = holder.getsockname()[1]
        conf.write_text(f"plistenport = {taken}\nbind = 127.0.0.1\nproxyip = 127.0.0.1\nproxyport = {two.port}\n"
                        "debug = 0\n")
        line = service.reload("halvex: reload ")
        holder.close()
        assert line.startswith("halvex: reload outcome=partial kept=") and "plistenport" in line, line
        assert "debug" in line  # the window's face does not change while it is open
        assert f"cannot listen on 127.0.0.1:{taken}: address in use" in line
        still = socket.create_connection(("127.0.0.1", new), TIMEOUT)
        assert exchange(still, b"mno") == b"u2:mno"
        still.close()
    finally:
        service.stop()
        one.close()
        two.close()


def test_quessel_moves_its_listener_and_serves_a_renewed_certificate(env, tmp_path):
    ca = tmp_path / "ca"
    subprocess.run([str(source_dir() / "tests" / "helpers" / "make-test-ca"), str(ca)], check=True)
    shutil.copy(ca / "good.pem", tmp_path / "cert.pem")
    shutil.copy(ca / "good.key", tmp_path / "key.pem")
    plain, pop3s, moved = free_port(), free_port(), free_port()
    conf = tmp_path / "quessel.conf"
    settings = (f"bind = 127.0.0.1\ntlscert = {tmp_path}/cert.pem\ntlskey = {tmp_path}/key.pem\n"
                f"tlsport = {pop3s}\n")
    conf.write_text(f"port = {plain}\n" + settings)
    service = Service([str(program("quessel")), "--config", str(conf)], env, tmp_path, plain)

    def served_certificate():
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        with socket.create_connection(("127.0.0.1", pop3s), TIMEOUT) as raw:
            with ctx.wrap_socket(raw) as s:
                return s.getpeercert(binary_form=True)

    def der(name):
        return ssl.PEM_cert_to_DER_cert((ca / name).read_text())

    try:
        assert wait_listening("127.0.0.1", pop3s)
        assert served_certificate() == der("good.pem")
        kept = socket.create_connection(("127.0.0.1", plain), TIMEOUT)
        assert kept.recv(5) == b"+OK\r\n"
        # The certificate renewed in place, and a new port.
        shutil.copy(ca / "self.pem", tmp_path / "cert.pem")
        shutil.copy(ca / "self.key", tmp_path / "key.pem")
        conf.write_text(f"port = {moved}\n" + settings)
        assert service.reload("quessel: reload ") == "quessel: reload outcome=ok"
        assert served_certificate() == der("self.pem")
        fresh = socket.create_connection(("127.0.0.1", moved), TIMEOUT)
        assert fresh.recv(5) == b"+OK\r\n"
        fresh.close()
        assert refused(plain)
        # The session opened before still talks.
        kept.sendall(b"CAPA\r\n")
        assert kept.recv(4096).startswith(b"+OK")
        kept.close()
        # A certificate that cannot be read: the one in use stays, and the line names it.
        (tmp_path / "cert.pem").write_text("not a certificate\n")
        line = service.reload("quessel: reload ")
        assert line.startswith("quessel: reload outcome=partial kept=tlscert reason="), line
        assert served_certificate() == der("self.pem")
    finally:
        service.stop()


def test_a_file_that_went_missing_keeps_every_setting(env, tmp_path):
    port = free_port()
    conf = tmp_path / "quessel.conf"
    conf.write_text(f"port = {port}\nbind = 127.0.0.1\n")
    service = Service([str(program("quessel")), "--config", str(conf)], env, tmp_path, port)
    try:
        conf.rename(tmp_path / "moved.conf")
        line = service.reload("quessel: reload ")
        assert line == f'quessel: reload outcome="kept the settings" reason="cannot read {conf}: no such file"'
        c = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        assert c.recv(5) == b"+OK\r\n"
        c.close()
        # A line the program does not know is as wrong as a value.
        conf.write_text(f"port = {port}\nbind = 127.0.0.1\nprot = 1\n")
        line = service.reload("quessel: reload ")
        assert line == f'quessel: reload outcome="kept the settings" reason="{conf}:3: unknown setting prot"'
    finally:
        service.stop()
