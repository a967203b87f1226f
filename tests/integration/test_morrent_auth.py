"""morrent's login against real servers and one that speaks as a hosted provider does: AUTH PLAIN
against dovecot, OAUTHBEARER and XOAUTH2 against dovecot whose tokens a small introspection
endpoint of this test checks, XOAUTH2 with a provider's error JSON, and the password command in
each way it can go (good, failing, hanging, silent).
"""

import base64
import json
import os
import subprocess
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs

import pytest

from conftest import program
from halvexproc import write_registry
from loopserver import SequentialServer
from peers import Dovecot
from pop3relay import Relay

RUN_LIMIT = 60
MAIL = [b"From: a@example.org\nTo: alice@example.org\nSubject: one\n\nfirst\n",
        b"From: b@example.org\nTo: alice@example.org\nSubject: two\n\nsecond\n"]
GOOD = "ya29.good-token-" + "x" * 40
EXPIRED = "ya29.expired-token-" + "y" * 40


@pytest.fixture
def env(tmp_path, private_state):
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}
    for name in ("config", "data"):
        (tmp_path / name).mkdir()
    e.update(XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_DATA_HOME=str(tmp_path / "data"),
             XDG_STATE_HOME=str(private_state))
    return e


def settings(env, **values):
    write_registry(Path(env["XDG_CONFIG_HOME"]), values)


def run(env, *args):
    proc = subprocess.run([str(program("morrent")), "--log-level", "error", *map(str, args)],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=RUN_LIMIT, stdin=subprocess.DEVNULL, start_new_session=True)
    return proc.returncode, proc.stderr.decode("utf-8", "replace").splitlines()


def delivered(env):
    new = Path(env["XDG_DATA_HOME"]) / "tessaruno" / "pickup" / "new"
    return sorted(p.read_bytes() for p in new.iterdir()) if new.is_dir() else []


def script(tmp_path, name, body):
    """An executable shell script for the password command (morrent runs it without a shell)."""
    path = tmp_path / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o700)
    return str(path)


# ---- dovecot with AUTH PLAIN -------------------------------------------------------------------

def test_dovecot_plain_by_choice_and_by_the_admins(start_peer, env):
    pop = start_peer(Dovecot, mail={"alice": MAIL})
    for popauth, login in (("auto", b"auth PLAIN " + base64.b64encode(b"\0alice\0secret")),
                           ("user", b"user alice\r\npass secret"),
                           ("plain", b"auth PLAIN ")):
        settings(env, popauth=popauth)
        rec = Relay((pop.host, pop.port))
        status, err = run(env, rec.server, "alice", "secret", 0)
        rec.close()
        assert (status, err) == (0, []), popauth
        # CAPA first in every case: it says whether STLS is offered (poptls=auto).
        assert rec.transcripts[0].startswith(b"capa\r\n" + login), (popauth, rec.transcripts[0])
        # Each relay is a server of its own to morrent: each run delivers the whole mailbox.
        assert len(delivered(env)) == 2 * (1 + ("auto", "user", "plain").index(popauth))


def test_a_mechanism_the_server_refuses_is_reported_and_nothing_weaker_tried(start_peer, env):
    pop = start_peer(Dovecot, mail={"alice": MAIL})
    settings(env, popauth="xoauth2")
    rec = Relay((pop.host, pop.port))
    status, err = run(env, rec.server, "alice", "secret", 0)
    rec.close()
    assert status == 1 and len(err) == 1, err
    assert "-ERR" in err[0] and "AUTH XOAUTH2" in err[0], err
    sent = rec.transcripts[0]
    assert b"user " not in sent and b"pass " not in sent and b"auth PLAIN" not in sent
    assert delivered(env) == []


# ---- dovecot checking OAuth tokens with a local introspection endpoint -------------------------

class Introspection:
    """RFC 7662 by POST: GOOD is alice's valid token, anything else is inactive (expired)."""

    def __init__(self):
        seen = self.seen = []

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                token = parse_qs(self.rfile.read(length).decode()).get("token", [""])[0]
                seen.append(token)
                body = ({"active": "true", "username": "alice", "scope": "mail"} if token == GOOD
                        else {"active": "false"})
                data = json.dumps(body).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/introspect"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def oauth_dovecot(start_peer):
    endpoint = Introspection()
    try:
        yield start_peer(Dovecot, mail={"alice": MAIL}, oauth2=endpoint.url), endpoint
    finally:
        endpoint.close()


@pytest.mark.parametrize("popauth, mechanism", [("auto", b"OAUTHBEARER"), ("oauthbearer", b"OAUTHBEARER"),
                                                ("xoauth2", b"XOAUTH2")])
def test_dovecot_takes_a_valid_token(oauth_dovecot, env, tmp_path, popauth, mechanism):
    pop, endpoint = oauth_dovecot
    settings(env, popauth=popauth)
    rec = Relay((pop.host, pop.port))
    status, err = run(env, "--password-command", script(tmp_path, "token", f"echo {GOOD}\n"),
                      rec.server, "alice", 0)
    rec.close()
    assert (status, err) == (0, [])
    assert b"auth " + mechanism in rec.transcripts[0]
    assert endpoint.seen == [GOOD]
    assert delivered(env) == sorted(Dovecot.as_retrieved(m) for m in MAIL)


def test_dovecot_refuses_an_expired_token_with_its_own_error(oauth_dovecot, env, tmp_path):
    pop, endpoint = oauth_dovecot
    status, err = run(env, "--password-command", script(tmp_path, "token", f"echo {EXPIRED}\n"),
                      f"{pop.host}:{pop.port}", "alice", 0)
    assert status == 1 and len(err) == 1, err
    assert "-ERR" in err[0] and "AUTH OAUTHBEARER" in err[0], err
    assert "status invalid_token" in err[0], err  # dovecot's error JSON, decoded
    assert EXPIRED not in err[0]
    assert endpoint.seen == [EXPIRED]
    assert delivered(env) == []


# ---- a server that speaks XOAUTH2 as the hosted provider does ----------------------------------

class HostedXoauth2(SequentialServer):
    """XOAUTH2 only, no USER: a valid token (a long one, as the provider's are) logs in; any
    other gets the provider's error JSON as a challenge, and once the client has answered it,
    the refusal. Serves an empty mailbox."""

    ERROR = {"status": "401", "schemes": "bearer",
             "scope": "https://outlook.office.com/POP.AccessAsUser.All"}

    def __init__(self, token):
        self.token = token
        self.lines = []
        super().__init__()

    def serve(self, conn):
        f = conn.makefile("rb")
        conn.sendall(b"+OK The Microsoft Exchange POP3 service is ready.\r\n")
        expect = None
        for raw in f:
            line = raw.rstrip(b"\r\n")
            self.lines.append(line)
            word = line.split(b" ")[0].upper()
            if expect == "response":
                expect = self.check(conn, line)
            elif expect == "finish":
                conn.sendall(b"-ERR Authentication failure: unknown user name or bad password.\r\n")
                expect = None
            elif word == b"CAPA":
                conn.sendall(b"+OK\r\nTOP\r\nUIDL\r\nSASL XOAUTH2\r\nUSER\r\n.\r\n")
            elif word == b"AUTH" and line.split(b" ")[1:2] == [b"XOAUTH2"]:
                parts = line.split(b" ")
                if len(parts) == 2:
                    conn.sendall(b"+ \r\n")
                    expect = "response"
                else:
                    expect = self.check(conn, parts[2])
            elif word in (b"USER", b"PASS"):
                conn.sendall(b"-ERR Command is not valid in this state.\r\n")
            elif word == b"LIST" or word == b"UIDL":
                conn.sendall(b"+OK\r\n.\r\n")
            elif word == b"QUIT":
                conn.sendall(b"+OK Microsoft Exchange Server POP3 server signing off.\r\n")
                return
            else:
                conn.sendall(b"-ERR Protocol error.\r\n")

    def check(self, conn, response):
        want = b"user=alice@example.org\x01auth=Bearer " + self.token.encode() + b"\x01\x01"
        if base64.b64decode(response) == want:
            conn.sendall(b"+OK User successfully authenticated.\r\n")
            return None
        conn.sendall(b"+ " + base64.b64encode(json.dumps(self.ERROR).encode()) + b"\r\n")
        return "finish"


@pytest.fixture
def hosted():
    servers = []

    def start(token):
        servers.append(HostedXoauth2(token))
        return servers[-1]

    yield start
    for s in servers:
        s.close()


def test_the_hosted_provider_takes_a_long_token_after_its_continuation(hosted, env, tmp_path):
    token = "EwBwA8l6BAAU" + "A" * 1400  # longer than an AUTH line may be
    server = hosted(token)
    status, err = run(env, "--password-command", script(tmp_path, "token", f"echo {token}\n"),
                      server.server, "alice@example.org", 0)
    assert (status, err) == (0, [])
    # Offered XOAUTH2 and a token: chosen by itself, the response sent after the server's "+".
    assert server.lines[:2] == [b"capa", b"auth XOAUTH2"]


def test_the_hosted_providers_error_json_is_in_the_line(hosted, env, tmp_path):
    server = hosted("the-right-token")
    status, err = run(env, "--password-command", script(tmp_path, "token", "echo a-revoked-token\n"),
                      server.server, "alice@example.org", 0)
    assert status == 1 and len(err) == 1, err
    assert "-ERR Authentication failure" in err[0], err
    assert "status 401, scope https://outlook.office.com/POP.AccessAsUser.All" in err[0], err
    assert "POP.AccessAsUser.All" in err[0], err
    assert "a-revoked-token" not in err[0]
    # The challenge was answered with the empty line the provider waits for, and nothing else
    # was tried.
    assert server.lines[2] == b""
    assert not any(l.lower().startswith((b"user", b"pass")) for l in server.lines)


# ---- the password command ----------------------------------------------------------------------

@pytest.mark.parametrize("name, body, reason", [
    ("failing", "echo secret-but-failing; exit 3\n", "failed (exit status 3)"),
    ("hanging", "exec sleep 50\n", "no password within 1 second"),
    ("silent", "exit 0\n", "printed no password"),
    ("missing", None, "could not be started"),
])
def test_a_password_command_that_gives_no_password_ends_the_run_before_any_connection(
        hosted, env, tmp_path, name, body, reason):
    server = hosted("unused")
    command = script(tmp_path, name, body) if body else str(tmp_path / "no-such-program")
    env["MORRENT_COMMAND_MS"] = "1000"
    status, err = run(env, "--password-command", command, server.server, "alice", 0)
    assert status == 1 and len(err) == 1, err
    assert reason in err[0], err
    assert "secret-but-failing" not in err[0]
    assert server.lines == []  # nothing connected


def test_the_stored_password_command_gives_a_password_for_plain(start_peer, env, tmp_path):
    pop = start_peer(Dovecot, mail={"alice": MAIL})
    # A helper that prints the password, with words of its own (no shell: they are arguments).
    helper = script(tmp_path, "pw", 'test "$1 $2" = "for alice" && printf "secret\\nsecond line\\n"\n')
    settings(env, passwordcommand=f"{helper} for alice", popauth="plain")
    status, err = run(env, f"{pop.host}:{pop.port}", "alice", "ignored", 0)
    assert (status, err) == (0, [])
    assert len(delivered(env)) == 2


def test_a_wrong_popauth_ends_the_run_before_any_connection(hosted, env):
    server = hosted("unused")
    settings(env, popauth="kerberos")
    status, err = run(env, server.server, "alice", "secret", 0)
    assert status == 1 and len(err) == 1, err
    assert "registry value popauth: not auto, plain, user, oauthbearer, xoauth2 or apop: kerberos" in err[0], err
    assert server.lines == []
