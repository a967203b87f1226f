"""Real peer servers for the integration tests and benchmarks, each run on loopback.

Every peer is a context manager. It writes its configuration, logs and state into a private
folder, listens on 127.0.0.1 (or another 127.x address) on a free high port, runs in the
foreground as our child process and is stopped by its PID: terminate, wait, kill after a
time-out. A peer that does not come up raises PeerError with the tail of its logs.

    with Dovecot(tmp_path / "pop", mail={"alice": [b"Subject: x\\n\\nhi\\n"]}) as pop:
        poplib.POP3(pop.host, pop.port)

Postfix is the exception: it is the machine's own MTA on 127.0.0.1:25, started with
`postfix start` only when it is not already running and stopped only by the fixture that
started it (see Postfix).
"""

import contextlib
import fcntl
import os
import pwd
import resource
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0
LOG_TAIL = 4000


class PeerError(RuntimeError):
    pass


def free_port(host="127.0.0.1"):
    """A port that was free on host a moment ago (the OS picks it when binding port 0)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_port(host, port, timeout=START_TIMEOUT, alive=None, expect=None):
    """Wait until host:port accepts a connection (and, with expect, sends a greeting that
    starts with it). alive() returning False ends the wait early. Returns True when ready."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if alive is not None and not alive():
            return False
        try:
            with socket.create_connection((host, port), timeout=1.0) as s:
                if expect is None:
                    return True
                s.settimeout(max(0.2, min(2.0, deadline - time.monotonic())))
                if s.recv(512).startswith(expect):
                    return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def listening(host, port):
    """True when a TCP socket listens on host:port (or on all addresses), judged from
    /proc/net/tcp, so that checking opens no connection through a relay to its target."""
    want_addr = "%08X" % int.from_bytes(socket.inet_aton(host), sys.byteorder)
    want_port = "%04X" % port
    try:
        with open("/proc/net/tcp") as table:
            next(table)
            for row in table:
                fields = row.split()
                addr, _, hexport = fields[1].partition(":")
                if fields[3] == "0A" and hexport == want_port and addr in (want_addr, "00000000"):
                    return True
    except OSError:
        pass
    return False


def wait_listening(host, port, timeout=START_TIMEOUT, alive=None):
    """Waits (bounded) until something listens on host:port; see listening()."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if alive is not None and not alive():
            return False
        if listening(host, port):
            return True
        time.sleep(0.02)
    return False


def _tail(path, limit=LOG_TAIL):
    try:
        data = Path(path).read_bytes()
    except OSError:
        return ""
    return data[-limit:].decode("utf-8", "replace")


class Peer:
    """A server run in the foreground as a child process, with its files in self.dir."""

    name = "peer"
    greeting = None  # bytes the server sends first, to tell it is ready; None: connect only
    # A relay is checked without connecting to it, so the check does not reach its target.
    check_by_connecting = True

    def __init__(self, tmpdir, host="127.0.0.1", port=None):
        self.dir = Path(tmpdir)
        self.host = host
        self.port = port
        self._fixed_port = port is not None
        self.proc = None
        self.output = self.dir / f"{self.name}.out"
        self.env = None  # the environment of the server process; None: ours

    # Subclasses write their configuration and return the command line.
    def configure(self):
        raise NotImplementedError

    def logs(self):
        """Files worth showing when the peer fails."""
        return [self.output]

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def address(self):
        return (self.host, self.port)

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        # A port picked by binding port 0 can be taken by someone else before the server
        # binds it, so an automatic port gets a few tries.
        attempts = 1 if self._fixed_port else 3
        for attempt in range(attempts):
            if not self._fixed_port:
                self.port = free_port(self.host)
            cmd = self.configure()
            with open(self.output, "ab") as out:
                self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=subprocess.STDOUT, cwd=self.dir,
                                             env=self.env, start_new_session=True)
            alive = lambda: self.proc.poll() is None  # noqa: E731
            if self.check_by_connecting:
                ready = wait_port(self.host, self.port, alive=alive, expect=self.greeting)
            else:
                ready = wait_listening(self.host, self.port, alive=alive)
            if ready and self.proc.poll() is None:
                return self
            self.stop()
            if attempt + 1 == attempts:
                raise PeerError(self._failure_text(cmd))
        return self

    def _failure_text(self, cmd):
        parts = [f"{self.name} did not start on {self.host}:{self.port}: {' '.join(map(str, cmd))}"]
        for log in self.logs():
            text = _tail(log)
            if text:
                parts.append(f"--- {log}\n{text}")
        return "\n".join(parts)

    def stop(self):
        proc, self.proc = self.proc, None
        if proc is None or proc.poll() is not None:
            return
        # The server runs in a session of its own, so its process group is its PID, and it
        # holds only the server and its workers. Signalling them all at once lets dovecot stop
        # in a tenth of a second instead of one. The group is only signalled while our child
        # is not yet reaped, so its PID cannot have been reused.
        self._signal(proc, signal.SIGTERM)
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self._signal(proc, signal.SIGKILL)
            proc.wait(STOP_TIMEOUT)

    @staticmethod
    def _signal(proc, sig):
        try:
            os.killpg(proc.pid, sig)
        except (ProcessLookupError, PermissionError):
            proc.send_signal(sig)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


# --------------------------------------------------------------------------------------------
# dovecot


class Dovecot(Peer):
    """dovecot's POP3 server with passwd-file users and one Maildir per user.

    Messages are stored the way dovecot keeps them, with LF line ends (put() turns every CR LF
    into LF), and dovecot sends every line end as CR LF. So what a client retrieves with RETR,
    after undoing the dot-stuffing and without the final "." line, is
    Dovecot.as_retrieved(what_was_put): every LF or CR LF becomes CR LF, a lone CR stays, NUL
    and 8-bit bytes pass unchanged, and a message that does not end with a line end gets a
    CR LF (the LIST size does not count that one). messages() returns that form too.

    Message number n in a session is the n-th message put that is still there.

    dovecot refuses mail access as root, so when we run as root the mail processes run as a
    fixed unprivileged uid/gid (MAIL_ID) that owns the Maildirs, chrooted into the mail folder
    (the temp folder's parents are usually private to root).

    fast=True reuses the login and POP3 processes and allows many sessions of one user at
    once; fast=False keeps dovecot's stock process settings (one process per session).
    bench=True (implies fast) runs dovecot at full speed for the benchmarks: no info lines (a
    line per login costs most of its speed), no fsync and up to 500 POP3 processes; errors
    still go to dovecot.log.
    """

    name = "dovecot"
    greeting = b"+OK"
    MAIL_ID = 64110

    def __init__(self, tmpdir, host="127.0.0.1", port=None, users=None, mail=None, fast=True,
                 bench=False, tls=None, cert=None, key=None, pop3s_port=None, oauth2=None):
        super().__init__(tmpdir, host, port)
        # oauth2: the URL of a token introspection endpoint (RFC 7662, by POST); the passwords
        # then are access tokens, checked there, for XOAUTH2 and OAUTHBEARER (and PLAIN).
        self.oauth2 = oauth2
        # tls: None (in the clear only), "yes" (STLS offered) or "required" (no login in the
        # clear); with pop3s_port also a listener with TLS from the first byte.
        self.tls, self.cert, self.key, self.pop3s_port = tls, cert, key, pop3s_port
        self.users = dict(users if users is not None else {"alice": "secret"})
        self.fast = fast or bench
        self.bench = bench
        self.maildir = self.dir / "mail"
        self.log = self.dir / "dovecot.log"
        self._serial = 0
        if os.geteuid() == 0:
            self.uid = self.gid = self.MAIL_ID
        else:
            self.uid, self.gid = os.getuid(), os.getgid()
        for user, password in self.users.items():
            if any(c in user + password for c in ":\n\r") or not user:
                raise ValueError(f"user or password not usable in a passwd-file: {user!r}")
        self.maildir.mkdir(parents=True, exist_ok=True)
        self._own(self.maildir)
        for user in self.users:
            for sub in ("new", "cur", "tmp"):
                (self.maildir / user / sub).mkdir(parents=True, exist_ok=True)
            self._own(self.maildir / user)
            for sub in ("new", "cur", "tmp"):
                self._own(self.maildir / user / sub)
        # Keep put() order after messages left in a reused folder.
        for user in self.users:
            for path in self.message_files(user):
                head = path.name.split(".")[0]
                if head.isdigit():
                    self._serial = max(self._serial, int(head) - 1600000000)
        for user, messages in (mail or {}).items():
            self.put(user, messages)

    def _own(self, path):
        if os.geteuid() == 0:
            os.chown(path, self.uid, self.gid)

    @staticmethod
    def as_retrieved(message):
        """The bytes a RETR of this message delivers (dot-stuffing undone, no final ".")."""
        data = message.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        if not data.endswith(b"\r\n"):
            data += b"\r\n"
        return data

    def put(self, user, messages):
        """Adds messages to the user's mailbox, after those already there."""
        if user not in self.users:
            raise KeyError(f"no dovecot user {user!r}")
        box = self.maildir / user
        for message in messages:
            self._serial += 1
            # The name sorts in the order of put(), and dovecot numbers new mail by name.
            base = f"{1600000000 + self._serial}.M{self._serial}P{os.getpid()}.tessaruno"
            tmp = box / "tmp" / base
            tmp.write_bytes(message.replace(b"\r\n", b"\n"))
            self._own(tmp)
            os.rename(tmp, box / "new" / base)

    def message_files(self, user):
        """Paths of the messages still in the mailbox, in mailbox order."""
        box = self.maildir / user
        files = [p for sub in ("new", "cur") for p in (box / sub).iterdir() if p.is_file()]
        return sorted(files, key=lambda p: p.name.split(":")[0])

    def messages(self, user):
        """The messages still in the mailbox (new and cur), in the form a RETR delivers."""
        return [self.as_retrieved(p.read_bytes()) for p in self.message_files(user)]

    def logs(self):
        return [self.log, self.output]

    def _ssl_settings(self):
        if not self.tls:
            return "ssl = no\ndisable_plaintext_auth = no"
        return (f"ssl = {self.tls}\nssl_cert = <{self.cert}\nssl_key = <{self.key}\n"
                f"ssl_min_protocol = TLSv1.2\n"
                f"disable_plaintext_auth = {'yes' if self.tls == 'required' else 'no'}")

    def _passdb(self, passwd):
        if not self.oauth2:
            return f"passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN {passwd}\n}}"
        conf = self.dir / "oauth2.conf"
        conf.write_text(f"introspection_url = {self.oauth2}\nintrospection_mode = post\n"
                        "force_introspection = yes\nusername_attribute = username\n"
                        "active_attribute = active\nactive_value = true\n")
        return f"passdb {{\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer plain\n  args = {conf}\n}}"

    def configure(self):
        d = self.dir
        run = d / "run"
        # A stale base dir from an earlier run on another port confuses the master.
        shutil.rmtree(run, ignore_errors=True)
        for sub in (run, d / "state"):
            sub.mkdir(parents=True, exist_ok=True)
        passwd = d / "passwd"
        passwd.write_text("".join(f"{u}:{{PLAIN}}{p}::::::\n" for u, p in self.users.items()))
        passwd.chmod(0o600)
        if os.geteuid() == 0:
            identity = f"""
default_internal_user = root
default_internal_group = root
default_login_user = dovenull
mail_uid = {self.uid}
mail_gid = {self.gid}
first_valid_uid = {self.uid}
first_valid_gid = {self.gid}
mail_chroot = {self.maildir}
valid_chroot_dirs = {self.maildir}
mail_location = maildir:/%n
"""
        else:
            name = pwd.getpwuid(os.getuid()).pw_name
            identity = f"""
default_internal_user = {name}
default_login_user = {name}
mail_location = maildir:{self.maildir}/%n
"""
        services = ""
        if self.fast:
            limit = "\n  process_limit = 500" if self.bench else ""
            services = f"""
service pop3-login {{
  service_count = 0
  process_min_avail = 2
  client_limit = 1000
}}
service pop3 {{
  service_count = 0
  process_min_avail = 4
  client_limit = 1{limit}
}}
protocol pop3 {{
  mail_max_userip_connections = 10000
}}
"""
        if self.bench:
            services += "info_log_path = /dev/null\nmail_fsync = never\n"
        conf = f"""
base_dir = {run}
state_dir = {d / 'state'}
instance_name = tessaruno-{os.getpid()}-{id(self):x}
log_path = {self.log}
protocols = pop3
listen = {self.host}
{self._ssl_settings()}
auth_mechanisms = {"xoauth2 oauthbearer plain" if self.oauth2 else "plain login"}
auth_failure_delay = 0
{identity}
{self._passdb(passwd)}
userdb {{
  driver = passwd-file
  args = {passwd}
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {self.host}
    port = {self.port}
  }}
  inet_listener pop3s {{
    address = {self.host}
    port = {self.pop3s_port or 0}
  }}
}}
service auth {{
  client_limit = 12000
}}
{services}
"""
        conf_path = d / "dovecot.conf"
        conf_path.write_text(conf)
        return ["/usr/sbin/dovecot", "-F", "-c", str(conf_path)]


# --------------------------------------------------------------------------------------------
# tinyproxy


class Tinyproxy(Peer):
    """tinyproxy as an HTTP proxy; with upstream=(host, port) it forwards to that proxy.
    It closes the client connection after every response."""

    name = "tinyproxy"

    def __init__(self, tmpdir, host="127.0.0.1", port=None, upstream=None, loglevel="Info",
                 wrap=()):
        super().__init__(tmpdir, host, port)
        self.upstream = upstream
        self.wrap = list(wrap)  # a command that runs tinyproxy (unshare ... --)
        # Info logs every request, which the tests read; it also makes tinyproxy about ten times
        # slower, so the benchmarks ask for Warning.
        self.loglevel = loglevel
        self.log = self.dir / "tinyproxy.log"

    def logs(self):
        return [self.log, self.output]

    def configure(self):
        lines = [
            f"Port {self.port}",
            f"Listen {self.host}",
            "Allow 127.0.0.0/8",
            "Timeout 600",
            "MaxClients 1000",
            f'LogFile "{self.log}"',
            f"LogLevel {self.loglevel}",
            "DisableViaHeader Yes",
        ]
        if os.geteuid() == 0:
            # Stay root, so the log in our private folder stays writable.
            lines += ["User root", "Group root"]
        if self.upstream:
            lines.append(f"Upstream http {self.upstream[0]}:{self.upstream[1]}")
        conf = self.dir / "tinyproxy.conf"
        conf.write_text("\n".join(lines) + "\n")
        return [*self.wrap, "/usr/bin/tinyproxy", "-d", "-c", str(conf)]


# --------------------------------------------------------------------------------------------
# nginx


class Nginx(Peer):
    """nginx serving files={"path": bytes} from its own folder. Its access log records the
    request line and the Cookie header of each request, one line each:
        <client> "<request line>" "<Cookie or ->" <status> <body bytes>
    server_conf is added inside the server block (extra locations, headers). tls=(cert, key)
    also serves the same site over HTTPS on tls_port."""

    name = "nginx"

    def __init__(self, tmpdir, host="127.0.0.1", port=None, files=None, server_conf="", tls=None):
        super().__init__(tmpdir, host, port)
        self.tls = tls
        self.tls_port = None
        self.root = self.dir / "www"
        self.server_conf = server_conf
        self.log = self.dir / "access.log"
        self.error_log = self.dir / "error.log"
        self.root.mkdir(parents=True, exist_ok=True)
        for rel, data in (files or {}).items():
            self.put(rel, data)

    def put(self, rel, data):
        path = self.root / rel.lstrip("/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def url(self, rel=""):
        return f"http://{self.host}:{self.port}/{rel.lstrip('/')}"

    def tls_url(self, rel=""):
        return f"https://{self.host}:{self.tls_port}/{rel.lstrip('/')}"

    def logs(self):
        return [self.error_log, self.output]

    def access_log(self, wait_for=0, timeout=5.0):
        """The access log lines (str). nginx writes a line once it has finished a request,
        which can be just after the client has its response: wait_for=n waits (bounded) until
        there are at least n lines."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                lines = self.log.read_text("utf-8", "replace").splitlines()
            except FileNotFoundError:
                lines = []
            if len(lines) >= wait_for or time.monotonic() >= deadline:
                return lines
            time.sleep(0.02)

    def _passdb(self, passwd):
        if not self.oauth2:
            return f"passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN {passwd}\n}}"
        conf = self.dir / "oauth2.conf"
        conf.write_text(f"introspection_url = {self.oauth2}\nintrospection_mode = post\n"
                        "force_introspection = yes\nusername_attribute = username\n"
                        "active_attribute = active\nactive_value = true\n")
        return f"passdb {{\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer plain\n  args = {conf}\n}}"

    def configure(self):
        d = self.dir
        temp = d / "temp"
        temp.mkdir(exist_ok=True)
        user = "user root root;" if os.geteuid() == 0 else ""
        tls = ""
        if self.tls:
            if self.tls_port is None or not self._fixed_port:
                self.tls_port = free_port(self.host)
            tls = (f"listen {self.host}:{self.tls_port} ssl; ssl_certificate {self.tls[0]}; "
                   f"ssl_certificate_key {self.tls[1]};")
        conf = f"""
daemon off;
{user}
worker_processes 1;
pid {d / 'nginx.pid'};
error_log {self.error_log} info;
events {{ worker_connections 4096; }}
http {{
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  log_format tessaruno '$remote_addr "$request" "$http_cookie" $status $body_bytes_sent';
  access_log {self.log} tessaruno;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  keepalive_requests 100000;
  server {{
    listen {self.host}:{self.port};
    {tls}
    server_name localhost;
    root {self.root};
    {self.server_conf}
  }}
}}
"""
        path = d / "nginx.conf"
        path.write_text(conf)
        return ["/usr/sbin/nginx", "-p", str(d), "-c", str(path)]


# --------------------------------------------------------------------------------------------
# privoxy


class Privoxy(Peer):
    """privoxy forwarding every request to the HTTP proxy forward_to=(host, port), blocking
    URLs that match block_patterns (privoxy's URL pattern syntax, e.g. ".example.com" or
    "/ads/"). request_log=True writes a line per request to privoxy.log.

    bench=True runs it at its best as a forwarder: no actions and toggled off when there is
    nothing to block, client connections kept alive, pipelined requests taken, and no request
    log unless request_log is given."""

    name = "privoxy"

    def __init__(self, tmpdir, host="127.0.0.1", port=None, forward_to=None, block_patterns=(),
                 bench=False, request_log=None):
        super().__init__(tmpdir, host, port)
        self.forward_to = forward_to
        self.block_patterns = list(block_patterns)
        self.bench = bench
        self.request_log = not bench if request_log is None else request_log
        self.log = self.dir / "privoxy.log"

    def logs(self):
        return [self.log, self.output]

    def _passdb(self, passwd):
        if not self.oauth2:
            return f"passdb {{\n  driver = passwd-file\n  args = scheme=PLAIN {passwd}\n}}"
        conf = self.dir / "oauth2.conf"
        conf.write_text(f"introspection_url = {self.oauth2}\nintrospection_mode = post\n"
                        "force_introspection = yes\nusername_attribute = username\n"
                        "active_attribute = active\nactive_value = true\n")
        return f"passdb {{\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer plain\n  args = {conf}\n}}"

    def configure(self):
        d = self.dir
        actions = d / "tessaruno.action"
        body = ""
        if self.block_patterns or not self.bench:
            body = "{+block{tessaruno block list}}\n" + "".join(p + "\n" for p in self.block_patterns)
        actions.write_text(body)
        lines = [
            "confdir /etc/privoxy",
            "templdir /etc/privoxy/templates",
            f"logdir {d}",
            "logfile privoxy.log",
            f"actionsfile {actions}",
            f"listen-address {self.host}:{self.port}",
            # Toggled off, privoxy forwards without looking at the actions.
            "toggle 1" if body else "toggle 0",
            "enable-remote-toggle 0",
            "enable-edit-actions 0",
            "buffer-limit 4096",
        ]
        if self.bench:
            lines += ["keep-alive-timeout 5", "tolerate-pipelining 1",
                      "max-client-connections 4096"]
        else:
            lines.append("max-client-connections 2048")
        if self.request_log:
            lines.append("debug 1")
        if self.forward_to:
            lines.append(f"forward / {self.forward_to[0]}:{self.forward_to[1]}")
        conf = d / "privoxy.conf"
        conf.write_text("\n".join(lines) + "\n")
        return ["/usr/sbin/privoxy", "--no-daemon", str(conf)]


# --------------------------------------------------------------------------------------------
# haproxy


class Haproxy(Peer):
    """haproxy relaying TCP to backend=(host, port), in tcp mode on one thread. mode="http"
    forwards HTTP requests instead, keeping client connections alive."""

    name = "haproxy"
    check_by_connecting = False

    def __init__(self, tmpdir, host="127.0.0.1", port=None, backend=None, maxconn=4000,
                 mode="tcp"):
        super().__init__(tmpdir, host, port)
        if backend is None:
            raise ValueError("haproxy needs a backend (host, port)")
        if mode not in ("tcp", "http"):
            raise ValueError(f"haproxy mode tcp or http, not {mode!r}")
        self.backend = backend
        self.mode = mode
        # haproxy wants two descriptors per connection and refuses to start above the limit.
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        self.maxconn = max(100, min(maxconn, (soft - 100) // 2))

    def configure(self):
        keepalive = "\n  timeout http-keep-alive 5s" if self.mode == "http" else ""
        conf = f"""
global
  nbthread 1
  maxconn {self.maxconn}
defaults
  mode {self.mode}{keepalive}
  timeout connect 10s
  timeout client 10m
  timeout server 10m
frontend relay
  bind {self.host}:{self.port}
  default_backend target
backend target
  server target {self.backend[0]}:{self.backend[1]}
"""
        path = self.dir / "haproxy.cfg"
        path.write_text(conf)
        return ["/usr/sbin/haproxy", "-db", "-f", str(path)]


# --------------------------------------------------------------------------------------------
# any program given by its command line


class Command(Peer):
    """Any server given as a command line, e.g. a relay under test. {port} and {host} in the
    arguments become the listen port and address; `fields` fills in further {names} (and may
    give {host} another meaning, such as a relay's target). Ready when
    it listens (checked without connecting to it, so a relay does not reach its target)."""

    check_by_connecting = False

    def __init__(self, tmpdir, argv, host="127.0.0.1", port=None, name="command", fields=None):
        self.name = name
        super().__init__(tmpdir, host, port)
        self.template = list(argv)
        self.fields = dict(fields or {})

    def configure(self):
        values = dict(port=self.port, host=self.host, listen_port=self.port,
                      listen_host=self.host)
        values.update(self.fields)
        return [arg.format_map(values) for arg in self.template]


# --------------------------------------------------------------------------------------------
# postfix


class Postfix:
    """The machine's postfix as the local MTA, on 127.0.0.1:25 (local delivery only).

    Entering makes sure it listens on loopback only, logs to maillog_file and runs
    (`postfix start` when it does not). Several fixtures, also in other test processes, may use
    it at once: each holds a shared lock while in use, and the last one out stops postfix if
    a fixture started it.

    What postfix does to a message on its way to /var/mail/USER (an mbox), seen here:
    - CR LF line ends become LF, a lone CR becomes a blank, and a message without a final line
      end gets one;
    - a header missing from the message among "Message-Id:", "Date:" and "From:" is added at
      the end of the header (for clients on loopback), so give test messages all three to
      compare them byte for byte;
    - "Return-Path:", "X-Original-To:", "Delivered-To:" and one "Received:" header (from smtpd
      or pickup) are put in front;
    - a "From SENDER DATE" line goes before the message and an empty line after it;
    - a body line that starts with "From " gets a ">" in front. A line that already starts
      with ">From " stays as it is, so on reading the two cannot be told apart: keep ">From "
      lines out of messages that are compared.
    mailbox_messages() undoes the mbox framing (From line, trailing empty line, one ">" before
    "From "), and without_trace() removes the four headers put in front.
    """

    host = "127.0.0.1"
    port = 25
    LOCK = Path("/tmp/tessaruno-postfix.lock")
    STARTED = Path("/tmp/tessaruno-postfix.started")
    MAILLOG = "/var/log/postfix.log"

    def __init__(self):
        self._lock = None

    @staticmethod
    def _run(*cmd, check=True):
        res = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if check and res.returncode != 0:
            raise PeerError(f"{' '.join(cmd)} failed ({res.returncode}): "
                            f"{(res.stdout + res.stderr).decode('utf-8', 'replace').strip()}")
        return res

    @classmethod
    def running(cls):
        return cls._run("postfix", "status", check=False).returncode == 0

    def start(self):
        self._lock = open(self.LOCK, "a+")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        try:
            wanted = {"inet_interfaces": "loopback-only", "maillog_file": self.MAILLOG}
            current = self._run("postconf", "-h", *wanted).stdout.decode().splitlines()
            changed = [f"{k}={v}" for (k, v), cur in zip(wanted.items(), current) if cur != v]
            if changed:
                self._run("postconf", "-e", *changed)
            if not Path("/etc/aliases.db").exists():
                self._run("newaliases")
            if not self.running():
                self._run("postfix", "start")
                self.STARTED.touch()
            elif changed:
                # maillog_file takes effect now; inet_interfaces only at postfix's next start.
                self._run("postfix", "reload")
            if not wait_port(self.host, self.port, expect=b"220"):
                raise PeerError("postfix does not answer on 127.0.0.1:25:\n" + _tail(self.MAILLOG))
        except BaseException:
            self._release()
            raise
        # From here on others may use it too; the shared lock marks us as a user.
        fcntl.flock(self._lock, fcntl.LOCK_SH)
        return self

    def stop(self):
        if self._lock is None:
            return
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._release()  # someone else still uses it
            return
        try:
            if self.STARTED.exists() and self.running():
                self._run("postfix", "stop", check=False)
            self.STARTED.unlink(missing_ok=True)
        finally:
            self._release()

    def _release(self):
        if self._lock is not None:
            fcntl.flock(self._lock, fcntl.LOCK_UN)
            self._lock.close()
            self._lock = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # --- local users and their mailboxes

    @staticmethod
    def ensure_user(user):
        """Creates the local user (with a home) when missing; returns the user name."""
        try:
            pwd.getpwnam(user)
        except KeyError:
            Postfix._run("useradd", "-m", "-s", "/usr/sbin/nologin", user)
        return user

    @staticmethod
    def mailbox_path(user):
        return Path("/var/mail") / user

    @classmethod
    def mailbox(cls, user):
        """The raw mbox bytes of the user's mailbox (b"" when there is none)."""
        try:
            return cls.mailbox_path(user).read_bytes()
        except FileNotFoundError:
            return b""

    @classmethod
    def clear_mailbox(cls, user):
        path = cls.mailbox_path(user)
        if path.exists():
            with open(path, "r+b") as f:
                f.truncate(0)

    @classmethod
    def mailbox_messages(cls, user):
        """The messages in the user's mbox, framing undone (see the class text)."""
        return split_mbox(cls.mailbox(user))

    @classmethod
    def wait_messages(cls, user, count, timeout=20.0):
        """Waits (bounded) until the mailbox holds at least count messages; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            messages = cls.mailbox_messages(user)
            if len(messages) >= count or time.monotonic() >= deadline:
                return messages
            time.sleep(0.05)

    @staticmethod
    def without_trace(message):
        """The message without the Return-Path, X-Original-To, Delivered-To and Received
        headers that delivery put in front of it."""
        lines = message.splitlines(keepends=True)
        i = 0
        for name in (b"return-path:", b"x-original-to:", b"delivered-to:", b"received:"):
            if i < len(lines) and lines[i].lower().startswith(name):
                i += 1
                while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
                    i += 1
        return b"".join(lines[i:])

    @classmethod
    def log_tail(cls):
        return _tail(cls.MAILLOG)


def split_mbox(data):
    """Splits mbox bytes as written by postfix's local delivery into messages. Local delivery
    quotes every body line that starts with "From ", so each such line is a separator."""
    messages = []
    current = None
    for line in data.splitlines(keepends=True):
        if line.startswith(b"From "):
            if current is not None:
                messages.append(current)
            current = b""
        elif current is not None:
            current += line[1:] if line.startswith(b">From ") else line
    if current is not None:
        messages.append(current)
    # Local delivery ends each message with an empty line of its own.
    return [m[:-1] if m.endswith(b"\n\n") else m for m in messages]


@contextlib.contextmanager
def started(*peers):
    """Starts peers in order and stops them in reverse order."""
    with contextlib.ExitStack() as stack:
        for peer in peers:
            stack.enter_context(peer)
        yield peers
