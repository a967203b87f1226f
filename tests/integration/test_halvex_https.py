"""halvex reading inside HTTPS with an authority of the office's own (halvex --make-ca): curl,
openssl s_client and headless Chromium through halvex to nginx over TLS, directly and through
tinyproxy. The requests inside are logged as https:// addresses and filtered like plain ones; a
server whose certificate is bad gets a 502 page saying what is wrong with it; a name inside the TLS
other than the CONNECT's is refused; a client that refuses halvex's certificate is learned."""

import hashlib
import os
import socket
import ssl
import stat
import subprocess

import pytest

from browser import chromium_dom, private_resolver
from conftest import program, source_dir
from halvexproc import Halvex
from peers import Nginx, Tinyproxy
from test_halvex_web import logged

PAGE = b"<html><body><p>tessaruno test page</p><img src=\"pic.gif\"></body></html>"
GIF = (b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00\x00,"
       b"\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;")
CANNED = "Tessaruno does not allow this connection"
BIG = 10 * 1024 * 1024


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    """The origins' test authority (good, expired, other-name, self-signed certificates), and
    halvex's own authority made by halvex --make-ca."""
    d = tmp_path_factory.mktemp("certs")
    subprocess.run([str(source_dir() / "tests" / "helpers" / "make-test-ca"), str(d / "origin")],
                   check=True)
    made = subprocess.run([str(program("halvex")), "--make-ca", str(d / "halvex")],
                          capture_output=True, text=True, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert made.returncode == 0, made.stderr
    return d, made


def origin(start_peer, certs, kind="good", files=None):
    d, _ = certs
    o = d / "origin"
    return start_peer(Nginx, files=files or {"page.html": PAGE},
                      tls=(o / f"{kind}.pem", o / f"{kind}.key"),
                      server_conf='add_header Set-Cookie "id=secret-cookie";')


@pytest.fixture
def halvex(start_peer, certs, tmp_path):
    """halvex(ports, upstream=None, settings=..., args=...): inspecting the given ports, the
    origins' authority trusted for its own connections, every lookup on loopback."""
    d, _ = certs
    wrap = private_resolver(tmp_path)

    def make(ports, upstream=None, settings=None, args=(), block=()):
        extra = ["--ca-cert", str(d / "halvex" / "halvex-ca.pem"),
                 "--ca-key", str(d / "halvex" / "halvex-ca.key"),
                 "--inspect-https", "--inspect-ports", ",".join(str(p) for p in ports), *args]
        env = {"SSL_CERT_FILE": str(d / "origin" / "ca.pem")}
        values = {"debug": "1", **(settings or {})}
        if upstream is None:
            return start_peer(Halvex, upstream=("", ""), settings=values, wrap=wrap, env=env,
                              block=block, args=["--allow-servers", "127.0.0.0/8", *extra])
        return start_peer(Halvex, upstream=upstream, settings=values, wrap=wrap, env=env,
                          block=block, args=extra)

    return make


def curl(hx, certs, url, *extra, trust="halvex"):
    d, _ = certs
    ca = d / "halvex" / "halvex-ca.pem" if trust == "halvex" else d / "origin" / "ca.pem"
    return subprocess.run(["curl", "-sS", "--max-time", "20", "--proxy",
                           f"http://{hx.host}:{hx.port}", "--cacert", str(ca), *extra, url],
                          capture_output=True)


def https_url(site, rel, host="localhost"):
    return f"https://{host}:{site.tls_port}/{rel}"


# ---- the authority -------------------------------------------------------------------------------


def test_make_ca_makes_one_authority_and_says_how_to_trust_it(certs):
    d, made = certs
    cert, key = d / "halvex" / "halvex-ca.pem", d / "halvex" / "halvex-ca.key"
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    for words in (str(cert), "update-ca-certificates", "certutil", "policies.json", "Install"):
        assert words in made.stdout
    assert "PRIVATE" not in made.stdout and key.read_text() not in made.stdout
    text = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-text"],
                          capture_output=True, text=True, check=True).stdout
    assert "prime256v1" in text and "CA:TRUE" in text and "halvex" in text
    end = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-checkend",
                          str(9 * 365 * 86400)], capture_output=True)
    assert end.returncode == 0  # valid for nine years and more
    before = cert.read_bytes()
    again = subprocess.run([str(program("halvex")), "--make-ca", str(d / "halvex")],
                           capture_output=True, text=True,
                           env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert again.returncode != 0
    assert len(again.stderr.strip().splitlines()) == 1 and "exists already" in again.stderr
    assert cert.read_bytes() == before


# ---- curl ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["direct", "tinyproxy"])
def test_every_method_inside_is_passed_and_logged_as_https(start_peer, certs, halvex, tmp_path, mode):
    site = origin(start_peer, certs)
    upstream = None
    if mode == "tinyproxy":
        tiny = start_peer(Tinyproxy, wrap=private_resolver(tmp_path))
        upstream = (tiny.host, tiny.port)
    hx = halvex([site.tls_port], upstream=upstream)
    methods = ["GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"]
    for method in methods:
        extra = ["-I"] if method == "HEAD" else ["-X", method]
        out = curl(hx, certs, https_url(site, "page.html"), *extra, "-o", "/dev/null",
                   "-w", "%{http_code} %{ssl_verify_result}")
        assert out.returncode == 0, out.stderr
        code, verified = out.stdout.decode().split()
        assert verified == "0"  # halvex's certificate, checked against halvex's authority
        assert code == ("200" if method in ("GET", "HEAD") else "405"), method
    lines = site.access_log(wait_for=len(methods))
    assert [line.split('"')[1].split()[0] for line in lines] == methods
    for method in methods:
        assert logged(hx, f"method={method} target=https://localhost:{site.tls_port}/page.html ")
    assert logged(hx, f"method=CONNECT target=localhost:{site.tls_port} outcome=passed status=200")


def test_keep_alive_inside_and_ten_mib_byte_for_byte(start_peer, certs, halvex, tmp_path):
    big = os.urandom(BIG)
    site = origin(start_peer, certs, files={"page.html": PAGE, "big.bin": big})
    hx = halvex([site.tls_port])
    out_file = tmp_path / "big.out"
    # The download first, then the page, on the connection it left open.
    out = curl(hx, certs, https_url(site, "page.html"), https_url(site, "big.bin"),
               "-o", str(out_file), "-o", "/dev/null", "-w", "%{num_connects}\n")
    assert out.returncode == 0, out.stderr
    # One connection to halvex, one TLS handshake with it, for both.
    assert out.stdout.decode().split() == ["1", "0"]
    assert hashlib.sha256(out_file.read_bytes()).digest() == hashlib.sha256(big).digest()
    assert logged(hx, f"target=https://localhost:{site.tls_port}/big.bin outcome=passed status=200 "
                      f"from_client=")
    text = hx.output.read_text()
    assert text.count("method=CONNECT") == 1


@pytest.mark.parametrize("kind, reason", [
    ("expired", "certificate for localhost has expired"),
    ("other", "certificate is for other.example, not localhost"),
    ("self", "certificate for localhost is self-signed"),
])
def test_a_bad_server_certificate_gets_a_502_page_saying_what_is_wrong(start_peer, certs, halvex,
                                                                        kind, reason):
    site = origin(start_peer, certs, kind)
    hx = halvex([site.tls_port])
    out = curl(hx, certs, https_url(site, "page.html"), "-w", "\n%{http_code}")
    # The client trusts halvex's own certificate and reads halvex's page inside it.
    assert out.returncode == 0, out.stderr
    body, _, code = out.stdout.decode().rpartition("\n")
    assert code == "502"
    assert reason in body
    assert site.access_log() == []
    assert logged(hx, f"target=https://localhost:{site.tls_port}/page.html outcome=\"upstream failed\" "
                      f"status=502")


def test_through_the_upstream_proxy_a_bad_server_certificate_is_named_too(start_peer, certs, halvex,
                                                                         tmp_path):
    site = origin(start_peer, certs, "expired")
    tiny = start_peer(Tinyproxy, wrap=private_resolver(tmp_path))
    hx = halvex([site.tls_port], upstream=(tiny.host, tiny.port))
    out = curl(hx, certs, https_url(site, "page.html"), "-w", "\n%{http_code}")
    assert out.returncode == 0, out.stderr
    body, _, code = out.stdout.decode().rpartition("\n")
    assert code == "502"
    assert "through the upstream proxy" in body and "has expired" in body


def test_the_name_inside_must_be_the_connects_and_both_tls_versions_are_served(start_peer, certs,
                                                                                halvex):
    d, _ = certs
    site = origin(start_peer, certs)
    hx = halvex([site.tls_port])
    request = f"GET /page.html HTTP/1.1\r\nHost: localhost:{site.tls_port}\r\nConnection: close\r\n\r\n"

    def s_client(*args):
        return subprocess.run(["openssl", "s_client", "-quiet", "-proxy", f"{hx.host}:{hx.port}",
                               "-connect", f"localhost:{site.tls_port}", "-verify_return_error",
                               "-CAfile", str(d / "halvex" / "halvex-ca.pem"), *args],
                              input=request.encode(), capture_output=True, timeout=20)

    for version in ("-tls1_2", "-tls1_3"):
        out = s_client("-servername", "localhost", version)
        assert b"tessaruno test page" in out.stdout, (version, out.stderr)
    # No name: the CONNECT's host, and its certificate.
    out = s_client("-noservername")
    assert b"tessaruno test page" in out.stdout, out.stderr
    # A blocked host behind an allowed one: refused inside the TLS.
    out = subprocess.run(["openssl", "s_client", "-quiet", "-proxy", f"{hx.host}:{hx.port}",
                          "-connect", f"localhost:{site.tls_port}", "-servername", "blocked.test"],
                         input=request.encode(), capture_output=True, timeout=20)
    assert b"403 Forbidden" in out.stdout and b"blocked.test" in out.stdout
    assert logged(hx, "outcome=blocked status=403")
    assert len(site.access_log()) == 3


def test_a_client_without_the_authority_is_learned_and_passes_unread(start_peer, certs, halvex):
    site = origin(start_peer, certs)
    hx = halvex([site.tls_port])
    out = curl(hx, certs, https_url(site, "page.html"), trust="origin")
    assert out.returncode != 0  # curl refuses halvex's certificate
    assert logged(hx, 'inspect host=localhost outcome="passed uninspected for a day" '
                      'reason="the client refused the certificate')
    # From now on the host's tunnel is not read: the client sees the server's own certificate.
    out = curl(hx, certs, https_url(site, "page.html"), trust="origin")
    assert out.returncode == 0, out.stderr
    assert b"tessaruno test page" in out.stdout
    assert logged(hx, "reason=\"not inspected: its client refused halvex's certificate lately\"")
    assert hx.output.read_text().count("inspect host=localhost") == 1


def test_a_hello_sent_with_the_connect_is_answered(start_peer, certs, halvex):
    """A client that sends its TLS hello in the same write as its CONNECT, before the 200."""
    d, _ = certs
    site = origin(start_peer, certs)
    hx = halvex([site.tls_port])
    ctx = ssl.create_default_context(cafile=str(d / "halvex" / "halvex-ca.pem"))
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    with socket.create_connection((hx.host, hx.port), timeout=10) as sock:
        sock.sendall(f"CONNECT localhost:{site.tls_port} HTTP/1.1\r\n\r\n".encode() + outgoing.read())
        answer = b""
        while b"\r\n\r\n" not in answer:
            chunk = sock.recv(65536)
            assert chunk, answer
            answer += chunk
        head, _, rest = answer.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200")
        incoming.write(rest)

        def pump():
            if outgoing.pending:
                sock.sendall(outgoing.read())
            chunk = sock.recv(65536)
            assert chunk, "the connection ended"
            incoming.write(chunk)

        for _ in range(20):
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pump()
        tls.write(f"GET /page.html HTTP/1.1\r\nHost: localhost:{site.tls_port}\r\n"
                  "Connection: close\r\n\r\n".encode())
        page = b""
        for _ in range(50):
            try:
                data = tls.read(65536)
                if not data:
                    break
                page += data
                if b"</html>" in page:
                    break
            except ssl.SSLWantReadError:
                pump()
        assert b"tessaruno test page" in page


# ---- a browser -----------------------------------------------------------------------------------


def test_chromium_with_the_authority_is_filtered_inside_https(start_peer, certs, halvex, tmp_path):
    d, _ = certs
    site = origin(start_peer, certs, files={
        "page.html": PAGE, "pic.gif": GIF,
        "ads.html": b"<html><body><p>see forbidden-word here</p></body></html>"})
    hx = halvex([site.tls_port], settings={"cookie": "tessaruno", "pic": "on", "empty": "on"},
                block=["forbidden-word"])
    ca = d / "halvex" / "halvex-ca.pem"
    dom = chromium_dom(tmp_path, hx.port, https_url(site, "page.html", "127.0.0.1"), nss_ca=ca)
    assert "tessaruno test page" in dom
    assert logged(hx, f"method=GET target=https://127.0.0.1:{site.tls_port}/page.html outcome=passed")
    # The picture was asked for with the page's cookie, which halvex replaced; its answer was
    # replaced too.
    assert logged(hx, f"target=https://127.0.0.1:{site.tls_port}/pic.gif outcome=passed status=200")
    assert logged(hx, "reason=\"picture replaced\"")
    pictures = [line for line in site.access_log(wait_for=2) if "/pic.gif" in line]
    assert pictures and all('"tessaruno"' in line for line in pictures), site.access_log()
    dom = chromium_dom(tmp_path, hx.port, https_url(site, "ads.html", "127.0.0.1"), nss_ca=ca)
    assert CANNED in dom
    # The same browser without the authority: it refuses the handshake, and the host is learned.
    dom = chromium_dom(tmp_path, hx.port, https_url(site, "page.html", "127.0.0.1"))
    assert "tessaruno test page" not in dom
    assert logged(hx, 'inspect host=127.0.0.1 outcome="passed uninspected for a day"', timeout=10)
