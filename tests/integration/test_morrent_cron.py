"""morrent left on cron against a real dovecot: keep mode delivers each message once, the record
of delivered ids follows the mailbox, a run killed at any message loses nothing and repeats at
most the message in flight, two runs of one mailbox never overlap, and without a forward address
nothing is mailed outside the local domains (through a recording SMTP server and a real postfix).

Between morrent and dovecot sits, where needed, a relay (pop3relay) that holds the server's
stream at a chosen point or refuses a command in the server's place; a recording SMTP server can
kill morrent right after it confirmed a message.
"""

import os
import poplib
import pwd
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from conftest import program
from peers import Dovecot, Postfix
from scriptedmta import ScriptedMta

RUN_LIMIT = 60
PASSWORD = "Cr0n-s3cret!"


def message(n, lines=300):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(lines))
    return (b"From: Sender %d <sender%d@example.org>\nTo: alice@example.org\n"
            b"Subject: message %d\n\n" % (n, n, n) + body)


MAIL = [message(n) for n in range(1, 6)]
N = len(MAIL)


@pytest.fixture
def env(tmp_path, private_state):
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                      "MORRENT_TIMER_MS")}
    for name in ("config", "data"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"),
             XDG_STATE_HOME=str(private_state))
    return e


@pytest.fixture
def mailbox(start_peer):
    return start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": MAIL})


def set_registry(env, **values):
    folder = Path(env["XDG_CONFIG_HOME"]) / "tessaruno"
    folder.mkdir(parents=True, exist_ok=True)
    lines = "".join(f"{k}={v}\n" for k, v in values.items())
    (folder / "registry.ini").write_text(f"[HKLM\\SOFTWARE\\Tessaruno]\n{lines}")


def start(env, server, flag=0):
    """Starts a download as cron would (stdin closed, no terminal)."""
    return subprocess.Popen([str(program("morrent")), "--log-level", "error", server, "alice",
                             PASSWORD, str(flag)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: os.close(0), start_new_session=True)


def finish(proc):
    out, err = proc.communicate(timeout=RUN_LIMIT)
    assert out == b""
    err = err.decode("utf-8", "replace")
    assert PASSWORD not in err
    return proc.returncode, err.splitlines()


def run(env, server, flag=0):
    return finish(start(env, server, flag))


def hostport(peer):
    return f"{peer.host}:{peer.port}"


def pickup(env, sub="new"):
    folder = Path(env["XDG_DATA_HOME"]) / "tessaruno" / "pickup" / sub
    return [p.read_bytes() for p in sorted(folder.iterdir())] if folder.is_dir() else []


def written(env, server):
    """How many messages the record says were written to the pickup folder."""
    try:
        lines = record_path(env, server).read_text().splitlines()
    except FileNotFoundError:
        return 0
    return sum(1 for line in lines if line.startswith("w "))


def record_path(env, server):
    return Path(env["XDG_STATE_HOME"]) / "tessaruno" / f"alice@{server}.uidl"


def uids(dovecot):
    """The unique ids dovecot gives the messages, in mailbox order."""
    pop = poplib.POP3(dovecot.host, dovecot.port, timeout=RUN_LIMIT)
    try:
        pop.user("alice")
        pop.pass_(PASSWORD)
        return [line.split()[1].decode() for line in pop.uidl()[1]]
    finally:
        pop.quit()


# ---- keep mode --------------------------------------------------------------------------------

def test_keep_mode_delivers_each_message_once(mailbox, env):
    server = hostport(mailbox)
    assert run(env, server) == (0, [])
    assert sorted(pickup(env)) == sorted(Dovecot.as_retrieved(m) for m in MAIL)
    # Nothing new: nothing delivered, and the record stays private.
    assert run(env, server) == (0, [])
    assert len(pickup(env)) == N
    record = record_path(env, server)
    assert record.stat().st_mode & 0o777 == 0o600
    assert record.parent.stat().st_mode & 0o777 == 0o700
    # A new message, and only it, is delivered next time.
    new = message(99)
    mailbox.put("alice", [new])
    assert run(env, server) == (0, [])
    got = pickup(env)
    assert len(got) == N + 1
    assert got.count(Dovecot.as_retrieved(new)) == 1
    assert len(mailbox.messages("alice")) == N + 1


def test_a_message_removed_on_the_server_leaves_the_record(mailbox, env):
    server = hostport(mailbox)
    ids = uids(mailbox)
    assert run(env, server) == (0, [])
    record = record_path(env, server).read_text()
    assert all(uid in record for uid in ids)
    mailbox.message_files("alice")[1].unlink()
    assert run(env, server) == (0, [])
    record = record_path(env, server).read_text()
    assert ids[1] not in record
    assert all(uid in record for uid in ids[:1] + ids[2:])
    assert len(pickup(env)) == N


def test_deletion_on_forgets_every_id_once_the_mailbox_is_empty(mailbox, env):
    server = hostport(mailbox)
    assert run(env, server, flag=1) == (0, [])
    assert len(pickup(env)) == N
    assert mailbox.messages("alice") == []
    assert record_path(env, server).read_text() == "tessaruno morrent record 1\n"


def test_a_server_without_uidl_is_fetched_whole_and_says_so_once(mailbox, env, relay):
    r = relay((mailbox.host, mailbox.port), refuse=b"uidl")
    for rnd in (1, 2):
        status, err = run(env, r.server)
        assert status == 0
        assert len(err) == 1 and "unique ids" in err[0] and "-ERR" in err[0], err
        assert len(pickup(env)) == N * rnd


# ---- the state folder and its files ----------------------------------------------------------

@pytest.mark.parametrize("mode", [0o777, 0o770])
def test_a_state_folder_others_may_write_to_is_refused(mailbox, env, mode):
    folder = Path(env["XDG_STATE_HOME"]) / "tessaruno"
    folder.mkdir(parents=True)
    folder.chmod(mode)
    status, err = run(env, hostport(mailbox))
    assert status == 1
    assert len(err) == 1 and f"the state folder {folder} must be" in err[0], err
    assert f"mode {mode:04o}" in err[0] and "chmod 700" in err[0], err
    assert pickup(env) == [] and list(folder.iterdir()) == []
    folder.chmod(0o700)
    assert run(env, hostport(mailbox)) == (0, [])


@pytest.mark.parametrize("name", ["lock", "uidl"])
def test_a_state_file_planted_as_a_link_is_not_written_through(mailbox, env, tmp_path, name):
    server = hostport(mailbox)
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    folder = Path(env["XDG_STATE_HOME"]) / "tessaruno"
    folder.mkdir(parents=True, mode=0o700)
    (folder / f"alice@{server}.{name}").symlink_to(victim)
    status, err = run(env, server)
    assert status == 1
    assert len(err) == 1 and "it is a symbolic link" in err[0], err
    assert victim.read_text() == "precious\n"
    assert pickup(env) == []


# ---- killed runs ------------------------------------------------------------------------------

def middle(k):
    return b"line 150 of message %d\r\n" % k


def wait_for(predicate, what):
    deadline = time.monotonic() + RUN_LIMIT
    while not predicate():
        assert time.monotonic() < deadline, f"waited in vain for {what}"
        time.sleep(0.005)


@pytest.mark.parametrize("k", range(N, 0, -1))
def test_a_run_killed_at_message_k_loses_nothing(k, mailbox, env, relay):
    # Messages go from the highest number down: N .. k+1 are in the pickup folder's tmp/ when the
    # run dies with k coming in. The relay holds the server's stream in the middle of k.
    held, release = threading.Event(), threading.Event()

    def hold():
        held.set()
        release.wait(RUN_LIMIT)

    r = relay((mailbox.host, mailbox.port), marker=middle(k), hook=hold, once=True)
    proc = start(env, r.server)
    assert held.wait(RUN_LIMIT)
    # Written means recorded too: a file that has just appeared may not be in the record yet, and
    # one the run never recorded is not its to clear away.
    wait_for(lambda: len(pickup(env, "tmp")) == N - k and written(env, r.server) == N - k,
             f"{N - k} messages written")
    proc.kill()
    proc.wait(RUN_LIMIT)
    release.set()
    # Not one of them counts as delivered before the run made them durable.
    assert pickup(env) == []

    assert run(env, r.server) == (0, [])
    assert sorted(pickup(env)) == sorted(Dovecot.as_retrieved(m) for m in MAIL)
    assert pickup(env, "tmp") == []
    # And the record knows them all now.
    assert run(env, r.server) == (0, [])
    assert len(pickup(env)) == N


def test_sigterm_keeps_what_was_delivered_and_the_next_run_fetches_the_rest(mailbox, env, relay):
    # As the killed run, but stopped by a service manager: the messages already written are
    # made durable and recorded, the server keeps everything, and the run says why it ended.
    k = 3
    held, release = threading.Event(), threading.Event()

    def hold():
        held.set()
        release.wait(RUN_LIMIT)

    r = relay((mailbox.host, mailbox.port), marker=middle(k), hook=hold, once=True)
    proc = start(env, r.server)
    assert held.wait(RUN_LIMIT)
    wait_for(lambda: len(pickup(env, "tmp")) == N - k and written(env, r.server) == N - k,
             f"{N - k} messages written")
    proc.terminate()
    status, err = finish(proc)
    release.set()
    assert status == 1 and len(err) == 1, err
    assert err[0].startswith("morrent: run ") and f" delivered={N - k} deleted=0 " in err[0], err
    assert 'reason="stopped by a signal before the session ended"' in err[0], err
    assert len(pickup(env)) == N - k and pickup(env, "tmp") == []
    assert len(mailbox.messages("alice")) == N
    assert run(env, r.server) == (0, [])
    assert sorted(pickup(env)) == sorted(Dovecot.as_retrieved(m) for m in MAIL)


@pytest.fixture
def mta():
    m = ScriptedMta()
    yield m
    m.close()


@pytest.mark.parametrize("k", range(1, N + 1))
def test_a_run_killed_after_the_mta_confirmed_message_k_repeats_at_most_that_one(
        k, mailbox, env, mta):
    set_registry(env, maildrop=f"smtp://127.0.0.1:{mta.port}", localdomains="example.org")
    started = []

    def crash():
        wait_for(lambda: started, "the run to start")
        started[0].kill()

    mta.after = (k, crash)
    started.append(start(env, hostport(mailbox)))
    proc = started[0]
    proc.wait(RUN_LIMIT)
    assert proc.returncode == -signal.SIGKILL
    assert len(mta.accepted) == k
    mta.after = None

    assert run(env, hostport(mailbox)) == (0, [])
    want = [Dovecot.as_retrieved(m) for m in MAIL]
    assert all(m in want for m in mta.accepted)
    counts = [mta.accepted.count(m) for m in want]
    assert min(counts) == 1, "a message was lost"
    assert sum(counts) - N <= 1, "more than the message in flight was repeated"
    repeated = [m for m in want if mta.accepted.count(m) > 1]
    assert repeated in ([], [mta.accepted[k - 1]])


# ---- one run at a time ------------------------------------------------------------------------

@pytest.mark.parametrize("flag", [0, 1])
def test_two_runs_started_together_one_delivers_the_other_exits_3(flag, mailbox, env, relay):
    greet = threading.Event()
    r = relay((mailbox.host, mailbox.port), hook=lambda: greet.wait(RUN_LIMIT))
    first, second = start(env, r.server, flag), start(env, r.server, flag)
    # The one that did not get the lock ends at once, before it connects.
    deadline = time.monotonic() + RUN_LIMIT
    while first.poll() is None and second.poll() is None:
        assert time.monotonic() < deadline
        time.sleep(0.005)
    loser, winner = (first, second) if first.poll() is not None else (second, first)
    status, err = finish(loser)
    assert status == 3
    assert len(err) == 1 and "another run" in err[0], err
    greet.set()
    assert finish(winner) == (0, [])
    assert len(r.transcripts) == 1
    assert len(pickup(env)) == N
    # The lock went with the run.
    assert run(env, r.server, flag) == (0, [])


# ---- the envelope without a forward address ---------------------------------------------------

def addressed(subject, to, cc=None):
    head = (b"Message-Id: <" + subject.encode() + b"@tessaruno.test>\r\n"
            b"Date: Mon, 01 Jan 2024 10:00:00 +0000\r\nFrom: Ann <ann@example.org>\r\n"
            b"To: " + to.encode() + b"\r\n")
    if cc:
        head += b"Cc: " + cc.encode() + b"\r\n"
    return head + b"Subject: " + subject.encode() + b"\r\n\r\nhello\r\n"


def test_the_envelope_names_only_recipients_in_the_local_domains(start_peer, env, mta):
    account = pwd.getpwuid(os.geteuid()).pw_name
    mail = [addressed("external", "carol@external.example"),
            addressed("local", "bob@example.org", cc="Dan <dan@Example.ORG>"),
            addressed("mixed", "bob@example.org",
                      cc="carol@external.example, alice@example.org, eve@other.example")]
    pop = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": mail})
    set_registry(env, maildrop=f"smtp://127.0.0.1:{mta.port}", localdomains="example.org")
    status, err = run(env, hostport(pop))
    assert status == 0
    # Highest number first: mixed, local, external.
    assert mta.rcpts == [["bob@example.org", "alice@example.org"],
                         ["bob@example.org", "dan@Example.ORG"],
                         [f"{account}@example.org"]]
    # One line for each message with addresses left out, naming them.
    assert len(err) == 2, err
    assert "message 3:" in err[0] and "carol@external.example, eve@other.example" in err[0]
    assert "<mixed@tessaruno.test>" in err[0]
    assert "message 1:" in err[1] and "carol@external.example" in err[1]
    assert all("bob@" not in line for line in err)


def wait_in_mailbox(user, needle, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if needle in Postfix.mailbox(user):
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("method", ["smtp", "sendmail"])
def test_through_postfix_nothing_goes_to_an_external_address(method, start_peer, env, local_user):
    account = pwd.getpwuid(os.geteuid()).pw_name
    tag = f"{method}{os.getpid()}{int(time.time() * 1000) % 100000}"
    outside = f"carol-{tag}@external.example"
    mail = [addressed(f"mixed-{tag}", f"{local_user}@localhost", cc=outside),
            addressed(f"outside-{tag}", outside)]
    pop = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": mail})
    drop = "smtp://127.0.0.1:25" if method == "smtp" else "sendmail"
    set_registry(env, maildrop=drop, localdomains="localhost")
    status, err = run(env, hostport(pop))
    assert status == 0
    assert len(err) == 2 and all(outside in line for line in err), err
    # The local recipient has the mixed message; the one with no local recipient went to the
    # account that ran morrent; the outside address was never given to postfix.
    assert wait_in_mailbox(local_user, f"<mixed-{tag}@tessaruno.test>".encode()), Postfix.log_tail()
    assert wait_in_mailbox(account, f"<outside-{tag}@tessaruno.test>".encode()), Postfix.log_tail()
    assert outside not in Postfix.log_tail()


def as_account(user):
    """An environment for a run as `user`, an account that cannot log in (as the morrent@ units'
    is): its own settings, data and state folders."""
    home = Path(tempfile.mkdtemp(prefix="morrent-service-", dir="/tmp"))
    entry = pwd.getpwnam(user)
    for sub in ("config", "config/tessaruno", "data", "state"):
        (home / sub).mkdir(mode=0o700)
    for path in (home, *home.rglob("*")):
        os.chown(path, entry.pw_uid, entry.pw_gid)
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}
    e.update(HOME=str(home), XDG_CONFIG_HOME=str(home / "config"), XDG_DATA_HOME=str(home / "data"),
             XDG_STATE_HOME=str(home / "state"))
    return home, e


def test_under_a_service_account_mail_with_no_local_recipient_stays_on_the_server(
        start_peer, local_user):
    # Run as an account nobody reads: the default maildrop is the local mail service, a message
    # with no local recipient fails (never the account's), and nothing is deleted.
    entry = pwd.getpwnam(local_user)
    assert entry.pw_shell.endswith("nologin")
    other = Postfix.ensure_user("tessc")
    tag = f"svc{os.getpid()}{int(time.time() * 1000) % 100000}"
    # Highest number first: the local one is delivered before the other fails the run.
    mail = [addressed(f"outside-{tag}", "carol@external.example"),
            addressed(f"local-{tag}", f"{other}@localhost")]
    pop = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": mail})
    home, e = as_account(local_user)
    try:
        registry = home / "config" / "tessaruno" / "registry.ini"
        registry.write_text("[HKLM\\SOFTWARE\\Tessaruno]\nlocaldomains=localhost\n")
        os.chown(registry, entry.pw_uid, entry.pw_gid)
        proc = subprocess.run(
            ["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}", "--clear-groups",
             str(program("morrent")), "--log-level", "error", hostport(pop), "alice", PASSWORD, "1"],
            env=e, capture_output=True, timeout=RUN_LIMIT, cwd=home)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1, err
    assert PASSWORD not in err
    assert "carol@external.example" in err and "no local recipient" in err, err
    assert "delivered=1 deleted=0 outcome=failed" in err.splitlines()[-1]
    # The local one went through the machine's postfix; nothing was deleted.
    assert wait_in_mailbox(other, f"<local-{tag}@tessaruno.test>".encode()), (err, Postfix.log_tail())
    assert len(pop.messages("alice")) == 2
    assert f"<outside-{tag}@tessaruno.test>".encode() not in Postfix.mailbox(local_user)
