"""halvex's filters against real peers: what reaches nginx (its access log records the request
line and the Cookie header) and what the browser gets back."""

import socket
import subprocess

import pytest

from halvexproc import Halvex
from peers import Nginx, Tinyproxy

HTML_REPLY = (b"HTTP/1.1 200 OK\r\nVia: 1.0 GATE\r\nConnection: Close\r\nProxy -Connection: Close\r\n"
              b"Date: Sun, 17 Jun 2073 00:00:00 GMT\r\nContent-Type: text/html\r\nServer: Tessaruno\r\n"
              b"\r\n<html><head></head><body><center>Tessaruno does not allow this connection"
              b"</center></body></html>\r\n")
GIF_REPLY = (b"HTTP/1.1 200 OK\r\nVia: 1.0 GATE\r\nContent-Length: 1\r\nConnection: Close\r\n"
             b"Proxy -Connection: Close\r\nDate: Sun, 17 Jun 2073 00:00:00 GMT\r\n"
             b"Content-Type: image/gif\r\nServer: Tessaruno\r\n\r\n \r\n")


def recv_all(sock):
    data = bytearray()
    while True:
        try:
            chunk = sock.recv(1 << 16)
        except ConnectionResetError:
            break
        if not chunk:
            break
        data += chunk
    return bytes(data)


def ask(hx, url, headers=b""):
    s = hx.connect()
    s.sendall(b"GET " + url.encode() + b" HTTP/1.0\r\nAccept: */*\r\n" + headers + b"\r\n")
    data = recv_all(s)
    s.close()
    return data


def curl(hx, url, *extra):
    return subprocess.run(["curl", "-sS", "--max-time", "20", "-x", f"http://{hx.host}:{hx.port}",
                           *extra, url], capture_output=True)


def test_blocked_request_is_dropped_before_it_reaches_upstream(start_peer):
    web = start_peer(Nginx, files={"ok.html": b"fine", "secret-page.html": b"hidden"})
    proxy = start_peer(Tinyproxy)
    hx = start_peer(Halvex, upstream=(proxy.host, proxy.port), settings={"headerfilter": "on"},
                    block=["SECRET-page"])
    blocked = curl(hx, web.url("secret-page.html"))
    assert blocked.returncode != 0 and blocked.stdout == b""
    assert curl(hx, web.url("ok.html")).stdout == b"fine"
    log = web.access_log(wait_for=1)
    assert len(log) == 1 and "ok.html" in log[0]


def test_cookies_are_replaced_by_the_marker(start_peer):
    web = start_peer(Nginx, files={"a.html": b"a"})
    proxy = start_peer(Tinyproxy)
    hx = start_peer(Halvex, upstream=(proxy.host, proxy.port), settings={"cookie": "tessaruno"})
    assert curl(hx, web.url("a.html"), "-H", "Cookie: id=42; session=abc").stdout == b"a"
    plain = start_peer(Halvex, upstream=(proxy.host, proxy.port))
    assert curl(plain, web.url("a.html"), "-H", "Cookie: id=42").stdout == b"a"
    log = web.access_log(wait_for=2)
    assert '"tessaruno"' in log[0] and "id=42" not in log[0]
    assert '"id=42"' in log[1]


# A response is judged on its head and the start of its body however they are cut: tinyproxy
# writes its header lines one by one, nginx (as a proxy itself) its whole head at once.

@pytest.mark.parametrize("upstream", ["tinyproxy", "nginx"])
def test_page_mentioning_a_blocked_word_gets_exactly_the_canned_page(start_peer, upstream):
    web = start_peer(Nginx, files={"page.html": b"<p>" + b"forbidden words " * 2000 + b"</p>"})
    up = start_peer(Tinyproxy) if upstream == "tinyproxy" else web
    hx = start_peer(Halvex, upstream=(up.host, up.port),
                    settings={"empty": "on"}, block=["Forbidden"])
    for _ in range(3):
        assert ask(hx, web.url("page.html")) == HTML_REPLY
    # The switch off: the page itself comes through.
    plain = start_peer(Halvex, upstream=(up.host, up.port), block=["Forbidden"])
    assert b"forbidden words" in ask(plain, web.url("page.html"))


def test_picture_gets_exactly_the_canned_picture_and_the_connection_ends(start_peer):
    png = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 400
    web = start_peer(Nginx, files={"p.png": png})
    hx = start_peer(Halvex, upstream=(web.host, web.port), settings={"pic": "on"})
    assert ask(hx, web.url("p.png")) == GIF_REPLY


def test_blocked_site_as_second_request_on_a_kept_alive_connection(start_peer):
    # nginx as the upstream proxy itself: it answers proxy-form requests and keeps the
    # connection open, as a browser's proxy connection is.
    web = start_peer(Nginx, files={"ok.html": b"fine", "bad/x.html": b"bad"})
    hx = start_peer(Halvex, upstream=(web.host, web.port), settings={"headerfilter": "on"},
                    block=["/bad/"])
    s = hx.connect()
    host = f"{web.host}:{web.port}"
    s.sendall(f"GET {web.url('ok.html')} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    first = b""
    while not first.endswith(b"fine"):
        chunk = s.recv(4096)
        assert chunk, "the first response did not arrive"
        first += chunk
    s.sendall(f"GET {web.url('bad/x.html')} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    assert recv_all(s) == b""
    s.close()
    log = web.access_log(wait_for=1)
    assert len(log) == 1 and "ok.html" in log[0]
