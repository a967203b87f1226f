"""morrent from the command line against a hostile POP3 server, scripted here: one that trickles a
byte now and then (so the 30-second inactivity timer never fires), one whose message is far longer
than its listing said, one with an endless capability list. Each run ends by itself with status 1
and one stderr line saying why, deletes nothing, and leaves the mailbox's lock free for the next
run (which does not exit 3).

MORRENT_DEADLINE_MS shortens the base of morrent's deadlines so that the tests are quick; the
inactivity timer keeps its 30 seconds, so only a deadline can end the trickling runs.
"""

import os
import subprocess

import pytest

from conftest import program
from loopserver import RUN_LIMIT, SequentialServer
from test_morrent_cli import pickup

PASSWORD = "H0stile-pw!"
MESSAGE = b"From: a@example.org\r\nTo: alice@example.org\r\nSubject: hello\r\n\r\nbody\r\n"


class HostileServer(SequentialServer):
    """A POP3 server that follows the login, CAPA, LIST and UIDL as a real one would and then
    plays `script` (a method name) at one point: trickle the greeting, trickle the text of RETR,
    send far more text than LIST gave, or send capability lines without end. Records what the
    client sent (`commands`, one list per connection)."""

    def __init__(self, script, listed=len(MESSAGE)):
        self.script, self.listed = script, listed
        self.commands = []
        super().__init__()

    def trickle(self, conn, byte=b"x"):
        """A byte every 0.2 s until the client goes or the test ends."""
        while not self.stop.wait(0.2):
            conn.sendall(byte)

    def flood(self, conn, line):
        """`line` over and over, as fast as the client reads, until it goes (bounded)."""
        block = line * (65536 // len(line) + 1)
        for _ in range(4096):  # at most 256 MiB
            if self.stop.is_set():
                return
            conn.sendall(block)

    def serve(self, conn):
        conn.settimeout(RUN_LIMIT)
        sent = []
        self.commands.append(sent)
        if self.script == "greeting":
            conn.sendall(b"+OK tri")
            self.trickle(conn)
            return
        conn.sendall(b"+OK ready\r\n")
        lines = conn.makefile("rb")
        while True:
            line = lines.readline()
            if not line:
                return
            word = line.split(b" ")[0].strip().lower()
            sent.append(word)
            if word == b"capa":
                if self.script == "capa":
                    conn.sendall(b"+OK\r\nUSER\r\n")
                    self.flood(conn, b"X-NOTHING-OF-USE\r\n")
                    return
                conn.sendall(b"+OK\r\nUSER\r\nUIDL\r\n.\r\n")
            elif word == b"list":
                conn.sendall(b"+OK\r\n1 %d\r\n.\r\n" % self.listed)
            elif word == b"uidl":
                conn.sendall(b"+OK\r\n1 uid-one\r\n.\r\n")
            elif word == b"retr":
                conn.sendall(b"+OK\r\n" + MESSAGE[:20])
                if self.script == "retr":
                    self.trickle(conn)
                else:
                    self.flood(conn, b"more text than the listing said\r\n")
                return
            elif word == b"quit":
                conn.sendall(b"+OK bye\r\n")
                return
            else:
                conn.sendall(b"+OK\r\n")


@pytest.fixture
def env(tmp_path, private_state):
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                      "MORRENT_TIMER_MS")}
    for name in ("config", "data"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"),
             XDG_STATE_HOME=str(private_state), MORRENT_DEADLINE_MS="1500")
    return e


def run(env, server, flag):
    proc = subprocess.run([str(program("morrent")), "--log-level", "error", server.server,
                           "alice", PASSWORD, str(flag)],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=RUN_LIMIT, preexec_fn=lambda: os.close(0),
                          start_new_session=True)
    assert proc.stdout == b""
    err = proc.stderr.decode("utf-8", "replace")
    assert PASSWORD not in err
    return proc.returncode, err.splitlines()


@pytest.fixture
def hostile(request):
    servers = []

    def start(script, **options):
        servers.append(HostileServer(script, **options))
        return servers[-1]

    yield start
    for s in servers:
        s.close()


@pytest.mark.parametrize("script, flag, reason", [
    ("greeting", 1, "the server did not finish its greeting within 2 seconds"),
    ("retr", 1, "the server did not finish its answer to RETR 1 within 2 seconds"),
    ("retr", 0, "the server did not finish its answer to RETR 1 within 2 seconds"),
], ids=["a trickled greeting", "a trickled message, deleting", "a trickled message, keeping"])
def test_a_server_that_trickles_cannot_keep_the_run_or_the_lock(script, flag, reason, hostile,
                                                                 env):
    server = hostile(script)
    for attempt in range(2):  # the second run finds the lock free: exit 1 again, not 3
        status, err = run(env, server, flag)
        assert status == 1, (attempt, err)
        assert len(err) == 1 and f'outcome=failed ms=' in err[0], err
        assert err[0].endswith(f'reason="{reason}"'), err
    assert all(b"dele" not in sent for sent in server.commands)
    assert pickup(env) == []


def test_a_message_far_longer_than_its_listing_ends_the_run(hostile, env):
    server = hostile("longer", listed=100)
    status, err = run(env, server, 1)
    assert status == 1 and len(err) == 1, err
    assert err[0].endswith('reason="message 1 is longer than the 100 bytes the server listed for '
                           f'it (more than {2 * 100 + 65536} came)"'), err
    assert all(b"dele" not in sent for sent in server.commands)
    assert pickup(env) == []


def test_an_endless_capability_list_ends_the_run_before_the_login(hostile, env):
    server = hostile("capa")
    status, err = run(env, server, 0)
    assert status == 1 and len(err) == 1, err
    assert err[0].endswith('reason="the server\'s answer to CAPA is longer than 64 KiB"'), err
    # The capabilities before the login were asked for (poptls auto); no USER or PASS followed.
    assert server.commands[0] == [b"capa"]
