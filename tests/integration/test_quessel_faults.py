"""quessel when a session goes wrong: either side closing or resetting in every state, a server that
never answers, a client that sends one byte at a time, and 500 sessions at once.

Whatever happens, the client ends cleanly (an -ERR line or the bytes relayed so far, then the end of
the stream), the other side of the slot is closed too, and the proxy's descriptors come back to
where they were: a slot that is not freed shows up as descriptors that stay open.
"""

import os
import re
import resource
import selectors
import socket
import threading
import time

import pytest

from conftest import program
from peers import Command, Dovecot, free_port

TIMEOUT = 10.0
# No password may ever appear in what the proxy writes.
PASSWORD = "Pw-q7Zx!rT"
LOGIN = b"USER alice|127.0.0.1\r\n"


def message(n, size=2000):
    body = b"".join(b"line %d of message %d\n" % (i, n) for i in range(size // 20))
    return (b"From: sender%d@example.org\nTo: alice@example.org\nSubject: message %d\n\n" % (n, n)
            + body)


# Dot lines (stuffed on the wire), 8-bit bytes, NUL, a lone CR, no final line end.
AWKWARD = (b"From: a@example.org\nSubject: awkward\n\n.leading dot\n.\n..two\n"
           b"8bit: \xe4\xf6\xfc\xff\x00nul\rcr\nRegards.\nlast line without end")


def on_the_wire(original):
    """A RETR answer's text as dovecot sends it: dot-stuffed, ending with the "." line."""
    text = Dovecot.as_retrieved(original)
    return re.sub(rb"(?m)^\.", b"..", text) + b".\r\n"


# ---- the proxy and what it holds open ------------------------------------------------------


@pytest.fixture
def start_quessel(tmp_path, monkeypatch):
    """start_quessel(server_port, *extra_args) -> the running proxy (a peer with .port and .pid).
    At the end, nothing the proxy wrote may hold the password."""
    config = tmp_path / "config"
    config.mkdir()
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    started = []

    def start(server_port, *extra):
        argv = [str(program("quessel")), "--port", "{port}", "--bind", "{host}",
                "--server-port", str(server_port), "--allow-servers", "127.0.0.0/8",
                # The scripted servers expect USER right after their greeting.
                "--server-tls", "off", *extra]
        proxy = Command(tmp_path / f"quessel{len(started) + 1}", argv, name="quessel")
        proxy.start()
        started.append(proxy)
        return proxy

    yield start
    for proxy in reversed(started):
        proxy.stop()
    for proxy in started:
        assert PASSWORD.encode() not in proxy.output.read_bytes()


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def settled_descriptors(pid, limit, timeout=TIMEOUT):
    """The proxy's descriptor count, once it is at most limit (or when the bounded wait ends)."""
    deadline = time.monotonic() + timeout
    while True:
        n = descriptors(pid)
        if n <= limit or time.monotonic() >= deadline:
            return n
        time.sleep(0.05)


def baseline_descriptors(pid):
    """The proxy's descriptor count once a socket it has just closed is gone too (one that still
    writes out what was queued lingers for a moment)."""
    lowest = descriptors(pid)
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        time.sleep(0.05)
        lowest = min(lowest, descriptors(pid))
    return lowest


def open_server_connections(port):
    """Connections whose server end is on local port `port` and still open (established, or the
    client gone and the server not yet closed), from /proc/net/tcp."""
    want = "%04X" % port
    count = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for row in table:
            fields = row.split()
            if fields[1].endswith(":" + want) and fields[3] in ("01", "08"):
                count += 1
    return count


def settled_server_connections(port, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        n = open_server_connections(port)
        if n == 0 or time.monotonic() >= deadline:
            return n
        time.sleep(0.05)


def connect(proxy):
    s = socket.create_connection((proxy.host, proxy.port), timeout=TIMEOUT)
    assert recv_exactly(s, 5) == b"+OK\r\n"
    return s


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_until(s, end):
    data = b""
    while not data.endswith(end):
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def recv_all(s):
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


def reset(s):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    s.close()


# ---- a POP3 server that misbehaves on demand -----------------------------------------------


class ServerSide:
    """One accepted connection of a ScriptedServer, as its script sees it."""

    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""
        self.ended = threading.Event()  # the proxy ended its stream
        self.was_reset = False

    def readline(self):
        while b"\n" not in self.buffer:
            data = self.conn.recv(4096)
            if not data:
                raise EOFError
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def send(self, data):
        self.conn.sendall(data)

    def drain(self):
        """Reads until the proxy ends its stream."""
        while self.conn.recv(65536):
            pass
        self.ended.set()

    def end(self):
        """Our end of stream, then whatever the proxy still sends, until it closes too."""
        self.conn.shutdown(socket.SHUT_WR)
        self.drain()

    def reset(self):
        self.was_reset = True
        reset(self.conn)


class ScriptedServer:
    """Accepts connections on 127.0.0.1 and plays script(ServerSide) on each, in a thread of its
    own; the connection is closed when the script returns."""

    def __init__(self, script):
        self.script = script
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.sides = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        deadline = time.monotonic() + 120
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            side = ServerSide(conn)
            self.sides.append(side)
            threading.Thread(target=self._play, args=(side,), daemon=True).start()

    def _play(self, side):
        side.conn.settimeout(TIMEOUT * 2)
        try:
            self.script(side)
        except (OSError, EOFError):
            pass
        finally:
            side.conn.close()

    def close(self):
        self.stop.set()
        self.thread.join(TIMEOUT)
        self.listener.close()


RETRIEVED = message(1)
RETR_HEAD = b"+OK %d octets\r\n" % len(Dovecot.as_retrieved(RETRIEVED))
PART = on_the_wire(RETRIEVED)[:len(RETRIEVED) // 2]
UP_TO_RETR = b"+OK\r\n+OK\r\n" + RETR_HEAD + PART


def up_to_retr(side):
    side.send(b"+OK ready\r\n")
    assert side.readline() == b"USER alice\r\n"
    side.send(b"+OK\r\n")
    side.readline()  # PASS
    side.send(b"+OK\r\n")
    assert side.readline() == b"RETR 1\r\n"
    side.send(RETR_HEAD + PART)


def after_user(side):
    side.send(b"+OK ready\r\n")
    side.readline()


def paused(then):
    def script(side):
        up_to_retr(side)
        time.sleep(0.2)  # the part sent reaches the proxy before the reset
        then(side)
    return script


NO_GREETING = b"-ERR POP3 server 127.0.0.1 is not available\r\n"
GREETING_TIMEOUT = NO_GREETING

# name: (the server's script, what the client receives before the end of its stream, exact).
# With a reset the proxy may lose what the server sent last, so the client gets a prefix of it.
SERVER_FAULTS = {
    "closes before its greeting": (ServerSide.end, NO_GREETING, True),
    "resets before its greeting": (ServerSide.reset, None, False),
    "never greets": (ServerSide.drain, GREETING_TIMEOUT, True),
    "closes right after USER": (lambda s: (after_user(s), s.end()), b"", True),
    "resets right after USER": (lambda s: (after_user(s), s.reset()), b"", True),
    "closes in the middle of RETR": (lambda s: (up_to_retr(s), s.end()), UP_TO_RETR, True),
    "resets in the middle of RETR": (paused(ServerSide.reset), UP_TO_RETR, False),
}


@pytest.mark.parametrize("fault", list(SERVER_FAULTS))
def test_server_failing_in_any_state_ends_the_client_cleanly_and_frees_the_slot(
        fault, start_quessel):
    script, expected, exact = SERVER_FAULTS[fault]
    server = ScriptedServer(script)
    proxy = start_quessel(server.port, "--server-timeout", "1")

    def session():
        s = connect(proxy)
        s.sendall(LOGIN + b"PASS " + PASSWORD.encode() + b"\r\nRETR 1\r\n")
        got = recv_all(s)
        s.close()
        return got

    try:
        session()  # the first session may open descriptors the program keeps
        baseline = baseline_descriptors(proxy.pid)
        for _ in range(3):
            got = session()
            if expected is None:  # a reset before the greeting: one -ERR line naming the server
                assert re.fullmatch(rb"-ERR [^\r\n]*127\.0\.0\.1[^\r\n]*\r\n", got), got
            elif exact:
                assert got == expected
            else:
                assert expected.startswith(got), got[:200]
        assert settled_descriptors(proxy.pid, baseline) <= baseline
        # The server's side of every slot was closed too.
        for side in server.sides:
            assert side.was_reset or side.ended.wait(TIMEOUT)
    finally:
        server.close()


# ---- the client leaving in every state --------------------------------------------------------


class StuckServer:
    """A listener whose queue is full, so that a connection to it stays half-made."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(3):
            f = socket.socket()
            f.setblocking(False)
            f.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(f)

    def close(self):
        for f in self.fillers:
            f.close()
        self.listener.close()


def leave_before_login(proxy):
    connect(proxy).close()


def leave_after_login_line(proxy):
    s = connect(proxy)
    s.sendall(LOGIN)
    time.sleep(0.2)  # the proxy has taken the line and is reaching the server
    s.close()


def leave_after_user(proxy):
    s = connect(proxy)
    s.sendall(LOGIN)
    assert recv_until(s, b"\r\n").startswith(b"+OK")
    s.close()


def leave_in_the_middle_of_retr(proxy, hard):
    s = connect(proxy)
    s.sendall(LOGIN + b"PASS " + PASSWORD.encode() + b"\r\nRETR 1\r\n")
    got = b""
    while len(got) < 200000:
        chunk = s.recv(65536)
        assert chunk, "the message ended early"
        got += chunk
    if hard:
        reset(s)
    else:
        s.close()  # unread input: the kernel resets the connection anyway


CLIENT_FAULTS = ["before login", "while the server connection is being made",
                 "before the server greets", "right after USER",
                 "in the middle of RETR", "in the middle of RETR, with a reset"]


@pytest.mark.parametrize("state", CLIENT_FAULTS)
def test_client_leaving_in_any_state_closes_the_server_side_and_frees_the_slot(
        state, start_peer, start_quessel):
    cleanup = []
    server_port = None  # where the server side of the slot ends
    sides = []
    if state == "before login":
        proxy = start_quessel(free_port())
        leave = leave_before_login
    elif state == "while the server connection is being made":
        stuck = StuckServer()
        cleanup.append(stuck.close)
        proxy = start_quessel(stuck.port, "--server-timeout", "1")
        leave = leave_after_login_line
    elif state == "before the server greets":
        server = ScriptedServer(ServerSide.drain)
        cleanup.append(server.close)
        sides = server.sides
        proxy = start_quessel(server.port, "--server-timeout", "1")
        leave = leave_after_login_line
    else:
        pop3 = start_peer(Dovecot, users={"alice": PASSWORD},
                          mail={"alice": [message(1, size=3 * 1024 * 1024)]})
        server_port = pop3.port
        proxy = start_quessel(pop3.port)
        if state == "right after USER":
            leave = leave_after_user
        else:
            hard = state.endswith("reset")
            leave = lambda p: leave_in_the_middle_of_retr(p, hard)  # noqa: E731
    try:
        leave(proxy)
        baseline = baseline_descriptors(proxy.pid)
        for _ in range(3):
            leave(proxy)
        assert settled_descriptors(proxy.pid, baseline) <= baseline
        if server_port is not None:
            assert settled_server_connections(server_port) == 0
        for side in sides:
            assert side.ended.wait(TIMEOUT)
        # The proxy still serves.
        s = connect(proxy)
        s.sendall(b"QUIT\r\n")
        assert recv_all(s) == b"+OK\r\n"
        s.close()
    finally:
        for close in cleanup:
            close()


# ---- one byte at a time ---------------------------------------------------------------------


def test_a_session_sent_one_byte_at_a_time_retrieves_every_message_byte_for_byte(
        start_peer, start_quessel):
    mail = [message(1), AWKWARD, message(3, size=50000)]
    pop3 = start_peer(Dovecot, users={"alice": PASSWORD}, mail={"alice": mail})
    proxy = start_quessel(pop3.port)
    s = connect(proxy)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def command(line):
        for b in line:
            s.send(bytes([b]))
            time.sleep(0.002)  # each byte its own chunk at the proxy

    command(LOGIN)
    assert recv_until(s, b"\r\n").startswith(b"+OK")
    command(b"PASS " + PASSWORD.encode() + b"\r\n")
    assert recv_until(s, b"\r\n").startswith(b"+OK")
    command(b"STAT\r\n")
    assert recv_until(s, b"\r\n").startswith(b"+OK 3 ")
    for n, original in enumerate(mail, start=1):
        command(b"RETR %d\r\n" % n)
        reply = recv_until(s, b"\r\n.\r\n")
        head, _, text = reply.partition(b"\r\n")
        assert head.startswith(b"+OK"), head
        assert text == on_the_wire(original), f"message {n}"
    command(b"QUIT\r\n")
    assert recv_all(s).startswith(b"+OK")
    s.close()


# ---- many sessions at once --------------------------------------------------------------------


class RoomyDovecot(Dovecot):
    """dovecot in fast mode whose POP3 processes each serve many sessions, so that hundreds of
    sessions at once need a handful of processes rather than hundreds."""

    def configure(self):
        cmd = super().configure()
        conf = self.dir / "dovecot.conf"
        text = conf.read_text()
        roomy = re.sub(r"(service pop3 \{[^}]*client_limit = )1\n", r"\g<1>200\n", text)
        assert roomy != text, "the fast-mode pop3 service block has changed"
        conf.write_text(roomy)
        return cmd


class Conversation:
    """One client's session through the proxy, moved on whenever its socket is ready: each step
    sends a command and collects its whole answer."""

    def __init__(self, sock, steps):
        self.sock = sock
        self.steps = list(steps)  # (command or None, multi-line answer)
        self.buffer = b""
        self.answers = []
        self.ended = False
        self._next()

    def _next(self):
        if self.steps and self.steps[0][0] is not None:
            self.sock.sendall(self.steps[0][0])

    def readable(self):
        data = self.sock.recv(65536)
        if not data:
            self.ended = True
            return
        self.buffer += data
        while self.steps:
            multi = self.steps[0][1]
            end = self.buffer.find(b"\r\n")
            if end < 0:
                return
            if multi and self.buffer.startswith(b"+OK"):
                end = self.buffer.find(b"\r\n.\r\n", end)
                if end < 0:
                    return
                end += 3
            self.answers.append(self.buffer[:end + 2])
            self.buffer = self.buffer[end + 2:]
            self.steps.pop(0)
            self._next()


def test_five_hundred_sessions_at_once_all_retrieve_correctly_and_free_their_slots(
        start_peer, start_quessel):
    sessions = 500
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 4 * sessions + 1000  # ours, the proxy's and dovecot's login process inherit it
    if soft < want:
        if hard != resource.RLIM_INFINITY and hard < want:
            pytest.skip(f"the descriptor limit ({hard}) is too low for {sessions} sessions")
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    try:
        mail = [message(1), AWKWARD, message(3, size=20000)]
        pop3 = start_peer(RoomyDovecot, users={"alice": PASSWORD}, mail={"alice": mail})
        # All of them come from one address.
        proxy = start_quessel(pop3.port, "--max-per-client", str(sessions))
        leave_before_login(proxy)
        baseline = baseline_descriptors(proxy.pid)

        # Every client is connected and greeted before any of them logs in.
        socks = [connect(proxy) for _ in range(sessions)]
        assert descriptors(proxy.pid) >= sessions
        selector = selectors.DefaultSelector()
        talks = []
        for i, s in enumerate(socks):
            s.setblocking(False)
            n = i % len(mail) + 1
            steps = [(LOGIN, False), (b"PASS " + PASSWORD.encode() + b"\r\n", False),
                     (b"STAT\r\n", False), (b"RETR %d\r\n" % n, True), (b"QUIT\r\n", False)]
            talk = Conversation(s, steps)
            talk.n = n
            talks.append(talk)
            selector.register(s, selectors.EVENT_READ, talk)
        deadline = time.monotonic() + 180
        while any(not t.ended for t in talks) and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1.0):
                talk = key.data
                try:
                    talk.readable()
                except OSError:
                    talk.ended = True
                if talk.ended:
                    selector.unregister(talk.sock)
        selector.close()
        unfinished = sum(not t.ended for t in talks)
        for s in socks:
            s.close()
        assert unfinished == 0, f"{unfinished} of {sessions} sessions did not end in time"

        for i, talk in enumerate(talks):
            assert len(talk.answers) == 5, (i, talk.answers)
            login, password, stat, retr, quit_ = talk.answers
            assert login.startswith(b"+OK") and password.startswith(b"+OK"), (i, talk.answers)
            assert stat.startswith(b"+OK 3 "), (i, stat)
            head, _, text = retr.partition(b"\r\n")
            assert head.startswith(b"+OK") and text == on_the_wire(mail[talk.n - 1]), i
            assert quit_.startswith(b"+OK"), (i, quit_)
        # Every slot is closed again, on both sides.
        assert settled_descriptors(proxy.pid, baseline, timeout=30) <= baseline
        assert settled_server_connections(pop3.port) == 0
        assert len(pop3.messages("alice")) == len(mail)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
