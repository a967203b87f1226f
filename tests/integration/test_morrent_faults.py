"""morrent from the command line when a download is cut short: the POP3 connection cut at every
point of the session, the pickup folder taken away in the middle of a run, an MTA that refuses a
message.

The rule in every case: a message is either delivered whole or still on the server; nothing is
deleted that was not delivered; no partial file is ever visible in the pickup folder's new/; the
run exits non-zero with one line on stderr, and that line never holds the password.

The POP3 server is a real dovecot. Between it and morrent sits a relay that records what morrent
sends and cuts the connection (or changes the pickup folder) at a chosen point.
"""

import os
import re
import shutil
import subprocess
import threading
import time
from pathlib import Path

import pytest

from conftest import program
from peers import Dovecot
from scriptedmta import ScriptedMta

RUN_LIMIT = 60
PASSWORD = "Mr-9s3cr3t!x"


def message(n, lines, extra=b""):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(lines))
    return (b"From: Sender %d <sender%d@example.org>\nTo: alice@example.org\n"
            b"Subject: message %d\n\n" % (n, n, n) + extra + body)


# Message 2 is larger than a socket buffer; 3 holds dot lines and a line ending in a dot.
LINES = [150, 2500, 60, 400]
MAIL = [message(1, LINES[0]), message(2, LINES[1]),
        message(3, LINES[2], extra=b".dot\n..two\nRegards.\n.\n"), message(4, LINES[3])]
RETRIEVED = [Dovecot.as_retrieved(m) for m in MAIL]
N = len(MAIL)


@pytest.fixture
def env(tmp_path):
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                      "MORRENT_TIMER_MS")}
    for name in ("config", "data"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"))
    return e


def pickup_folder(env):
    return Path(env["XDG_DATA_HOME"]) / "tessaruno" / "pickup"


def files_in(folder):
    return [p.read_bytes() for p in sorted(folder.iterdir())] if folder.is_dir() else []


def set_maildrop(env, value):
    # The messages' recipients are in example.org: mailed to as they are.
    folder = Path(env["XDG_CONFIG_HOME"]) / "tessaruno"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "registry.ini").write_text(
        f"[HKLM\\SOFTWARE\\Tessaruno]\nmaildrop={value}\nlocaldomains=example.org\n")


class NewWatch:
    """Looks into new/ over and over while a run goes on and keeps every file there that is not
    exactly one of the messages: a partial file would be caught while it is visible."""

    def __init__(self, folder):
        self.new = Path(folder) / "new"
        self.bad = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        seen = set()
        deadline = time.monotonic() + RUN_LIMIT * 2
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                names = os.listdir(self.new)
            except OSError:
                names = []
            for name in names:
                if name in seen:
                    continue
                try:
                    data = (self.new / name).read_bytes()
                except OSError:
                    continue
                seen.add(name)
                if data not in RETRIEVED:
                    self.bad.append((name, data[:200]))
            time.sleep(0.002)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(RUN_LIMIT)
        return False


def run(env, server, flag=1, argv_prefix=()):
    """Runs a download from the command line as cron would (stdin closed, no terminal) while
    new/ is watched; returns (status, stderr lines)."""
    with NewWatch(pickup_folder(env)) as watch:
        proc = subprocess.run([*argv_prefix, str(program("morrent")), "--log-level", "error",
                               server, "alice", PASSWORD,
                               str(flag)],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RUN_LIMIT, preexec_fn=lambda: os.close(0),
                              start_new_session=True)
    assert watch.bad == [], "a file in new/ that is not a whole message"
    assert proc.stdout == b""
    err = proc.stderr.decode("utf-8", "replace")
    assert PASSWORD not in err
    return proc.returncode, err.splitlines()


def delivery_failed(status, err):
    """A run that failed at a delivery: the line of the message that failed (none when the
    commit did), then the run's, its reason saying the delivery failed. Returns the run's line."""
    assert status not in (0, 99) and len(err) in (1, 2), err
    if len(err) == 2:
        assert err[0].startswith("morrent: message ") and " outcome=failed reason=" in err[0], err
    assert err[-1].startswith("morrent: run ") and " outcome=failed " in err[-1], err
    assert 'reason="delivery failed: ' in err[-1], err
    return err[-1]


def delivered(env):
    """Messages in new/, each checked to be exactly one of the mailbox's messages."""
    got = files_in(pickup_folder(env) / "new")
    for data in got:
        assert data in RETRIEVED, data[:200]
    return got


@pytest.fixture
def mailbox(start_peer):
    return start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL})


def on_server(dovecot):
    return dovecot.messages("alice")


# ---- the connection cut at every point of a session -----------------------------------------

def middle(k):
    """A line in the middle of message k as the server sends it."""
    return b"line %d of message %d\r\n" % (LINES[k - 1] // 2, k)


# name: (trigger, cut, messages delivered before the cut, the cut happens after QUIT reached
# the server); a trigger ("marker", bytes) is a point in the server's stream.
CUTS = {
    "before the greeting": (None, "now", 0, False),
    "after the login": (b"auth PLAIN ", "now", 0, False),
    "in the middle of the listing": (b"list \r\n", 25, 0, False),
    **{f"in the middle of message {k}": (("marker", middle(k)), "marker", N - k, False)
       for k in range(N, 0, -1)},
    "before the DELE commands reach the server": (b"dele ", "now", N, False),
    "after QUIT reached the server, before its answer": (b"quit\r\n", "server-end", N, True),
}


def cutting_relay(relay, mailbox, trigger, cut, hard=False):
    if isinstance(trigger, tuple):
        return relay((mailbox.host, mailbox.port), marker=trigger[1], cut=cut, hard=hard)
    return relay((mailbox.host, mailbox.port), trigger=trigger, cut=cut, hard=hard)


# Every point with the connection closed; in the middle of each message also with a reset.
CUT_CASES = ([pytest.param(point, False, id=point) for point in CUTS] +
             [pytest.param(point, True, id=point + ", reset") for point in CUTS
              if point.startswith("in the middle of message")])


@pytest.mark.parametrize("point, hard", CUT_CASES)
def test_a_cut_connection_loses_nothing_and_a_second_run_delivers_the_rest(
        point, hard, mailbox, relay, env):
    trigger, cut, before, after_quit = CUTS[point]
    r = cutting_relay(relay, mailbox, trigger, cut, hard=hard)

    status, err = run(env, r.server, flag=1)
    assert status != 0 and len(err) == 1, err
    assert r.cuts == 1
    first = delivered(env)
    # Everything received whole before the cut is delivered, once; the message being received is
    # not, nor is anything after it. A reset may also take answers that were on their way to
    # morrent but not read yet (the RETRs went out together): those stay on the server.
    if hard:
        assert all(first.count(m) <= 1 and m in RETRIEVED[N - before:] for m in first)
    else:
        assert sorted(first) == sorted(RETRIEVED[N - before:])
    assert files_in(pickup_folder(env) / "tmp") == []
    sent = r.transcripts[0]
    if after_quit:
        # The server had everything it needed to delete: every message was delivered first.
        assert on_server(mailbox) == []
    else:
        assert on_server(mailbox) == RETRIEVED
        if before < N:
            assert b"dele" not in sent and b"quit" not in sent

    # A second, clean run delivers what is left. POP3 without UIDL cannot tell which messages an
    # earlier, cut-off run delivered, so those are delivered again: delivery is at least once.
    status, err = run(env, f"{mailbox.host}:{mailbox.port}", flag=1)
    assert (status, err) == (0, [])
    assert on_server(mailbox) == []
    final = delivered(env)
    for m in RETRIEVED:
        again = 0 if after_quit else first.count(m)
        assert final.count(m) == 1 + again


# ---- the pickup folder taken away between two messages ----------------------------------------


def replace_new_with_a_file(folder):
    (folder / "new").rmdir()
    (folder / "new").write_bytes(b"in the way")


def replace_folder_with_a_file(folder):
    shutil.rmtree(folder)
    folder.write_bytes(b"in the way")


def move_folder_away(folder):
    # Still whole and durable over there, but no longer where the mail service looks.
    folder.rename(folder.with_name("pickup.moved"))
    folder.write_bytes(b"in the way")


@pytest.mark.parametrize("change", [replace_new_with_a_file, replace_folder_with_a_file,
                                    move_folder_away],
                         ids=["new/ becomes a file", "the folder becomes a file",
                              "the folder is moved away and a file takes its place"])
def test_a_pickup_folder_that_goes_away_in_a_run_deletes_nothing(change, mailbox, relay, env):
    folder = pickup_folder(env)

    def once_message_n_is_written():
        # The server's stream is held after message N's end until morrent has written it.
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline and not files_in(folder / "tmp"):
            time.sleep(0.005)
        change(folder)

    end_of_n = b"line %d of message %d\r\n.\r\n" % (LINES[N - 1] - 1, N)
    r = relay((mailbox.host, mailbox.port), marker=end_of_n, hook=once_message_n_is_written)
    delivery_failed(*run(env, r.server, flag=1))
    sent = r.transcripts[0]
    assert b"dele" not in sent and sent.endswith(b"quit\r\n")
    assert on_server(mailbox) == RETRIEVED
    # Whatever is left under the folder is whole.
    if folder.is_dir():
        for sub in ("new", "tmp"):
            if (folder / sub).is_dir():
                for data in files_in(folder / sub):
                    assert data in RETRIEVED


def test_a_full_pickup_filesystem_deletes_nothing(mailbox, relay, env, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root to mount a small file system of its own")
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("unshare -m is not permitted here")
    folder = pickup_folder(env)
    folder.mkdir(parents=True)
    kept = tmp_path / "kept"
    kept.mkdir()
    # Room for message 4 and 3, not for message 2 as well. The file system lives only as long as
    # the run, so what it holds is copied out before it goes.
    script = ('mount -t tmpfs -o size=24k tessaruno "$1" || exit 99; shift; '
              f'"$@"; rc=$?; cp -a "{folder}/." "{kept}/"; exit $rc')
    status, err = run(env, f"{mailbox.host}:{mailbox.port}", flag=1,
                      argv_prefix=("unshare", "-m", "sh", "-c", script, "sh", str(folder)))
    assert "space" in delivery_failed(status, err)
    assert on_server(mailbox) == RETRIEVED
    assert sorted(files_in(kept / "new")) == sorted(RETRIEVED[2:])
    assert files_in(kept / "tmp") == []


# ---- an MTA that refuses one message ------------------------------------------------------------


@pytest.mark.parametrize("stage", ["rcpt", "data"])
def test_an_mta_refusing_a_message_deletes_nothing(stage, mailbox, relay, env):
    mta = ScriptedMta(refuse=2, stage=stage, pipelining=False)
    set_maildrop(env, f"smtp://127.0.0.1:{mta.port}")
    r = relay((mailbox.host, mailbox.port))
    try:
        status, err = run(env, r.server, flag=1)
    finally:
        mta.close()
    assert re.search(r"\b55[04]\b", delivery_failed(status, err)), err
    sent = r.transcripts[0]
    assert b"dele" not in sent and sent.endswith(b"quit\r\n")
    # The first message went to the MTA whole; the refused one and the rest stay on the server.
    assert mta.accepted == [RETRIEVED[N - 1]]
    assert on_server(mailbox) == RETRIEVED


def test_a_message_delivered_before_a_refused_one_is_not_delivered_again(mailbox, env):
    # With deletion on, the first run delivers message 4, the MTA refuses message 3, and nothing
    # is deleted. The next run must not hand message 4 on a second time.
    refusing = ScriptedMta(refuse=2, stage="data", pipelining=False)
    set_maildrop(env, f"smtp://127.0.0.1:{refusing.port}")
    try:
        status, err = run(env, f"{mailbox.host}:{mailbox.port}", flag=1)
    finally:
        refusing.close()
    delivery_failed(status, err)
    assert refusing.accepted == [RETRIEVED[N - 1]] and on_server(mailbox) == RETRIEVED
    mta = ScriptedMta(pipelining=False)
    set_maildrop(env, f"smtp://127.0.0.1:{mta.port}")
    try:
        assert run(env, f"{mailbox.host}:{mailbox.port}", flag=1) == (0, [])
    finally:
        mta.close()
    assert mta.accepted == RETRIEVED[N - 2::-1]
    assert on_server(mailbox) == []
