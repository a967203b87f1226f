"""morrent run from the command line, as cron runs it (no display, no terminal, stdin closed),
against a real dovecot: its exit status, its one stderr line, the pickup folder, the mailbox and the
settings it leaves behind.
"""

import os
import re
import socket
import subprocess
import threading
from pathlib import Path

import pytest

from conftest import program
from halvexproc import write_registry
from loopserver import SequentialServer
from peers import Dovecot

# A bound on every run; a run that needs it has hung.
RUN_LIMIT = 60


def message(n, extra=b""):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(40))
    return (b"From: Sender %d <sender%d@example.org>\nTo: alice@example.org\n"
            b"Subject: message %d\n\n" % (n, n, n) + extra + body)


# Lines a fetcher could spoil: dot lines (dot-stuffed on the wire), 8-bit bytes, a lone CR, an
# empty line before the end, and no final line end.
AWKWARD = (b"From: a@example.org\nTo: alice@example.org\nSubject: awkward\n\n.leading dot\n"
           b".\n..two\n8bit: \xe4\xf6\xfc\xff\rcr\n\nlast line without end")


@pytest.fixture
def env(tmp_path):
    """cron's situation: no display (a stale DISPLAY in some tests), private settings and data."""
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                      "MORRENT_TIMER_MS")}
    for name in ("config", "data"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"))
    return e


def run(env, *args, timeout=RUN_LIMIT, level="error"):
    """Runs morrent with stdin closed and no terminal, as cron would, logging at `level` (error:
    only what needs the admin, so a good run is silent); returns (status, stderr lines)."""
    first = ["--log-level", level] if level else []
    proc = subprocess.run([str(program("morrent")), *first, *map(str, args)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                          preexec_fn=lambda: os.close(0), start_new_session=True)
    assert proc.stdout == b""
    return proc.returncode, proc.stderr.decode("utf-8", "replace").splitlines()


def pickup(env):
    """The delivered messages, in the order they were delivered."""
    new = os.path.join(env["XDG_DATA_HOME"], "tessaruno", "pickup", "new")
    if not os.path.isdir(new):
        return []
    names = sorted(os.listdir(new), key=lambda n: int(n.split(".")[-2]))
    return [open(os.path.join(new, n), "rb").read() for n in names]


def registry(env):
    path = os.path.join(env["XDG_CONFIG_HOME"], "tessaruno", "registry.ini")
    if not os.path.exists(path):
        return {}
    values = {}
    for line in open(path, encoding="utf-8"):
        if "=" in line and not line.startswith("["):
            name, value = line.rstrip("\n").split("=", 1)
            values[name] = value
    return values


def server(dovecot):
    return f"{dovecot.host}:{dovecot.port}"


@pytest.fixture
def mailbox(start_peer):
    mail = [message(1), AWKWARD, message(3, extra=b"Regards.\n")]
    return start_peer(Dovecot, users={"alice": "secret"}, mail={"alice": mail}), mail


# ---- good runs ----

def test_good_run_delivers_every_message_byte_for_byte_and_keeps_them(mailbox, env):
    dovecot, mail = mailbox
    # The stored level, as the --log-level the other runs give: a good run is silent.
    write_registry(Path(env["XDG_CONFIG_HOME"]), {"loglevel": "error"})
    status, err = run(env, server(dovecot), "alice", "secret", 0, level=None)
    assert (status, err) == (0, [])
    # Highest number first, each exactly as RETR delivered it.
    assert pickup(env) == [Dovecot.as_retrieved(m) for m in reversed(mail)]
    assert len(dovecot.messages("alice")) == 3
    # A command-line run stores nothing but a delete flag that checks the box.
    assert registry(env) == {"loglevel": "error"}


@pytest.mark.parametrize("flag", ["1", "2", "+1", "\t1\t"])
def test_delete_flag_empties_the_mailbox_and_is_stored(mailbox, env, flag):
    dovecot, mail = mailbox
    status, err = run(env, server(dovecot), "alice", "secret", flag, level=None)
    # At the default level, one line for the run.
    assert status == 0 and len(err) == 1, err
    assert re.fullmatch(rf"morrent: run server={server(dovecot)} login=alice tls=no new=3 "
                        r"delivered=3 deleted=3 outcome=ok ms=\d+", err[0]), err
    assert len(pickup(env)) == 3
    assert dovecot.messages("alice") == []
    assert registry(env) == {"deletepopmails": "1"}


def test_a_negative_delete_flag_leaves_deletion_off(mailbox, env):
    dovecot, mail = mailbox
    assert run(env, server(dovecot), "alice", "secret", -1) == (0, [])
    assert len(dovecot.messages("alice")) == 3
    assert "deletepopmails" not in registry(env)


@pytest.mark.parametrize("flag", ["false", "yes", "1.5", "1e3", ""])
def test_a_delete_flag_that_is_no_whole_number_is_refused(mailbox, env, flag):
    # A typo in a cron line must not delete mail: nothing is fetched, deleted or stored.
    dovecot, mail = mailbox
    status, err = run(env, server(dovecot), "alice", "secret", flag)
    assert status == 2
    assert len(err) == 1 and "DELETEFLAG" in err[0] and "not a whole number" in err[0], err
    assert "secret" not in err[0]
    assert pickup(env) == []
    assert len(dovecot.messages("alice")) == 3
    assert not os.path.exists(os.path.join(env["XDG_CONFIG_HOME"], "tessaruno"))


def test_forward_address_replaces_to_and_nothing_else(mailbox, env):
    dovecot, mail = mailbox
    assert run(env, server(dovecot), "alice", "secret", 0, "office@example.org") == (0, [])
    delivered = pickup(env)
    for got, sent in zip(delivered, reversed(mail)):
        expected = Dovecot.as_retrieved(sent).replace(b"To: alice@example.org\r\n",
                                                      b"To: office@example.org\r\n")
        assert got == expected


def test_empty_mailbox_ends_at_once_with_success(start_peer, env):
    dovecot = start_peer(Dovecot, users={"alice": "secret"})
    assert run(env, server(dovecot), "alice", "secret", 1) == (0, [])
    assert pickup(env) == []


def test_a_stale_display_does_not_stop_a_command_line_run(mailbox, env):
    dovecot, mail = mailbox
    env["DISPLAY"] = ":97"  # no X server there
    assert run(env, server(dovecot), "alice", "secret", 0) == (0, [])
    assert len(pickup(env)) == 3


# ---- the settings from --config FILE, and the history of the runs ----

def test_a_run_with_config_reads_that_file_alone_and_writes_nothing(mailbox, env, tmp_path):
    dovecot, mail = mailbox
    # The per-user store would fail the run: with --config it is not read, nor written.
    store = write_registry(Path(env["XDG_CONFIG_HOME"]), {"maildrop": "somewhere else"})
    kept = store.read_bytes()
    conf = tmp_path / "morrent.conf"
    conf.write_text(f"# the office's\nmaildrop = {tmp_path}/drop   # a folder\nloglevel = error\n")
    before = conf.read_bytes()
    assert run(env, "--config", conf, server(dovecot), "alice", "secret", 1, level=None) == (0, [])
    assert len(os.listdir(tmp_path / "drop" / "new")) == 3 and dovecot.messages("alice") == []
    # The delete flag of 1 is stored for this run only.
    assert (conf.read_bytes(), store.read_bytes()) == (before, kept)
    # A value the file gets wrong is named with its line.
    conf.write_text("poptls = maybe\n")
    status, err = run(env, "--config", conf, server(dovecot), "alice", "secret", 1)
    assert status == 1 and err[0].endswith(f'reason="{conf}:1: poptls: not auto, require or off: maybe"'), err


def history(env):
    proc = subprocess.run([str(program("morrent")), "--history"], env=env, capture_output=True,
                          text=True, timeout=RUN_LIMIT)
    assert (proc.returncode, proc.stderr) == (0, "")
    return proc.stdout.splitlines()


def test_each_run_leaves_a_record_that_history_prints(mailbox, env):
    dovecot, mail = mailbox
    assert history(env) == [f"no runs recorded yet in {os.environ['XDG_STATE_HOME']}/tessaruno/history"]
    assert run(env, server(dovecot), "alice", "secret", 1) == (0, [])
    assert run(env, server(dovecot), "alice", "wrong-pass", 0)[0] == 1
    lines = history(env)
    assert re.fullmatch(r"time +server +login +new +delivered +deleted +outcome", lines[0]), lines
    first, second = (line.split(None, 6) for line in lines[1:])
    assert first[1:] == [server(dovecot), "alice", "3", "3", "3", "ok"]
    assert second[1:6] == [server(dovecot), "alice", "0", "0", "0"]
    assert "-ERR" in second[6] and "wrong-pass" not in "".join(lines)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", first[0]), first


# ---- failed runs: non-zero, one line on stderr saying why ----

def test_wrong_password_fails_with_the_servers_answer(mailbox, env):
    dovecot, mail = mailbox
    status, err = run(env, server(dovecot), "alice", "wrong-pass", 1)
    assert status != 0
    assert len(err) == 1 and "-ERR" in err[0]
    assert "wrong-pass" not in err[0]
    assert pickup(env) == []
    assert len(dovecot.messages("alice")) == 3


def test_unreachable_server_fails(env):
    # A port that was free a moment ago and nothing listens on.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    status, err = run(env, f"127.0.0.1:{port}", "alice", "secret", 0)
    assert status != 0
    assert len(err) == 1 and "refused" in err[0]


def test_a_server_text_that_is_no_host_fails_at_once(env):
    # Refused before any lookup: the run must end by itself, not wait for a timer.
    status, err = run(env, "[::1", "alice", "secret", 0)
    assert status != 0
    assert len(err) == 1 and "[::1" in err[0]


def test_silent_server_times_out(env):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    accepted = []
    stop = threading.Event()

    def accept():
        listener.settimeout(RUN_LIMIT)
        try:
            conn, _ = listener.accept()
            accepted.append(conn)
            stop.wait(RUN_LIMIT)
        except OSError:
            pass

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    try:
        env["MORRENT_TIMER_MS"] = "300"
        status, err = run(env, "127.0.0.1:%d" % listener.getsockname()[1], "alice", "secret", 0)
    finally:
        stop.set()
        listener.close()
        thread.join(RUN_LIMIT)
        for conn in accepted:
            conn.close()
    assert status != 0
    assert len(err) == 1 and "no answer" in err[0]


def test_bad_maildrop_setting_fails_the_download(mailbox, env):
    dovecot, mail = mailbox
    folder = os.path.join(env["XDG_CONFIG_HOME"], "tessaruno")
    os.makedirs(folder)
    with open(os.path.join(folder, "registry.ini"), "w") as f:
        f.write("[HKLM\\SOFTWARE\\Tessaruno]\nmaildrop=somewhere else\n")
    status, err = run(env, server(dovecot), "alice", "secret", 1)
    assert status != 0
    assert len(err) == 1 and "maildrop" in err[0]
    assert len(dovecot.messages("alice")) == 3


@pytest.mark.parametrize("args", [
    ["pop.example.org", "alice", "secret"],
    ["pop.example.org", "alice", "secret", "1", "office@example.org", "extra"],
    ["pop.example.org", "alice", "my secret", "1", "office@example.org"],  # a blank splits it
    ["pop.example.org", "alice", "secret", "1", "", ""],             # empty pieces count too
])
def test_wrong_count_of_arguments_ends_at_once(env, args):
    status, err = run(env, *args)
    assert status == 2
    assert len(err) == 1 and "wrong number of arguments" in err[0]
    assert "secret" not in err[0]
    assert not os.path.exists(os.path.join(env["XDG_CONFIG_HOME"], "tessaruno"))


# ---- the password never in the process list ----

class SilentServer(SequentialServer):
    """Takes a connection on 127.0.0.1 and never says a word; keeps those it took."""

    def __init__(self):
        self.accepted = []
        self.connected = threading.Event()
        super().__init__()

    def serve(self, conn):
        self.accepted.append(conn)
        self.connected.set()
        self.stop.wait(RUN_LIMIT)


@pytest.fixture
def silent():
    s = SilentServer()
    yield s
    s.close()


@pytest.mark.parametrize("options", [[], ["--log-level", "error"]],
                         ids=["no options", "after --log-level"])
@pytest.mark.parametrize("args", [
    ["alice", "S3cr3t-Pw!", "0"],
    ["alice S3cr3t-Pw!", "0", "office@example.org"],  # the password inside an argument
])
def test_the_password_is_not_in_the_process_list_while_a_run_goes_on(env, silent, args, options):
    proc = subprocess.Popen([str(program("morrent")), *options, f"127.0.0.1:{silent.port}", *args],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        assert silent.connected.wait(RUN_LIMIT)
        cmdline = open(f"/proc/{proc.pid}/cmdline", "rb").read()
        shown = subprocess.run(["ps", "-o", "args=", "-p", str(proc.pid)],
                               capture_output=True).stdout
    finally:
        proc.kill()
        proc.wait(RUN_LIMIT)
    assert b"S3cr3t" not in cmdline and b"S3cr3t" not in shown
    shownargs = cmdline.split(b"\0")
    assert shownargs[1:1 + len(options)] == [o.encode() for o in options]
    assert shownargs[1 + len(options)] == f"127.0.0.1:{silent.port}".encode()
    assert b"*" in shown and b"alice" in shown


def test_a_password_file_keeps_the_password_off_the_command_line(mailbox, env, tmp_path):
    dovecot, mail = mailbox
    secret = tmp_path / "pop-password"
    secret.write_text("secret\n")
    secret.chmod(0o600)
    status, err = run(env, "--password-file", secret, server(dovecot), "alice", 0)
    assert (status, err) == (0, [])
    assert len(pickup(env)) == 3


@pytest.mark.parametrize("mode", [0o644, 0o640])
def test_a_password_file_others_may_read_is_refused_before_connecting(env, silent, tmp_path,
                                                                      mode):
    secret = tmp_path / "pop-password"
    secret.write_text("S3cr3t-Pw!\n")
    secret.chmod(mode)
    status, err = run(env, "--password-file", secret, f"127.0.0.1:{silent.port}", "alice", 1)
    assert status == 2
    assert len(err) == 1 and "chmod 600" in err[0] and str(secret) in err[0], err
    assert "S3cr3t" not in err[0]
    assert silent.accepted == []
    assert not os.path.exists(os.path.join(env["XDG_CONFIG_HOME"], "tessaruno"))


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_a_password_file_that_is_no_regular_file_is_refused_without_waiting(env, silent,
                                                                            tmp_path, kind):
    # A FIFO nobody writes to would block open() for ever; a device is no password file either.
    path = tmp_path / "pop-password"
    if kind == "fifo":
        os.mkfifo(path, 0o600)
    else:
        path = "/dev/zero"
    status, err = run(env, "--password-file", path, f"127.0.0.1:{silent.port}", "alice", 0)
    assert status == 2
    assert len(err) == 1 and f"{path} is not a regular file" in err[0], err
    assert silent.accepted == []


def test_a_missing_password_file_is_refused(env, tmp_path):
    status, err = run(env, "--password-file", tmp_path / "none", "pop.example.org", "alice", 1)
    assert status == 2
    assert len(err) == 1 and "cannot be read" in err[0], err
