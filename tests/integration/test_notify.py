"""The programs under a service manager that listens on NOTIFY_SOCKET (Type=notify) and keeps
their stderr in the journal: READY=1 once listening, STATUS= with their figures, the watchdog,
RELOADING=1 and READY=1 around a reload, STOPPING=1, and lines that start with their priority."""

import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import program
from peers import free_port, wait_listening
from test_halvex_relay import Upstream, recv_all, reversing_echo

TIMEOUT = 10.0


class NotifySocket:
    """What systemd listens on: a unix datagram socket; messages() are what arrived."""

    def __init__(self, path):
        self.path = str(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.got = []

    def wait_for(self, predicate, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for m in self.got:
                if predicate(m):
                    return m
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                self.got.append(self.sock.recv(4096).decode())
            except socket.timeout:
                break
        return next((m for m in self.got if predicate(m)), None)

    def close(self):
        self.sock.close()


@pytest.fixture
def env(tmp_path):
    e = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"), QT_QPA_PLATFORM="offscreen")
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    return e


def journal_stderr(path, env):
    """A file for stderr, with JOURNAL_STREAM naming it as the journal's stream is named."""
    f = open(path, "w")
    st = os.fstat(f.fileno())
    env["JOURNAL_STREAM"] = f"{st.st_dev}:{st.st_ino}"
    return f


def test_halvex_tells_the_service_manager_each_state(env, tmp_path):
    notify = NotifySocket(tmp_path / "notify")
    upstream = Upstream(reversing_echo)
    port = free_port()
    env.update(NOTIFY_SOCKET=notify.path, WATCHDOG_USEC="300000")
    err = open(tmp_path / "stderr", "w")
    p = subprocess.Popen([str(program("halvex")), "--start", "--bind", "127.0.0.1", "--port", str(port),
                          "--upstream", f"127.0.0.1:{upstream.port}"], env=env, stderr=err)
    try:
        ready = notify.wait_for(lambda m: "READY=1" in m.split("\n"))
        assert ready is not None, notify.got
        # Ready means listening.
        assert wait_listening("127.0.0.1", port, timeout=1)
        assert "STATUS=0 open, 0 requests, 0 refused in the last minute" in ready.split("\n")
        assert notify.wait_for(lambda m: m == "WATCHDOG=1", timeout=3)
        s = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        s.sendall(b"bytes")
        s.shutdown(socket.SHUT_WR)
        recv_all(s)
        s.close()
        assert notify.wait_for(lambda m: m == "STATUS=0 open, 1 requests, 0 refused in the last minute",
                               timeout=6), notify.got
        before = len(notify.got)
        p.send_signal(signal.SIGHUP)
        reloading = notify.wait_for(lambda m: m.startswith("RELOADING=1\nMONOTONIC_USEC="))
        assert reloading is not None, notify.got
        at = notify.got.index(reloading)
        assert at >= before
        assert notify.wait_for(lambda m: "READY=1" in m.split("\n") and notify.got.index(m) > at)
        p.send_signal(signal.SIGTERM)
        assert p.wait(TIMEOUT) == 0
        assert notify.wait_for(lambda m: m == "STOPPING=1", timeout=1)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        upstream.close()
        notify.close()
    log = (tmp_path / "stderr").read_text().splitlines()
    assert (f'halvex: listening address=127.0.0.1:{port} via=127.0.0.1:{upstream.port} '
            'clients="127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, '
            'fc00::/7, fe80::/10" inspection=off') in log, log
    assert "halvex: stopping signal=SIGTERM open=0" in log, log


def test_quessel_is_ready_once_listening_and_says_when_it_stops(env, tmp_path):
    notify = NotifySocket(tmp_path / "notify")
    port = free_port()
    env.update(NOTIFY_SOCKET=notify.path)
    err = open(tmp_path / "stderr", "w")
    p = subprocess.Popen([str(program("quessel")), "--port", str(port), "--bind", "127.0.0.1",
                          "--allow-clients", "127.0.0.1"], env=env, stderr=err)
    try:
        ready = notify.wait_for(lambda m: "READY=1" in m.split("\n"))
        assert ready is not None
        assert "STATUS=0 open, 0 logins, 0 refused in the last minute" in ready.split("\n")
        c = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        assert c.recv(5) == b"+OK\r\n"
        assert notify.wait_for(lambda m: m.startswith("STATUS=1 open, "), timeout=6), notify.got
        p.send_signal(signal.SIGINT)
        assert p.wait(TIMEOUT) == 0
        assert notify.wait_for(lambda m: m == "STOPPING=1", timeout=1)
        c.close()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
        notify.close()
    log = (tmp_path / "stderr").read_text().splitlines()
    assert (f"quessel: listening address=127.0.0.1:{port} pop3s=off stls=off clients=127.0.0.1 "
            "map=none") in log, log
    assert "quessel: stopping signal=SIGINT open=1" in log, log


def test_journal_lines_start_with_their_priority(env, tmp_path):
    holder = socket.create_server(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    try:
        for name, args in (("halvex", ["--start", "--port", str(port), "--upstream", "none"]),
                           ("quessel", ["--port", str(port)])):
            err = journal_stderr(tmp_path / f"{name}.err", env)
            r = subprocess.run([str(program(name)), "--bind", "127.0.0.1", *args], env=env,
                               stderr=err, timeout=TIMEOUT)
            err.close()
            assert r.returncode == 1
            lines = (tmp_path / f"{name}.err").read_text().splitlines()
            where = f"127.0.0.1:{port}" if name == "quessel" else str(port)
            assert lines == [f'<3>listen outcome="cannot listen on port {where}: address in use"'], lines
            # A start that fails before the log is the same kind of line.
            err = journal_stderr(tmp_path / f"{name}.err2", env)
            r = subprocess.run([str(program(name)), "--config", str(tmp_path / "none.conf")], env=env,
                               stderr=err, timeout=TIMEOUT)
            err.close()
            assert (tmp_path / f"{name}.err2").read_text() == \
                f"<3>cannot read {tmp_path}/none.conf: no such file\n"
    finally:
        holder.close()
    # A JOURNAL_STREAM that is not stderr's (inherited by a child of the service) changes nothing.
    env["JOURNAL_STREAM"] = "1:1"
    r = subprocess.run([str(program("halvex")), "--config", str(tmp_path / "none.conf")], env=env,
                       capture_output=True, text=True, timeout=TIMEOUT)
    assert r.stderr == f"halvex: cannot read {tmp_path}/none.conf: no such file\n"
