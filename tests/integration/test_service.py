"""The programs as a service manager runs them: --help and --version, loud failures without a
display, one log line per event in a fixed form, SIGTERM for a clean stop and SIGHUP to read the
settings again without dropping what is open."""

import os
import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import program
from halvexproc import Halvex, write_registry
from peers import Command, Dovecot, free_port
from test_halvex_relay import Upstream, recv_all, reversing_echo, wait_until

TIMEOUT = 10.0


@pytest.fixture
def env(tmp_path):
    config = tmp_path / "config"
    config.mkdir()
    e = dict(os.environ, XDG_CONFIG_HOME=str(config), QT_QPA_PLATFORM="offscreen")
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    return e


def run(args, env, timeout=TIMEOUT):
    return subprocess.run(args, env=env, capture_output=True, timeout=timeout)


@pytest.mark.parametrize("name", ["halvex", "quessel"])
def test_help_and_version_and_wrong_options(name, env):
    help_ = run([str(program(name)), "--help"], env)
    assert help_.returncode == 0
    assert help_.stdout.decode().startswith(f"usage: {name} ")
    assert "--allow-clients LIST" in help_.stdout.decode()
    version = run([str(program(name)), "--version"], env)
    assert version.returncode == 0
    assert re.fullmatch(rf"{name} \d+\.\d+\.\d+\n", version.stdout.decode())
    for wrong in (["--frobnicate"], ["--idle-timeout"], ["--idle-timeout", "soon"]):
        r = run([str(program(name)), *wrong], env)
        assert r.returncode == 2, wrong
        assert len(r.stderr.decode().strip().splitlines()) == 1, r.stderr


def test_a_wrong_stored_setting_ends_the_start_with_one_line(env, tmp_path):
    write_registry(tmp_path / "config", {"allowclients": "everyone"})
    for name in ("halvex", "quessel"):
        r = run([str(program(name)), "--start"] if name == "halvex" else [str(program(name))], env)
        assert r.returncode == 1
        assert r.stderr.decode().splitlines() == [
            f"{name}: registry value allowclients: not an address or range: everyone"]


def test_halvex_started_headless_ends_when_it_cannot_listen(env, tmp_path):
    holder = socket.create_server(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    write_registry(tmp_path / "config", {"plistenport": port, "proxyip": "127.0.0.1",
                                         "proxyport": free_port(), "debug": "0"})
    try:
        r = run([str(program("halvex")), "--start", "--bind", "127.0.0.1"], env)
    finally:
        holder.close()
    assert r.returncode == 1
    assert r.stderr.decode().splitlines() == [
        f'halvex: listen outcome="cannot listen on port {port}: address in use"']


def quessel(tmp_path, *args):
    return Command(tmp_path / "quessel", [str(program("quessel")), "--port", "{port}", "--bind",
                                          "{host}", *args], name="quessel")


def lines_of(peer):
    return peer.output.read_text("utf-8", "replace").splitlines()


def test_quessel_logs_each_login_and_session_and_never_a_password(start_peer, tmp_path, env):
    os.environ["XDG_CONFIG_HOME"] = env["XDG_CONFIG_HOME"]
    pop3 = start_peer(Dovecot, users={"alice": "pw-Log-9"}, mail={"alice": [b"Subject: x\n\nhi\n"]})
    proxy = quessel(tmp_path, "--server-port", str(pop3.port), "--allow-servers", "127.0.0.1")
    proxy.env = env
    proxy.start()
    try:
        s = socket.create_connection((proxy.host, proxy.port), TIMEOUT)
        assert s.recv(5) == b"+OK\r\n"
        s.sendall(b"USER alice|127.0.0.1\r\nPASS pw-Log-9\r\nSTAT\r\nQUIT\r\n")
        assert recv_all(s).count(b"+OK") == 4
        s.close()
        bad = socket.create_connection((proxy.host, proxy.port), TIMEOUT)
        bad.recv(5)
        bad.sendall(b"USER bob|10.9.8.7\r\n")
        assert recv_all(bad).startswith(b"-ERR")
        assert wait_until(lambda: len([l for l in lines_of(proxy) if " session " in l or
                                       l.startswith("quessel: session")]) >= 1)
    finally:
        proxy.stop()
    log = lines_of(proxy)
    assert "quessel: login client=127.0.0.1 user=alice server=127.0.0.1 tls=no outcome=ok" in log
    assert any(l.startswith('quessel: login client=127.0.0.1 user=bob server=10.9.8.7 tls=no '
                            "outcome=\"server unavailable\" reason=\"the server's address is not "
                            "allowed") for l in log), log
    sessions = [l for l in log if l.startswith("quessel: session client=127.0.0.1 user=alice")]
    assert len(sessions) == 1
    assert re.fullmatch(r"quessel: session client=127\.0\.0\.1 user=alice server=127\.0\.0\.1 "
                        r"from_client=\d+ from_server=\d+ ms=\d+ end=.*", sessions[0]), sessions[0]
    assert not any("pw-Log-9" in l for l in log)


def test_sigterm_stops_cleanly_and_closes_every_session(tmp_path, env):
    proxy = quessel(tmp_path, "--server-port", str(free_port()))
    proxy.env = env
    proxy.start()
    s = socket.create_connection((proxy.host, proxy.port), TIMEOUT)
    assert s.recv(5) == b"+OK\r\n"
    os.kill(proxy.pid, signal.SIGTERM)
    assert proxy.proc.wait(TIMEOUT) == 0
    assert recv_all(s) == b""
    proxy.stop()


def test_sighup_reads_the_allow_list_again_and_open_sessions_go_on(tmp_path, env):
    write_registry(tmp_path / "config", {"allowclients": "127.0.0.2"})
    proxy = quessel(tmp_path, "--server-port", str(free_port()))
    proxy.env = env
    proxy.start()
    try:
        def client(source):
            c = socket.socket()
            c.settimeout(TIMEOUT)
            c.bind((source, 0))
            c.connect((proxy.host, proxy.port))
            return c
        kept = client("127.0.0.2")
        assert kept.recv(5) == b"+OK\r\n"
        assert client("127.0.0.3").recv(5) == b""
        write_registry(tmp_path / "config", {"allowclients": "127.0.0.3"})
        os.kill(proxy.pid, signal.SIGHUP)
        assert wait_until(lambda: "quessel: reload outcome=ok" in lines_of(proxy))
        assert client("127.0.0.3").recv(5) == b"+OK\r\n"
        # The session from before goes on.
        kept.sendall(b"CAPA\r\n")
        assert kept.recv(100).startswith(b"+OK capability list follows")
        assert proxy.proc.poll() is None
    finally:
        proxy.stop()


def test_halvex_sighup_picks_up_a_block_list_entry_while_a_download_goes_on(start_peer):
    # The upstream answers each request with a body that comes slowly.
    def slow(conn):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                return
            head += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 20000\r\n"
                     b"Connection: close\r\n\r\n")
        for _ in range(20):
            conn.sendall(b"x" * 1000)
            time.sleep(0.05)
        conn.close()
    up = Upstream(slow)
    try:
        hx = start_peer(Halvex, upstream=("127.0.0.1", up.port), settings={"headerfilter": "1"})
        download = hx.connect()
        download.sendall(b"GET http://files.test/big HTTP/1.1\r\nHost: files.test\r\n\r\n")
        time.sleep(0.2)
        # An admin adds an entry to the stored list and tells halvex.
        (hx.config / "tessaruno" / "halvex-blocklist.txt").write_text("ads.test\n")
        os.kill(hx.pid, signal.SIGHUP)
        assert wait_until(lambda: "halvex: reload outcome=ok" in hx.output.read_text())
        blocked = hx.connect()
        blocked.sendall(b"GET http://ads.test/banner HTTP/1.1\r\nHost: ads.test\r\n\r\n")
        assert recv_all(blocked) == b""  # Block (disconnect): closed without a word
        body = recv_all(download)
        assert body.endswith(b"\r\n\r\n" + b"x" * 20000)
        assert wait_until(lambda: "target=http://files.test/big" in hx.output.read_text())
    finally:
        up.close()
    log = lines_of(hx)
    # One line a request, whatever became of it.
    assert re.fullmatch(r"halvex: request client=127\.0\.0\.1 method=GET target=http://ads\.test/banner "
                        r"outcome=blocked status=0 from_client=0 from_server=0 ms=\d+ "
                        r'reason="on the block list"', next(l for l in log if "ads.test" in l)), log
    assert re.fullmatch(r"halvex: request client=127\.0\.0\.1 method=GET target=http://files\.test/big "
                        r"outcome=passed status=200 from_client=\d+ from_server=\d{5} ms=\d+",
                        next(l for l in log if "files.test" in l)), log
