"""morrent's download session against a real dovecot, delivering into the pickup folder, through
postfix's sendmail and over SMTP to postfix.

The session runs in morrent_fetchdriver (engine + deliverer without the window). A recording
relay between it and dovecot keeps what the client sent, so that the command transcript can be
checked as well as the delivered bytes.
"""

import os
import socket
import subprocess
import threading
from pathlib import Path

import pytest

from conftest import build_dir
from peers import Dovecot, Postfix, free_port

RUN_TIMEOUT = 120


def driver():
    path = build_dir() / "tests" / "morrent_fetchdriver"
    if not (path.is_file() and os.access(path, os.X_OK)):
        pytest.fail(f"morrent_fetchdriver is not built: {path} is missing", pytrace=False)
    return path


def hostport(peer):
    return f"{peer.host}:{peer.port}"


def fetch(server, *args, maildrop=None, env=None):
    cmd = [str(driver())]
    if maildrop is not None:
        cmd += ["--maildrop", str(maildrop)]
    cmd += [server, *args]
    return subprocess.run(cmd, capture_output=True, timeout=RUN_TIMEOUT, env=env,
                          stdin=subprocess.DEVNULL)


class Recorder:
    """A relay on 127.0.0.1 for one client connection to target, keeping the client's bytes."""

    def __init__(self, target):
        self.target = target
        self.port = free_port()
        self.sent = b""
        self._listener = socket.create_server(("127.0.0.1", self.port))
        self._listener.settimeout(RUN_TIMEOUT)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def server(self):
        return f"127.0.0.1:{self.port}"

    def _serve(self):
        try:
            client, _ = self._listener.accept()
        except OSError:
            return
        upstream = socket.create_connection(self.target, timeout=RUN_TIMEOUT)
        client.settimeout(RUN_TIMEOUT)

        def pump(src, dst, record):
            try:
                while True:
                    data = src.recv(1 << 20)
                    if not data:
                        break
                    if record:
                        self.sent += data
                    dst.sendall(data)
            except OSError:
                pass
            finally:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

        back = threading.Thread(target=pump, args=(upstream, client, False), daemon=True)
        back.start()
        pump(client, upstream, True)
        back.join(RUN_TIMEOUT)
        client.close()
        upstream.close()

    def close(self):
        self._listener.close()
        self._thread.join(RUN_TIMEOUT)


def headers(subject, to="tessa@localhost", extra=b""):
    return (b"Message-Id: <" + subject.encode() + b"@tessaruno.test>\r\n"
            b"Date: Mon, 01 Jan 2024 10:00:00 +0000\r\n"
            b"From: Ann Example <ann@example.org>\r\n"
            b"To: " + to.encode() + b"\r\n" + extra +
            b"Subject: " + subject.encode() + b"\r\n")


PLAIN = headers("plain") + b"\r\nHello Tessa,\r\nthis is plain.\r\n"
MULTIPART = headers("multipart", extra=b"MIME-Version: 1.0\r\n"
                    b"Content-Type: multipart/mixed; boundary=\"b1\"\r\n") + (
    b"\r\n--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nthe text part\r\n"
    b"--b1\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    + b"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\r\n" * 200 + b"--b1--\r\n")
EIGHTBIT = headers("8bit", extra=b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=latin1\r\n"
                   b"Content-Transfer-Encoding: 8bit\r\n") + (
    b"\r\nGr\xfc\xdfe aus K\xf6ln \xa4\r\n\x80\x81\xfe\xff\r\n")
DOTS = headers("dots") + b"\r\n.\r\n..\r\n.hidden line\r\nRegards.\r\n.\r\n...and more\r\nend\r\n"
LARGE = headers("large") + b"\r\n" + (b"x" * 74 + b"\r\n." + b"y" * 72 + b"\r\n") * 35000
MESSAGES = [PLAIN, MULTIPART, EIGHTBIT, DOTS, LARGE]


def delivered_files(folder):
    new = Path(folder) / "new"
    return sorted(p.read_bytes() for p in new.iterdir()) if new.is_dir() else []


def forwarded(message, address):
    """The message with its To line replaced, as morrent hands it on when forwarding."""
    lines = message.split(b"\r\n")
    return b"\r\n".join(b"To: " + address.encode() if l.startswith(b"To: ") else l for l in lines)


def test_mailbox_is_emptied_into_the_pickup_folder_byte_for_byte(start_peer, tmp_path):
    assert len(LARGE) > 5 << 20
    pop = start_peer(Dovecot, mail={"alice": MESSAGES})
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "secret", "0", maildrop=tmp_path / "pickup")
    rec.close()
    assert res.returncode == 0, res.stderr
    want = sorted(Dovecot.as_retrieved(m) for m in MESSAGES)
    assert delivered_files(tmp_path / "pickup") == want
    assert list((tmp_path / "pickup" / "tmp").iterdir()) == []
    # dovecot offers SASL PLAIN (the login) and PIPELINING (the RETRs go out together, in order).
    assert rec.sent == (b"capa\r\nauth PLAIN AGFsaWNlAHNlY3JldA==\r\ncapa\r\nlist \r\nuidl\r\n"
                        b"retr 5\r\nretr 4\r\nretr 3\r\nretr 2\r\nretr 1\r\nquit\r\n")
    # Without deletion the mailbox keeps everything.
    assert len(pop.messages("alice")) == len(MESSAGES)


def test_deletion_empties_the_mailbox_only_when_asked(start_peer, tmp_path):
    pop = start_peer(Dovecot, mail={"alice": [PLAIN, DOTS, EIGHTBIT]})
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "secret", "1", maildrop=tmp_path / "pickup")
    rec.close()
    assert res.returncode == 0, res.stderr
    assert rec.sent.endswith(b"retr 1\r\ndele 1\r\ndele 2\r\ndele 3\r\nquit\r\n")
    assert len(delivered_files(tmp_path / "pickup")) == 3
    assert pop.messages("alice") == []


def test_forwarding_replaces_to_and_nothing_else(start_peer, tmp_path):
    no_to = b"Message-Id: <x@t>\r\nFrom: a@example.org\r\nSubject: no To\r\n\r\nbody\r\n"
    pop = start_peer(Dovecot, mail={"alice": [PLAIN, EIGHTBIT, no_to]})
    res = fetch(hostport(pop), "alice", "secret", "0", "fwd@example.org",
                maildrop=tmp_path / "pickup")
    assert res.returncode == 0, res.stderr
    want = sorted([forwarded(PLAIN, "fwd@example.org"), forwarded(EIGHTBIT, "fwd@example.org"),
                   no_to.replace(b"\r\n\r\n", b"\r\nTo: fwd@example.org\r\n\r\n", 1)])
    assert delivered_files(tmp_path / "pickup") == want


def test_default_pickup_folder_is_in_the_users_data_folder(start_peer, tmp_path):
    pop = start_peer(Dovecot, mail={"alice": [PLAIN]})
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"))
    res = fetch(hostport(pop), "alice", "secret", "0", env=env)
    assert res.returncode == 0, res.stderr
    assert delivered_files(tmp_path / "data" / "tessaruno" / "pickup") == [PLAIN]


def test_empty_mailbox_ends_at_once_with_quit(start_peer, tmp_path):
    pop = start_peer(Dovecot)
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "secret", "1", maildrop=tmp_path / "pickup")
    rec.close()
    assert res.returncode == 0, res.stderr
    assert rec.sent == b"capa\r\nauth PLAIN AGFsaWNlAHNlY3JldA==\r\ncapa\r\nlist \r\nquit\r\n"


def test_wrong_password_ends_without_quit_and_without_delivery(start_peer, tmp_path):
    pop = start_peer(Dovecot, mail={"alice": [PLAIN]})
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "wrong", "1", maildrop=tmp_path / "pickup")
    rec.close()
    assert res.returncode == 1
    err = res.stderr.decode()
    assert "server said: -ERR" in err and err.count("\n") == 1
    assert "wrong" not in err
    assert rec.sent == b"capa\r\nauth PLAIN AGFsaWNlAHdyb25n\r\n"
    assert delivered_files(tmp_path / "pickup") == []
    assert len(pop.messages("alice")) == 1


def test_unwritable_pickup_folder_quits_without_dele(start_peer, tmp_path):
    pop = start_peer(Dovecot, mail={"alice": [PLAIN, DOTS]})
    (tmp_path / "file").write_bytes(b"in the way")
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "secret", "1", maildrop=tmp_path / "file" / "pickup")
    rec.close()
    assert res.returncode == 1
    assert "delivery failed: cannot create the pickup folder" in res.stderr.decode()
    # Both RETRs were out at once; nothing was deleted.
    assert rec.sent == b"capa\r\nauth PLAIN AGFsaWNlAHNlY3JldA==\r\ncapa\r\nlist \r\nuidl\r\nretr 2\r\nretr 1\r\nquit\r\n"
    assert len(pop.messages("alice")) == 2


def test_unreachable_server_fails(tmp_path):
    res = fetch(f"127.0.0.1:{free_port()}", "alice", "secret", "0", maildrop=tmp_path / "p")
    assert res.returncode == 1
    assert "connection failed:" in res.stderr.decode()


def test_smtp_refusal_quits_without_dele(start_peer, tmp_path):
    # Nothing listens on the MTA's port: the first delivery fails, nothing is deleted.
    pop = start_peer(Dovecot, mail={"alice": [PLAIN, DOTS]})
    rec = Recorder((pop.host, pop.port))
    res = fetch(rec.server, "alice", "secret", "1", maildrop=f"smtp://127.0.0.1:{free_port()}")
    rec.close()
    assert res.returncode == 1
    assert "delivery failed: lost the connection to the mail service" in res.stderr.decode()
    assert b"dele" not in rec.sent and rec.sent.endswith(b"retr 1\r\nquit\r\n")
    assert len(pop.messages("alice")) == 2


# ---- through postfix to the local user's mailbox ----

def as_mailed(message):
    """What postfix's local delivery keeps of a message (CR LF becomes LF)."""
    return Dovecot.as_retrieved(message).replace(b"\r\n", b"\n")


@pytest.mark.parametrize("method", ["smtp", "sendmail"])
def test_forwarded_mail_lands_in_the_local_mailbox(start_peer, local_user, method):
    other = Postfix.ensure_user("tessc")
    Postfix.clear_mailbox(other)
    cc = headers("cc", to="nobody@example.org", extra=b"Cc: tessc@localhost\r\n") + b"\r\nhi\r\n"
    mails = [PLAIN, DOTS, EIGHTBIT, cc]
    pop = start_peer(Dovecot, mail={"alice": mails})
    drop = "smtp://127.0.0.1:25" if method == "smtp" else "sendmail"
    res = fetch(hostport(pop), "alice", "secret", "1", f"{local_user}@localhost", maildrop=drop)
    assert res.returncode == 0, res.stderr
    got = [Postfix.without_trace(m) for m in Postfix.wait_messages(local_user, len(mails))]
    want = [as_mailed(forwarded(m, f"{local_user}@localhost")) for m in mails]
    assert sorted(got) == sorted(want), Postfix.log_tail()
    assert pop.messages("alice") == []
    # The message's own Cc is not mailed to again.
    assert Postfix.mailbox_messages(other) == []


def test_smtp_without_forwarding_mails_to_and_cc_not_bcc(start_peer, local_user):
    other = Postfix.ensure_user("tessc")
    Postfix.clear_mailbox(other)
    message = headers("to and cc", extra=b"Cc: tessc@localhost\r\nBcc: root@localhost\r\n") + b"\r\nhi\r\n"
    pop = start_peer(Dovecot, mail={"alice": [message]})
    res = fetch(hostport(pop), "--localdomains", "localhost", "alice", "secret", "0",
                maildrop="smtp://127.0.0.1:25")
    assert res.returncode == 0, res.stderr
    # postfix takes the Bcc line out; the message is otherwise as fetched.
    want = as_mailed(message).replace(b"Bcc: root@localhost\n", b"")
    for user in (local_user, other):
        got = [Postfix.without_trace(m) for m in Postfix.wait_messages(user, 1)]
        assert got == [want], Postfix.log_tail()
    # Two envelope recipients: To and Cc, not Bcc.
    assert "nrcpt=2 (queue active)" in Postfix.log_tail().split("<to and cc@tessaruno.test>")[-1]


def test_smtp_refused_recipient_fails_the_session(start_peer, local_user):
    pop = start_peer(Dovecot, mail={"alice": [PLAIN]})
    res = fetch(hostport(pop), "alice", "secret", "1", "no-such-user@localhost",
                maildrop="smtp://127.0.0.1:25")
    assert res.returncode == 1
    assert "delivery failed: the mail service said: 550" in res.stderr.decode()
    assert len(pop.messages("alice")) == 1
