"""The peers the other integration tests rely on start, answer and stop. When one of these
fails, the fault is in the machine's set-up, not in the programs."""

import os
import poplib
import smtplib
import socket
import subprocess

import pytest

from peers import (Command, Dovecot, Haproxy, Nginx, PeerError, Privoxy, Tinyproxy, listening,
                   split_mbox)


def curl(*args):
    res = subprocess.run(["curl", "-s", "--max-time", "10", *args], capture_output=True, timeout=20)
    return res.stdout


def pop_session(peer, user, password):
    pop = poplib.POP3(peer.host, peer.port, timeout=10)
    pop.user(user)
    pop.pass_(password)
    return pop


def retrieved(pop, n):
    # poplib undoes the dot-stuffing and splits at CR LF.
    return b"".join(line + b"\r\n" for line in pop.retr(n)[1])


MESSAGES = [
    b"Subject: crlf\r\n\r\nline\r\n.leading dot\r\n..two dots\r\n",
    b"Subject: lf\n\nbody \xe9\xff 8-bit\n",
    b"Subject: no line end\n\nlast line",
    b"Subject: lone cr\r\n\r\na\rb\r\n",
]


def test_dovecot_retrieves_what_was_put_and_sees_deletions(start_peer):
    pop_server = start_peer(Dovecot, mail={"alice": MESSAGES})
    pop = pop_session(pop_server, "alice", "secret")
    assert len(pop.list()[1]) == len(MESSAGES)
    for n, message in enumerate(MESSAGES, 1):
        assert retrieved(pop, n) == Dovecot.as_retrieved(message)
    pop.dele(1)
    pop.quit()
    assert pop_server.messages("alice") == [Dovecot.as_retrieved(m) for m in MESSAGES[1:]]

    pop_server.put("alice", [b"Subject: later\n\nx\n"])
    pop = pop_session(pop_server, "alice", "secret")
    assert len(pop.list()[1]) == len(MESSAGES)
    assert retrieved(pop, len(MESSAGES)) == b"Subject: later\r\n\r\nx\r\n"
    with pytest.raises(poplib.error_proto):
        pop_session(pop_server, "alice", "wrong")
    pop.quit()


def test_two_dovecots_side_by_side_on_one_port(start_peer):
    first = start_peer(Dovecot, users={"alice": "secret"}, mail={"alice": [b"a\n"]})
    second = start_peer(Dovecot, host="127.0.0.2", port=first.port,
                        users={"bob": "pass word"}, mail={"bob": [b"b\n", b"c\n"]})
    one = pop_session(first, "alice", "secret")
    two = pop_session(second, "bob", "pass word")
    assert (one.stat()[0], two.stat()[0]) == (1, 2)
    one.quit()
    two.quit()


def test_dovecot_many_sessions_of_one_user_at_once(start_peer):
    pop_server = start_peer(Dovecot, mail={"alice": [b"x\n"]})
    sessions = [pop_session(pop_server, "alice", "secret") for _ in range(20)]
    assert all(s.stat()[0] == 1 for s in sessions)
    for s in sessions:
        s.quit()


def test_curl_through_tinyproxy_reaches_nginx_with_the_cookie(start_peer):
    origin = start_peer(Nginx, files={"a.html": b"<html>hello</html>"})
    proxy = start_peer(Tinyproxy)
    body = curl("-x", f"http://{proxy.host}:{proxy.port}", "-b", "session=42", origin.url("a.html"))
    assert body == b"<html>hello</html>"
    assert origin.access_log(wait_for=1)[-1].endswith('"GET /a.html HTTP/1.1" "session=42" 200 18')


def test_tinyproxy_forwards_to_its_upstream(start_peer):
    origin = start_peer(Nginx, files={"b.html": b"upstream"})
    parent = start_peer(Tinyproxy)
    child = start_peer(Tinyproxy, upstream=parent.address())
    assert curl("-x", f"http://{child.host}:{child.port}", origin.url("b.html")) == b"upstream"


def test_stopped_peer_frees_its_port(tmp_path):
    peer = Nginx(tmp_path / "short")
    with peer:
        port = peer.port
        socket.create_connection((peer.host, port), timeout=5).close()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()


@pytest.mark.parametrize("mbox, messages", [
    (b"", []),
    (b"From a@x  Mon Dec  7 10:00:00 2026\nSubject: 1\n\nbody\n\n", [b"Subject: 1\n\nbody\n"]),
    (b"From a@x  Mon Dec  7 10:00:00 2026\nS: 1\n\n>From here\n\n"
     b"From b@x  Mon Dec  7 10:00:01 2026\nS: 2\n\nlast\n\n",
     [b"S: 1\n\nFrom here\n", b"S: 2\n\nlast\n"]),
    # A message that ends in an empty line of its own keeps it.
    (b"From a@x  Mon Dec  7 10:00:00 2026\nS: 1\n\ntext\n\n\n", [b"S: 1\n\ntext\n\n"]),
])
def test_mbox_framing_is_undone(mbox, messages):
    assert split_mbox(mbox) == messages


def test_postfix_delivers_to_the_local_mailbox(postfix, local_user):
    message = (b"From: sender@localhost\r\nTo: tessa@localhost\r\nSubject: hi\r\n"
               b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-Id: <1@localhost>\r\n\r\n"
               b"From the start\r\nbody\r\n")
    with smtplib.SMTP(postfix.host, postfix.port, timeout=10) as smtp:
        smtp.sendmail("sender@localhost", [f"{local_user}@localhost"], message)
    delivered = postfix.wait_messages(local_user, 1)
    assert len(delivered) == 1, postfix.log_tail()
    assert postfix.without_trace(delivered[0]) == message.replace(b"\r\n", b"\n")


def test_peer_that_cannot_start_reports_its_output(tmp_path):
    peer = Command(tmp_path / "bad", ["sh", "-c", "echo no such option >&2; exit 2", "{port}"])
    with pytest.raises(PeerError, match="no such option"):
        peer.start()
    assert peer.proc is None


def test_relay_readiness_check_opens_no_connection_to_its_target(tmp_path):
    with socket.create_server(("127.0.0.1", 0)) as target:
        target.settimeout(0.5)
        port = target.getsockname()[1]
        argv = ["socat", "TCP-LISTEN:{port},bind={host},reuseaddr,fork", f"TCP:127.0.0.1:{port}"]
        relay = Command(tmp_path / "relay", argv)
        with relay:
            assert listening(relay.host, relay.port)
            assert not listening("127.0.0.2", relay.port)
            with pytest.raises(socket.timeout):
                target.accept()


def test_stop_ends_the_server_and_all_its_workers(tmp_path):
    pop_server = Dovecot(tmp_path / "pop")
    with pop_server:
        group = pop_server.pid
    left = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.getpgid(int(entry)) == group:
                left.append(entry)
        except ProcessLookupError:
            pass
    assert left == []


def test_privoxy_forwards_and_blocks(start_peer):
    origin = start_peer(Nginx, files={"ok.html": b"fine"})
    parent = start_peer(Tinyproxy)
    privoxy = start_peer(Privoxy, forward_to=parent.address(), block_patterns=["/ads/"])
    proxy = f"http://{privoxy.host}:{privoxy.port}"
    assert curl("-x", proxy, origin.url("ok.html")) == b"fine"
    assert curl("-x", proxy, "-o", "/dev/null", "-w", "%{http_code}", origin.url("ads/x")) == b"403"


def test_haproxy_relays_tcp(start_peer):
    origin = start_peer(Nginx, files={"c.html": b"relayed"})
    relay = start_peer(Haproxy, backend=origin.address())
    assert curl(f"http://{relay.host}:{relay.port}/c.html") == b"relayed"

