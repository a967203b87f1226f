"""The services' own configuration files: read from --config FILE (name = value, # comments),
never written, checked by --check-config as a start would read them, and what the window holds
given on halvex's command line."""

import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import program
from halvexproc import write_registry
from peers import Command, free_port, wait_listening
from test_halvex_relay import Upstream, recv_all, reversing_echo

TIMEOUT = 10.0


@pytest.fixture
def env(tmp_path):
    config = tmp_path / "config"
    e = dict(os.environ, XDG_CONFIG_HOME=str(config), QT_QPA_PLATFORM="offscreen")
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    return e


def run(args, env):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=TIMEOUT)


def echo_through(port, payload=b"through the relay"):
    s = socket.create_connection(("127.0.0.1", port), TIMEOUT)
    s.sendall(payload)
    s.shutdown(socket.SHUT_WR)
    got = recv_all(s)
    s.close()
    return got


def started(cmd, env, tmp_path, port):
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                         stderr=open(tmp_path / "stderr", "w"))
    if not wait_listening("127.0.0.1", port, alive=lambda: p.poll() is None):
        p.kill()
        p.wait()
        pytest.fail("did not listen: " + (tmp_path / "stderr").read_text())
    return p


def stop(p):
    p.send_signal(signal.SIGTERM)
    assert p.wait(TIMEOUT) == 0


def test_halvex_runs_from_its_file_and_never_writes_it(env, tmp_path):
    upstream = Upstream(reversing_echo)
    port = free_port()
    conf = tmp_path / "halvex.conf"
    conf.write_text("# the office proxy\n"
                    f"plistenport = {port}\n"
                    "\n"
                    f"proxyip = 127.0.0.1   # the upstream\n"
                    f"proxyport = {upstream.port}\n"
                    "debug = 0\n"
                    "pic = on\n"
                    "allowclients = 127.0.0.0/8\n")
    before = conf.read_bytes()
    os.utime(conf, (1_000_000, 1_000_000))
    p = started([str(program("halvex")), "--config", str(conf), "--start", "--bind", "127.0.0.1"],
                env, tmp_path, port)
    try:
        assert echo_through(port) == b"through the relay" + b"TRAILER-AFTER-EOF"
        # SIGHUP reads the file again; still nothing is written.
        p.send_signal(signal.SIGHUP)
        time.sleep(0.3)
        assert echo_through(port).startswith(b"through")
    finally:
        stop(p)
        upstream.close()
    assert conf.read_bytes() == before
    assert os.stat(conf).st_mtime == 1_000_000
    # Neither does it write the per-user store in its place.
    assert not (tmp_path / "config" / "tessaruno" / "registry.ini").exists()
    assert "reload outcome=" in (tmp_path / "stderr").read_text()


def test_values_of_another_programs_store_do_not_leak_into_a_file_run(env, tmp_path):
    # The shared store allows nobody; halvex's own file is what counts.
    write_registry(tmp_path / "config", {"allowclients": "192.0.2.1", "plistenport": "1"})
    upstream = Upstream(reversing_echo)
    port = free_port()
    conf = tmp_path / "halvex.conf"
    conf.write_text(f"plistenport = {port}\nproxyip = 127.0.0.1\nproxyport = {upstream.port}\n")
    p = started([str(program("halvex")), "--config", str(conf), "--start", "--bind", "127.0.0.1"],
                env, tmp_path, port)
    try:
        assert echo_through(port).startswith(b"through")
    finally:
        stop(p)
        upstream.close()


def test_check_config_names_each_problem_with_its_file_and_line(env, tmp_path):
    conf = tmp_path / "halvex.conf"
    conf.write_text("# wrong on purpose\n"
                    "plistenport = 80x\n"
                    "idletimeout = soon\n"
                    "plistnport = 8080\n"
                    "allowclients = everyone\n"
                    "pic = maybe\n"
                    "debug = 0\n")
    r = run([str(program("halvex")), "--config", str(conf), "--check-config"], env)
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        f"halvex: {conf}:2: plistenport: not a port number: 80x",
        f"halvex: {conf}:3: idletimeout: not a number of seconds: soon",
        f"halvex: {conf}:4: unknown setting plistnport",
        f"halvex: {conf}:5: allowclients: not an address or range: everyone",
        f"halvex: {conf}:6: pic: not on or off: maybe",
        f"halvex: {conf}: 5 problems"]
    # A start stops at the first, with one line.
    start = run([str(program("halvex")), "--config", str(conf), "--start"], env)
    assert (start.returncode, start.stderr) == (1, f"halvex: {conf}:4: unknown setting plistnport\n")

    conf.write_text("plistenport = 8080\nproxyip = proxy.example\nproxyport = 3128\n")
    good = run([str(program("halvex")), "--config", str(conf), "--check-config", "--start"], env)
    assert (good.returncode, good.stderr) == (0, "")
    assert good.stdout == f"halvex: {conf}: the settings are good\n"
    # A service that starts has a port to listen on.
    conf.write_text("proxyip = proxy.example\nproxyport = 3128\n")
    none = run([str(program("halvex")), "--config", str(conf), "--check-config", "--start"], env)
    assert none.returncode == 1
    assert "no listen port to start with: plistenport or --port" in none.stderr


def test_quessel_checks_its_files_too(env, tmp_path):
    conf = tmp_path / "quessel.conf"
    conf.write_text(f"port = {free_port()}\nbind = 127.0.0.1\n"
                    f"tlscert = {tmp_path}/missing.pem\ntlskey = {tmp_path}/missing.key\n"
                    "popmap = /nonexistent/popmap\nservertimeout = 0\n")
    r = run([str(program("quessel")), "--config", str(conf), "--check-config"], env)
    assert r.returncode == 1
    lines = r.stderr.splitlines()
    assert lines[0] == f"quessel: {conf}:6: servertimeout: not a number of seconds from 1 to 2678400: 0"
    assert f"quessel: cannot load the certificate {tmp_path}/missing.pem" in lines[1]
    assert lines[2].startswith("quessel: the map /nonexistent/popmap cannot be read")
    assert lines[-1] == f"quessel: {conf}: 3 problems"


def test_quessel_listens_where_its_file_says(env, tmp_path):
    port = free_port()
    conf = tmp_path / "quessel.conf"
    conf.write_text(f"port = {port}\nbind = 127.0.0.1\nlogintimeout = 5\n")
    p = started([str(program("quessel")), "--config", str(conf)], env, tmp_path, port)
    try:
        s = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        assert s.recv(5) == b"+OK\r\n"
        s.close()
    finally:
        stop(p)


def test_a_file_that_cannot_be_read_is_named_as_such(env, tmp_path):
    for name in ("halvex", "quessel", "morrent"):
        missing = run([str(program(name)), "--config", str(tmp_path / "none.conf")], env)
        assert (missing.returncode, missing.stderr) == (
            1, f"{name}: cannot read {tmp_path}/none.conf: no such file\n")
        folder = run([str(program(name)), "--config", str(tmp_path), "--check-config"], env)
        assert (folder.returncode, folder.stderr) == (
            1, f"{name}: cannot read {tmp_path}: not a regular file\n")
        fifo = tmp_path / "fifo.conf"
        if not fifo.exists():
            os.mkfifo(fifo)
        assert run([str(program(name)), "--config", str(fifo)], env).returncode == 1
    if os.geteuid() != 0:
        locked = tmp_path / "locked.conf"
        locked.write_text("plistenport = 8080\n")
        locked.chmod(0)
        r = run([str(program("halvex")), "--config", str(locked), "--start"], env)
        assert (r.returncode, r.stderr) == (1, f"halvex: cannot read {locked}: Permission denied\n")


def test_halvex_headless_from_the_command_line_alone(env, tmp_path):
    upstream = Upstream(reversing_echo)
    port = free_port()
    p = started([str(program("halvex")), "--start", "--bind", "127.0.0.1", "--port", str(port),
                 "--upstream", f"127.0.0.1:{upstream.port}", "--remove-pictures", "on"],
                env, tmp_path, port)
    try:
        assert echo_through(port).startswith(b"through")
    finally:
        stop(p)
        upstream.close()
    # What the command line gave is for this run: nothing of it is stored.
    store = tmp_path / "config" / "tessaruno" / "registry.ini"
    text = store.read_text() if store.exists() else ""
    for name in ("plistenport", "proxyip", "proxyport", "pic"):
        assert f"{name}=" not in text, text


def test_halvex_direct_mode_from_the_command_line(env, tmp_path, start_peer):
    port = free_port()
    write_registry(tmp_path / "config", {"proxyip": "proxy.invalid", "proxyport": "3128"})
    p = started([str(program("halvex")), "--start", "--bind", "127.0.0.1", "--port", str(port),
                 "--upstream", "none"], env, tmp_path, port)
    try:
        # Direct: halvex answers a request for a private server itself (refused), where via the
        # stored upstream it would have had to reach proxy.invalid.
        s = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        s.sendall(b"GET http://127.0.0.1:9/ HTTP/1.1\r\nHost: 127.0.0.1:9\r\nConnection: close\r\n\r\n")
        answer = recv_all(s)
        s.close()
        assert answer.startswith(b"HTTP/1.1 502"), answer[:200]
        assert b"proxy.invalid" not in answer
    finally:
        stop(p)


def test_a_store_that_cannot_be_read_is_named_as_such(env, tmp_path):
    store = tmp_path / "config" / "tessaruno" / "registry.ini"
    store.mkdir(parents=True)  # as root a mode stops nothing: a folder cannot be read as a file
    for name, args in (("halvex", ["--start"]), ("quessel", [])):
        r = run([str(program(name)), *args], env)
        assert (r.returncode, r.stderr) == (1, f"{name}: cannot read {store}: not a regular file\n")


@pytest.mark.parametrize("name", ["halvex", "quessel"])
def test_signals_other_daemons_take_end_nothing(env, tmp_path, name):
    port = free_port()
    cmd = ([str(program("halvex")), "--start", "--upstream", "none"] if name == "halvex"
           else [str(program("quessel"))])
    p = started([*cmd, "--bind", "127.0.0.1", "--port", str(port)], env, tmp_path, port)
    try:
        for sig in (signal.SIGUSR1, signal.SIGUSR2):
            p.send_signal(sig)
        time.sleep(0.3)
        assert p.poll() is None
        socket.create_connection(("127.0.0.1", port), TIMEOUT).close()
    finally:
        stop(p)


def test_check_config_reads_the_per_user_store_without_a_file(env, tmp_path):
    write_registry(tmp_path / "config", {"plistenport": "8080", "idletimeout": "soon", "pic": "on"})
    r = run([str(program("halvex")), "--check-config"], env)
    store = tmp_path / "config" / "tessaruno" / "registry.ini"
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.splitlines() == ["halvex: registry value idletimeout: not a number of seconds: soon",
                                     f"halvex: {store}: 1 problem"]
    write_registry(tmp_path / "config", {"plistenport": "8080"})
    good = run([str(program("halvex")), "--check-config"], env)
    assert (good.returncode, good.stdout, good.stderr) == (0, f"halvex: {store}: the settings are good\n", "")


def test_morrent_checks_what_a_download_would_refuse(env, tmp_path):
    write_registry(tmp_path / "config", {"maildrop": "ftp://mail", "poptls": "maybe", "loglevel": "loud",
                                         "tlsfingerprint": "zz", "popserver": "pop.example.org"})
    store = tmp_path / "config" / "tessaruno" / "registry.ini"
    password = tmp_path / "pw"
    password.write_text("S3cret!\n")
    password.chmod(0o644)
    r = run([str(program("morrent")), "--check-config", "--password-file", str(password),
             "pop.example.org", "alice", "0"], env)
    assert (r.returncode, r.stdout) == (1, "")
    lines = r.stderr.splitlines()
    assert lines[-1] == f"morrent: {store}: 5 problems"
    for said in ("registry value loglevel: not error, info or debug: loud",
                 "registry value maildrop: \"ftp://mail\"", "registry value poptls: not auto, require or off: maybe",
                 "registry value tlsfingerprint: not a SHA-256 fingerprint: zz",
                 f"the password file {password} may be read or written by others"):
        assert sum(said in line for line in lines) == 1, (said, lines)
    assert "S3cret!" not in r.stderr
    flag = run([str(program("morrent")), "--check-config", "127.0.0.1:1", "alice", "pw", "yes"], env)
    assert flag.returncode == 1 and "DELETEFLAG" in flag.stderr
    # Good settings: one line on stdout, nothing connected (no server is there).
    write_registry(tmp_path / "config", {"maildrop": "smtp://127.0.0.1:1", "localdomains": "example.org"})
    password.chmod(0o600)
    good = run([str(program("morrent")), "--check-config", "--password-file", str(password),
                "127.0.0.1:1", "alice", "0"], env)
    assert (good.returncode, good.stdout, good.stderr) == (0, f"morrent: {store}: the settings are good\n", "")
    assert run([str(program("morrent")), "--check-config"], env).returncode == 0


def test_morrent_checks_its_file_naming_each_value_and_line(env, tmp_path):
    conf = tmp_path / "morrent.conf"
    conf.write_text("# wrong on purpose\npoptls = maybe\npopuath = plain\ntlsfingerprint = zz\n")
    r = run([str(program("morrent")), "--config", str(conf), "--check-config"], env)
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.splitlines() == [f"morrent: {conf}:2: poptls: not auto, require or off: maybe",
                                     f"morrent: {conf}:3: unknown setting popuath",
                                     f"morrent: {conf}:4: tlsfingerprint: not a SHA-256 fingerprint: zz",
                                     f"morrent: {conf}: 3 problems"]
