"""halvex on today's web: a real browser engine (headless Chromium) and curl through halvex, with
no upstream proxy and with tinyproxy as one, to nginx over HTTP and HTTPS. HTTPS hosts are logged
and blocked by host, every request is inspected however it is cut, failures are 502 pages, and
the block list is kept."""

import socket
import subprocess
import time

import pytest

from browser import chromium_dom, make_certificate, private_resolver
from conftest import program
from halvexproc import Halvex
from loopserver import SequentialServer
from peers import Nginx, Tinyproxy, free_port

PAGE = b"<html><body><p>tessaruno test page</p></body></html>"
CANNED = "Tessaruno does not allow this connection"
MODES = ["direct", "tinyproxy"]


def recv_all(sock, limit=1 << 22):
    data = bytearray()
    while len(data) < limit:
        try:
            chunk = sock.recv(1 << 16)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        data += chunk
    return bytes(data)


class Responses:
    """Responses with Content-Length bodies read one by one off a socket; what comes after one is
    kept for the next."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def _more(self, what):
        chunk = self.sock.recv(65536)
        assert chunk, f"the connection ended inside {what}: {self.buffer!r}"
        self.buffer += chunk

    def next(self):
        while b"\r\n\r\n" not in self.buffer:
            self._more("a response head")
        head, _, rest = self.buffer.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        self.buffer = rest
        while len(self.buffer) < length:
            self._more("a body")
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return head, body


def recv_response(sock):
    return Responses(sock).next()


def logged(hx, text, timeout=5.0):
    """Whether halvex logged a line containing text."""
    deadline = time.monotonic() + timeout
    while True:
        if text in hx.output.read_text("utf-8", "replace"):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)


@pytest.fixture
def web(start_peer, tmp_path):
    cert = make_certificate(tmp_path / "ca")
    site = start_peer(Nginx, files={"page.html": PAGE,
                                    "ads.html": b"<html><body><p>see forbidden-word here</p></body></html>"},
                      tls=(cert.cert, cert.key))
    site.cert = cert
    return site


@pytest.fixture
def proxy(start_peer, tmp_path):
    """proxy(mode, settings=..., block=..., args=...): halvex with no upstream proxy (allowed to
    reach this machine) or with tinyproxy as its upstream, in debug mode, every lookup on
    loopback."""
    wrap = private_resolver(tmp_path)

    def make(mode, settings=None, block=(), args=()):
        values = {"debug": "1", **(settings or {})}
        if mode == "direct":
            return start_peer(Halvex, upstream=("", ""), settings=values, block=block, wrap=wrap,
                              args=["--allow-servers", "127.0.0.0/8", *args])
        tiny = start_peer(Tinyproxy, wrap=wrap)
        hx = start_peer(Halvex, upstream=(tiny.host, tiny.port), settings=values, block=block,
                        wrap=wrap, args=list(args))
        hx.upstream_peer = tiny
        return hx

    return make


def curl(hx, url, *extra):
    return subprocess.run(["curl", "-sS", "--max-time", "20", "-x", f"http://{hx.host}:{hx.port}",
                           *extra, url], capture_output=True)


# ---- a browser behind halvex ---------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_browser_loads_http_and_https_pages_and_https_hosts_are_logged(web, proxy, tmp_path, mode):
    hx = proxy(mode)
    assert "tessaruno test page" in chromium_dom(tmp_path, hx.port, web.url("page.html"))
    assert "tessaruno test page" in chromium_dom(tmp_path, hx.port, web.tls_url("page.html"),
                                                 trust=web.cert.spki)
    assert logged(hx, f"client=127.0.0.1 method=GET target={web.url('page.html')} ")
    assert logged(hx, f"client=127.0.0.1 method=CONNECT target=127.0.0.1:{web.tls_port} ")


@pytest.mark.parametrize("mode", MODES)
def test_browser_blocked_https_host_fails_and_blocked_page_is_the_canned_page(web, proxy, tmp_path, mode):
    hx = proxy(mode, settings={"headerfilter": "on", "empty": "on"},
               block=["blocked.test", "forbidden-word"])
    dom = chromium_dom(tmp_path, hx.port, "https://www.blocked.test/page.html", trust=web.cert.spki)
    assert "tessaruno test page" not in dom
    assert logged(hx, "client=127.0.0.1 method=CONNECT target=www.blocked.test:443 ")
    assert CANNED in chromium_dom(tmp_path, hx.port, web.url("ads.html"))
    # An HTTPS host that is not blocked still loads.
    assert "tessaruno test page" in chromium_dom(tmp_path, hx.port, web.tls_url("page.html"),
                                                 trust=web.cert.spki)
    if mode == "tinyproxy":
        assert "blocked.test" not in hx.upstream_peer.log.read_text("utf-8", "replace")


# ---- every request inspected ---------------------------------------------------------------------


METHODS = "GET HEAD POST PUT DELETE OPTIONS PATCH".split()


@pytest.mark.parametrize("mode", MODES)
def test_every_method_is_logged_and_blocked(web, proxy, mode):
    hx = proxy(mode, settings={"headerfilter": "on"}, block=["secret"])
    for method in METHODS:
        out = curl(hx, web.url("page.html"), "-X", method, "-o", "/dev/null", "-w", "%{http_code}")
        assert out.stdout not in (b"", b"000"), method
        assert logged(hx, f"client=127.0.0.1 method=GET target={web.url('page.html')} ")
        blocked = curl(hx, web.url("secret.html"), "-X", method)
        assert blocked.returncode != 0 and blocked.stdout == b"", method
    lines = web.access_log(wait_for=len(METHODS))
    assert [line.split('"')[1].split()[0] for line in lines] == METHODS
    # Without an upstream proxy the origin gets the request in origin form.
    if mode == "direct":
        assert all('"' + m + " /page.html HTTP/1.1" in line for m, line in zip(METHODS, lines))
    assert not any("secret" in line for line in lines)


@pytest.mark.parametrize("mode", MODES)
def test_a_head_split_at_every_byte_is_inspected_whole(web, proxy, mode):
    hx = proxy(mode, settings={"headerfilter": "on", "cookie": "tessaruno"}, block=["blocked"])

    def send_bytewise(request):
        s = hx.connect()
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for k in range(len(request)):
            s.send(request[k:k + 1])
            time.sleep(0.002)
        return s

    host = f"{web.host}:{web.port}"
    s = send_bytewise(f"GET http://{host}/blocked.html HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    s.settimeout(10)
    assert recv_all(s) == b""
    s = send_bytewise(f"GET http://{host}/page.html HTTP/1.1\r\nHost: {host}\r\nCookie: id=42\r\n"
                      "Connection: close\r\n\r\n".encode())
    s.settimeout(10)
    head, body = recv_response(s)
    assert head.startswith(b"HTTP/1.1 200") and body == PAGE
    log = web.access_log(wait_for=1)
    assert len(log) == 1 and '"tessaruno"' in log[0] and "id=42" not in log[0]


def test_pipelined_and_kept_alive_requests_are_each_inspected(web, proxy):
    hx = proxy("direct", settings={"headerfilter": "on"}, block=["blocked"])
    host = f"{web.host}:{web.port}"
    s = hx.connect()
    s.settimeout(10)
    one = f"GET http://{host}/page.html HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
    s.sendall(one * 3)
    replies = Responses(s)
    for _ in range(3):
        head, body = replies.next()
        assert head.startswith(b"HTTP/1.1 200") and body == PAGE
    # Kept alive, a good one is answered; a blocked one then ends the connection and never
    # reaches the server.
    s.sendall(one)
    assert replies.next()[1] == PAGE
    s.sendall(f"GET http://{host}/blocked.html HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    assert replies.buffer + recv_all(s) == b""
    log = web.access_log(wait_for=4)
    assert len(log) == 4 and not any("blocked" in line for line in log)


def test_direct_keeps_the_client_across_servers(start_peer, proxy):
    a = start_peer(Nginx, files={"a.html": b"from a"})
    b = start_peer(Nginx, host="127.0.0.2", files={"b.html": b"from b"})
    hx = proxy("direct")
    s = hx.connect()
    s.settimeout(10)
    replies = Responses(s)
    for site, name, body in ((a, "a.html", b"from a"), (b, "b.html", b"from b"), (a, "a.html", b"from a")):
        host = f"{site.host}:{site.port}"
        s.sendall(f"GET http://{host}/{name} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        assert replies.next()[1] == body
    # Asked before the answer from a is through, b's request waits for it.
    s.sendall(f"GET http://{a.host}:{a.port}/a.html HTTP/1.1\r\n\r\n"
              f"GET http://{b.host}:{b.port}/b.html HTTP/1.1\r\n\r\n".encode())
    assert replies.next()[1] == b"from a"
    assert replies.next()[1] == b"from b"


@pytest.mark.parametrize("mode", MODES)
def test_a_head_of_64_kib_passes_and_one_byte_more_is_refused(web, proxy, mode):
    hx = proxy(mode)
    host = f"{web.host}:{web.port}"
    start = f"GET http://{host}/page.html HTTP/1.1\r\nHost: {host}\r\nX-Long: ".encode()
    for extra, refused in ((0, False), (1, True)):
        request = start + b"x" * (64 * 1024 - len(start) - 4 + extra) + b"\r\n\r\n"
        s = hx.connect()
        s.settimeout(10)
        s.sendall(request)
        reply = recv_all(s)
        s.close()
        if refused:
            assert reply.startswith(b"HTTP/1.1 431 Request Header Fields Too Large\r\n")
        else:
            # nginx itself refuses so long a header line: halvex passed it on.
            assert reply.startswith(b"HTTP/1.1 4") and b"nginx" in reply


@pytest.mark.parametrize("mode", MODES)
def test_every_cookie_line_is_replaced(web, proxy, mode):
    hx = proxy(mode, settings={"cookie": "tessaruno"})
    out = curl(hx, web.url("page.html"), "-H", "Cookie: a=1", "-H", "cookie: b=2", "-H", "COOKIE: c=3")
    assert out.stdout == PAGE
    log = web.access_log(wait_for=1)
    assert "tessaruno" in log[0] and not any(v in log[0] for v in ("a=1", "b=2", "c=3"))


@pytest.mark.parametrize("mode", MODES)
def test_one_line_per_request_and_no_password_or_raw_byte_in_it(web, proxy, mode):
    # A fresh machine has no debug value: the traces show, and the log is all there is on stderr.
    hx = proxy(mode, settings={"debug": None})
    host = f"{web.host}:{web.port}"
    out = curl(hx, f"http://bob:s3cret@{host}/page.html")
    assert out.stdout == PAGE
    s = hx.connect()
    # A target no address may hold is refused, and logged with its 8-bit byte escaped.
    s.sendall(f"GET http://{host}/caf\xe9.html HTTP/1.1\r\nHost: {host}\r\n\r\n".encode("latin-1"))
    assert Responses(s).next()[0].startswith(b"HTTP/1.1 400")
    s.close()
    s = hx.connect()
    s.sendall(f"CONNECT bob:s3cret@{host} HTTP/1.1\r\n\r\n".encode())
    recv_all(s)
    s.close()
    assert logged(hx, "method=CONNECT target=bob:*@")
    text = hx.output.read_bytes()
    assert b"s3cret" not in text
    assert not any(b >= 0x80 for b in text)
    lines = [line for line in text.splitlines() if b"page.html" in line]
    assert len(lines) == 1 and lines[0].startswith(b"halvex: request "), lines


@pytest.mark.parametrize("mode", MODES)
def test_a_compressed_page_is_judged_by_what_it_says(start_peer, proxy, mode):
    # nginx compresses what browsers ask for compressed; the filter judges the page decoded.
    ads = b"<html><body>" + b"x" * 4000 + b"<p>see forbidden-word here</p>" + b"y" * 4000 + b"</body></html>"
    fine = b"<html><body>" + b"z" * 8000 + b"</body></html>"
    site = start_peer(Nginx, files={"ads.html": ads, "fine.html": fine},
                      server_conf="gzip on; gzip_min_length 10; gzip_types text/html;")
    hx = proxy(mode, settings={"empty": "on"}, block=["forbidden-word"])
    out = curl(hx, site.url("ads.html"), "-H", "Accept-Encoding: gzip")
    assert CANNED.encode() in out.stdout
    got = curl(hx, site.url("fine.html"), "-H", "Accept-Encoding: gzip", "-D", "-")
    assert b"Content-Encoding: gzip" in got.stdout and b"\x1f\x8b" in got.stdout  # the server's own bytes
    assert subprocess.run(["curl", "-sS", "--compressed", "-x", f"http://{hx.host}:{hx.port}",
                           site.url("fine.html")], capture_output=True).stdout == fine


class KeepsOpen(SequentialServer):
    """Answers one request and keeps its side of the connection open until the client goes."""

    def serve(self, conn):
        conn.settimeout(20)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                return
            head += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        while conn.recv(4096):
            pass


@pytest.mark.parametrize("mode", MODES)
def test_a_client_that_asked_to_close_is_closed_after_its_answer(proxy, mode):
    origin = KeepsOpen()
    origin.host = "127.0.0.1"
    hx = proxy(mode)
    for ask in ("HTTP/1.0", "HTTP/1.1\r\nConnection: close"):
        s = hx.connect()
        s.settimeout(10)
        s.sendall(f"GET http://{origin.host}:{origin.port}/ {ask}\r\n\r\n".encode())
        # The end comes after the answer, not after the idle timeout (900 s): a timeout here
        # is a failure.
        reply = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
        assert reply.endswith(b"\r\n\r\nok") and b"Connection: close" in reply
        s.close()
    origin.close()


# ---- CONNECT -------------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_connect_blocked_by_host_and_passed_as_a_tunnel(web, proxy, mode):
    hx = proxy(mode, settings={"headerfilter": "on", "empty": "on", "cookie": "tessaruno"},
               block=["Blocked.Test"])
    s = hx.connect()
    s.settimeout(10)
    s.sendall(b"CONNECT WWW.BLOCKED.TEST:443 HTTP/1.1\r\nHost: www.blocked.test:443\r\n\r\n")
    reply = recv_all(s)
    assert reply.startswith(b"HTTP/1.1 403 Forbidden\r\n") and b"</html>" in reply
    assert logged(hx, "client=127.0.0.1 method=CONNECT target=WWW.BLOCKED.TEST:443 ")
    out = curl(hx, web.tls_url("page.html"), "--cacert", str(web.cert.cert.parent / "ca.pem"),
               "-H", "Cookie: kept=1")
    assert out.stdout == PAGE, out.stderr
    # Nothing inside the tunnel is touched.
    assert '"kept=1"' in web.access_log(wait_for=1)[0]
    if mode == "tinyproxy":
        assert "blocked" not in hx.upstream_peer.log.read_text("utf-8", "replace").lower()


# ---- failures ------------------------------------------------------------------------------------


def test_unreachable_origin_gets_a_502_page_naming_it(proxy):
    hx = proxy("direct")
    closed = free_port()
    out = subprocess.run(["curl", "-sS", "-i", "--max-time", "20", "-x", f"http://{hx.host}:{hx.port}",
                          f"http://127.0.0.1:{closed}/"], capture_output=True)
    assert out.stdout.startswith(b"HTTP/1.1 502 Bad Gateway\r\n")
    assert f"could not connect to 127.0.0.1:{closed}: connection refused".encode() in out.stdout
    tunnel = curl(hx, f"https://127.0.0.1:{closed}/")
    assert b"502" in tunnel.stderr


def test_direct_mode_keeps_clients_off_this_machine_unless_allowed(start_peer, web, tmp_path):
    hx = start_peer(Halvex, upstream=("", ""), wrap=private_resolver(tmp_path))
    out = subprocess.run(["curl", "-sS", "-i", "--max-time", "20", "-x", f"http://{hx.host}:{hx.port}",
                          web.url("page.html")], capture_output=True)
    assert out.stdout.startswith(b"HTTP/1.1 502 Bad Gateway\r\n")
    assert b"address not allowed" in out.stdout
    assert web.access_log() == []


# ---- the block list --------------------------------------------------------------------------------


def test_block_list_survives_a_restart_and_takes_an_import(tmp_path, web):
    hosts = tmp_path / "hosts"
    hosts.write_text("# ads\n127.0.0.1 localhost\n0.0.0.0 ads.example tracker.example\n"
                     "plain.example  # one a line\n")
    folder = tmp_path / "halvex"
    wrap = private_resolver(tmp_path)
    settings = {"headerfilter": "on"}

    def connect_answer(hx, host):
        s = hx.connect()
        s.settimeout(10)
        s.sendall(f"CONNECT {host}:443 HTTP/1.1\r\n\r\n".encode())
        return recv_all(s)[:22]

    with Halvex(folder, upstream=("", ""), settings=settings, wrap=wrap,
                block=["typed.example"], args=["--block-file", str(hosts)]) as hx:
        for host in ("typed.example", "www.ads.example", "tracker.example", "plain.example"):
            assert connect_answer(hx, host) == b"HTTP/1.1 403 Forbidden", host
    stored = folder / "config" / "tessaruno" / "halvex-blocklist.txt"
    assert stored.read_text().splitlines() == ["typed.example", "ads.example", "tracker.example",
                                               "plain.example"]
    # Started again with nothing on its command line, the list is still there.
    with Halvex(folder, upstream=("", ""), settings=settings, wrap=wrap) as hx:
        assert connect_answer(hx, "ads.example") == b"HTTP/1.1 403 Forbidden"
        assert connect_answer(hx, "typed.example") == b"HTTP/1.1 403 Forbidden"
    # A file that cannot be read ends the start with one line on stderr.
    res = subprocess.run([str(program("halvex")), "--block-file",
                          str(tmp_path / "missing")], capture_output=True, timeout=30,
                         env={"XDG_CONFIG_HOME": str(folder / "config"), "QT_QPA_PLATFORM": "offscreen",
                              "PATH": "/usr/bin:/bin"})
    assert res.returncode == 2
    assert res.stderr.decode().strip().splitlines()[-1].startswith("halvex: --block-file: cannot read")
