"""quessel routing by its map: real clients (poplib, fetchmail, a Thunderbird-like session with
STLS and AUTH PLAIN) log in with their plain names and reach the dovecot their entry names; a
domain entry and the default route what no name does; a name the map does not know gets one line;
a broken map at a reload keeps the old one, a good one takes the next login."""

import base64
import os
import poplib
import signal
import ssl
import subprocess
import sys

from peers import Dovecot
from test_halvex_relay import wait_until
from test_quessel import TIMEOUT, connect, message, quessel_env, recv_until, start_quessel  # noqa: F401
from test_quessel_tls import ca  # noqa: F401


def write_map(tmp_path, text):
    path = tmp_path / "popmap"
    path.write_text(text)
    return path


def stat_as(proxy, name, password="secret"):
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    pop.user(name)
    pop.pass_(password)
    count = pop.stat()[0]
    pop.quit()
    return count


def test_plain_names_names_of_a_domain_and_the_default_reach_their_servers(start_peer, start_quessel, tmp_path):
    a = start_peer(Dovecot, users={"alice": "secret", "carol@example.com": "secret"},
                   mail={"alice": [message(1)], "carol@example.com": [message(1), message(2)]})
    b = start_peer(Dovecot, host="127.0.0.2", port=a.port, users={"robert": "secret", "dave": "secret"},
                   mail={"robert": [message(1)] * 3, "dave": [message(1)] * 4})
    popmap = write_map(tmp_path, "alice: 127.0.0.1\nbob: 127.0.0.2 robert\n"
                                 "*@example.com: 127.0.0.1\n*: 127.0.0.2\n")
    proxy = start_quessel(a.port, "--map", str(popmap))
    assert stat_as(proxy, "alice") == 1
    assert stat_as(proxy, "bob") == 3          # as robert, on the second server
    stat_as(proxy, "carol@example.com")  # only the first server knows carol
    assert stat_as(proxy, "dave") == 4         # the default
    # USERNAME|SERVER is off with a map: it is a name like any other, which the default takes.
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    pop.user("alice|127.0.0.1")
    try:
        pop.pass_("secret")
        assert False, "the default server has no alice|127.0.0.1"
    except poplib.error_proto:
        pass
    assert wait_until(lambda: "quessel: login client=127.0.0.1 user=bob server=127.0.0.2 tls=no outcome=ok"
                      in proxy.output.read_text())


def test_a_name_not_in_the_map_gets_one_line_and_no_server(start_peer, start_quessel, tmp_path):
    pop3 = start_peer(Dovecot)
    proxy = start_quessel(pop3.port, "--map", str(write_map(tmp_path, "alice: 127.0.0.1\n")))
    for name in (b"mallory", b"root", b"alice@other"):
        s = connect(proxy)
        s.sendall(b"USER " + name + b"\r\n")
        assert recv_until(s, b"\r\n") == b"-ERR this login is not known here\r\n"
        s.close()
    assert wait_until(lambda: proxy.output.read_text().count('reason="the name is not in the map"') == 3)


def test_fetchmail_with_a_plain_login_name_through_the_map(start_peer, start_quessel, tmp_path):
    mail = [message(1), message(2)]
    pop3 = start_peer(Dovecot, mail={"alice": mail})
    proxy = start_quessel(pop3.port, "--map", str(write_map(tmp_path, "alice: 127.0.0.1\n")))
    out = tmp_path / "delivered"
    out.mkdir()
    mda = tmp_path / "mda.py"
    mda.write_text("import os, sys, time\n"
                   f"path = os.path.join({str(out)!r}, '%d' % time.monotonic_ns())\n"
                   "open(path, 'wb').write(sys.stdin.buffer.read())\n")
    rc = tmp_path / "fetchmailrc"
    rc.write_text(f'poll 127.0.0.1 protocol pop3 port {proxy.port}\n'
                  f'  user "alice" password "secret" is root here\n'
                  f'  keep fetchall no rewrite sslproto ""\n'
                  f'  mda "{sys.executable} {mda}"\n')
    rc.chmod(0o600)
    env = dict(os.environ, HOME=str(tmp_path), FETCHMAILHOME=str(tmp_path))
    run = subprocess.run(["fetchmail", "-f", str(rc), "--nosyslog", "--nodetach", "-v",
                          "--pidfile", str(tmp_path / "fetchmail.pid")],
                         env=env, capture_output=True, timeout=60)
    assert run.returncode == 0, (run.stdout + run.stderr).decode("utf-8", "replace")
    assert len(list(out.iterdir())) == len(mail)


def test_a_thunderbird_like_session_with_stls_and_auth_plain(start_peer, start_quessel, tmp_path, ca):
    pop3 = start_peer(Dovecot, mail={"alice": [message(1), message(2)]})
    # The server leg is in the clear by the admin's word (a server on this machine).
    proxy = start_quessel(pop3.port, "--map", str(write_map(tmp_path, "alice: 127.0.0.1\n")),
                          "--tls-cert", str(ca / "good.pem"), "--tls-key", str(ca / "good.key"),
                          "--require-tls", "--server-tls", "off")
    pop = poplib.POP3(proxy.host, proxy.port, timeout=TIMEOUT)
    caps = pop.capa()
    assert "STLS" in caps and "SASL" not in caps  # not in the clear, TLS being required
    pop.stls(context=ssl.create_default_context(cafile=str(ca / "ca.pem")))
    assert pop.capa()["SASL"] == ["PLAIN"]
    token = base64.b64encode(b"\0alice\0secret").decode()
    assert pop._shortcmd("AUTH PLAIN " + token).startswith(b"+OK")
    assert pop.stat()[0] == 2
    pop.quit()
    assert wait_until(lambda: "user=alice server=127.0.0.1 tls=client outcome=ok" in proxy.output.read_text())


def test_a_broken_map_at_a_reload_keeps_the_old_one(start_peer, start_quessel, tmp_path):
    a = start_peer(Dovecot, users={"alice": "secret"}, mail={"alice": [message(1)]})
    b = start_peer(Dovecot, host="127.0.0.2", port=a.port, users={"alice": "secret"},
                   mail={"alice": [message(1)] * 2})
    popmap = write_map(tmp_path, "alice: 127.0.0.1\n")
    proxy = start_quessel(a.port, "--map", str(popmap))
    assert stat_as(proxy, "alice") == 1
    popmap.write_text("alice: 127.0.0.2\nthis line is broken\n")
    os.kill(proxy.pid, signal.SIGHUP)
    assert wait_until(lambda: "quessel: reload outcome=partial kept=popmap reason=" in proxy.output.read_text())
    assert "line 2: no" in proxy.output.read_text()
    assert stat_as(proxy, "alice") == 1
    popmap.write_text("alice: 127.0.0.2\n")
    os.kill(proxy.pid, signal.SIGHUP)
    assert wait_until(lambda: proxy.output.read_text().count("quessel: reload outcome=ok") >= 1)
    assert stat_as(proxy, "alice") == 2
