"""The live status of both proxies: --status serves a page (its table and plot checked in headless
Chromium, in a screenshot too), /metrics that promtool passes and /stats.json, to the loopback
only unless --status-allow names others; halvex answers the page as http://halvex.status/ through
itself; a reload moves the status listener."""

import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import urllib.request

import pytest

from browser import CHROMIUM, private_resolver
from conftest import program
from peers import Dovecot, free_port, wait_listening
from test_reload import Service, env, refused  # noqa: F401  (env is a fixture)
from test_halvex_relay import wait_until

TIMEOUT = 10.0


def fetch(port, path, host="127.0.0.1"):
    with urllib.request.urlopen(f"http://{host}:{port}{path}", timeout=TIMEOUT) as r:
        return r.status, r.headers.get("Content-Type"), r.read()


def promtool(text):
    if not shutil.which("promtool"):
        pytest.fail("promtool is not installed (scripts/bootstrap installs prometheus)", pytrace=False)
    r = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, timeout=30)
    assert r.returncode == 0, r.stdout.decode() + r.stderr.decode()


def via_proxy(proxy_port, request):
    s = socket.create_connection(("127.0.0.1", proxy_port), TIMEOUT)
    s.sendall(request)
    data = b""
    while chunk := s.recv(65536):
        data += chunk
    s.close()
    return data


class Sink:
    """A server that takes connections and holds them open, saying one line each."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.held = []
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                c, _ = self.server.accept()
            except OSError:
                return
            c.sendall(b"hello from the sink\r\n")
            self.held.append(c)

    def close(self):
        self.server.close()
        for c in self.held:
            c.close()


def chromium(tmp_path, url, *extra):
    if not os.access(CHROMIUM, os.X_OK):
        pytest.fail("chromium is not installed (scripts/bootstrap installs it)", pytrace=False)
    profile = tmp_path / f"profile-{len(list(tmp_path.glob('profile-*')))}"
    profile.mkdir()
    args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--no-first-run", "--disable-extensions", f"--user-data-dir={profile}",
            "--virtual-time-budget=3000", *extra, url]
    r = subprocess.run([*private_resolver(tmp_path), CHROMIUM, *args], capture_output=True,
                       timeout=90, env=dict(os.environ, HOME=str(profile)), cwd=tmp_path)
    return r.stdout.decode("utf-8", "replace")


def pixels_of(png, colour):
    """How many pixels of the picture are (nearly) the colour."""
    r = subprocess.run(["convert", str(png), "-fuzz", "12%", "-fill", "#ff0000", "-opaque", colour,
                        "-fill", "#000000", "+opaque", "#ff0000", "-format", "%[fx:mean.r*w*h]",
                        "info:"], capture_output=True, timeout=60, check=True)
    return float(r.stdout.decode())


@pytest.fixture
def halvex(env, tmp_path):  # noqa: F811
    proxy, status = free_port(), free_port()
    service = Service([str(program("halvex")), "--start", "--bind", "127.0.0.1", "--port", str(proxy),
                       "--upstream", "none", "--allow-servers", "127.0.0.1",
                       "--status", f"127.0.0.1:{status}"], env, tmp_path, proxy)
    assert wait_listening("127.0.0.1", status), service.text()
    yield service, proxy, status
    service.proc.terminate()
    service.proc.wait(TIMEOUT)


def test_halvex_status_page_shows_the_connections_and_the_plot_in_chromium(halvex, tmp_path):
    service, proxy, status = halvex
    sink = Sink()
    try:
        # An open tunnel and a refused request, for the table and the counts.
        tunnel = socket.create_connection(("127.0.0.1", proxy), TIMEOUT)
        tunnel.sendall(f"CONNECT 127.0.0.1:{sink.port} HTTP/1.1\r\n\r\n".encode())
        assert b"200" in tunnel.recv(100)
        tunnel.sendall(b"x" * 100000)
        assert b"400" in via_proxy(proxy, b"GET http:///nohost HTTP/1.1\r\n\r\n")

        _, kind, body = fetch(status, "/stats.json")
        assert kind == "application/json"
        stats = json.loads(body)
        assert stats["program"] == "halvex" and stats["listening"] is True
        assert stats["handled"].get("refused") == 1
        rows = [c for c in stats["connections"] if c["target"] == f"127.0.0.1:{sink.port}"]
        assert rows and rows[0]["fromClient"] >= 100000, stats["connections"]
        assert wait_until(lambda: sum(json.loads(fetch(status, "/stats.json")[2])
                                      ["throughput"]["fromClient"]) >= 100000)

        # The page as a browser shows it once its script has run: the row, the plot's lines.
        dom = chromium(tmp_path, f"http://127.0.0.1:{status}/", "--dump-dom")
        assert f"<td>127.0.0.1:{sink.port}</td>" in dom, dom[:3000]
        assert 'id="plot"' in dom and 'id="down"' in dom and "bytes a second" in dom
        chromium(tmp_path, f"http://127.0.0.1:{status}/", "--screenshot=status.png",
                 "--window-size=1000,900", "--hide-scrollbars")
        png = tmp_path / "status.png"
        assert png.exists()
        assert pixels_of(png, "#e65100") > 300  # the clients' line, with its peak
        assert pixels_of(png, "#1565c0") > 100  # the servers' line and its legend
        assert pixels_of(png, "#eeeeee") > 2000  # the table's head
        tunnel.close()
    finally:
        sink.close()


def test_halvex_metrics_pass_promtool_and_halvex_status_answers_through_the_proxy(halvex):
    service, proxy, status = halvex
    assert b"400" in via_proxy(proxy, b"GET http:///nohost HTTP/1.1\r\n\r\n")
    code, kind, body = fetch(status, "/metrics")
    assert code == 200 and kind.startswith("text/plain; version=0.0.4")
    promtool(body)
    assert b'halvex_requests_total{outcome="refused"} 1\n' in body
    assert b"halvex_listening 1\n" in body

    page = via_proxy(proxy, b"GET http://halvex.status/ HTTP/1.1\r\nHost: halvex.status\r\n\r\n")
    assert page.startswith(b"HTTP/1.1 200 OK\r\n") and b"<h1>halvex status</h1>" in page
    metrics = via_proxy(proxy, b"GET http://HALVEX.status/metrics HTTP/1.1\r\n\r\n")
    promtool(metrics.split(b"\r\n\r\n", 1)[1])
    assert wait_until(lambda: 'target=http://halvex.status/ outcome=passed status=200' in service.text())
    # Unknown paths, and the page never goes out to a server of that name.
    assert via_proxy(proxy, b"GET http://halvex.status/x HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 404")


def test_status_page_is_for_the_allowed_readers_only(env, tmp_path):  # noqa: F811
    proxy, status = free_port(), free_port()
    service = Service([str(program("halvex")), "--start", "--bind", "127.0.0.1", "--port", str(proxy),
                       "--upstream", "none", "--status", f"127.0.0.1:{status}",
                       "--status-allow", "127.0.0.9"], env, tmp_path, proxy)
    try:
        assert wait_listening("127.0.0.1", status)
        with pytest.raises(OSError):
            fetch(status, "/metrics")
        assert b"403 Forbidden" in via_proxy(proxy, b"GET http://halvex.status/ HTTP/1.1\r\n\r\n")
        assert wait_until(lambda: 'status client=127.0.0.1 outcome=refused reason="not in the allowed clients"'
                          in service.text()), service.text()
    finally:
        service.proc.terminate()
        service.proc.wait(TIMEOUT)
    r = subprocess.run([str(program("halvex")), "--check-config", "--status", "nowhere"], env=env,
                       capture_output=True, timeout=TIMEOUT)
    assert r.returncode != 0 and b"--status: not an address and port: nowhere" in r.stderr


def test_quessel_counts_logins_in_its_metrics_and_a_reload_moves_the_status_page(
        start_peer, env, tmp_path):  # noqa: F811
    pop3 = start_peer(Dovecot, users={"alice": "pw-Stat-1"}, mail={"alice": [b"Subject: x\n\nhi\n"]})
    port, status, moved = free_port(), free_port(), free_port()
    conf = tmp_path / "quessel.conf"
    conf.write_text(f"port = {port}\nbind = 127.0.0.1\nserverport = {pop3.port}\n"
                    f"allowservers = 127.0.0.1\nstatus = 127.0.0.1:{status}\n")
    service = Service([str(program("quessel")), "--config", str(conf)], env, tmp_path, port)
    try:
        assert wait_listening("127.0.0.1", status), service.text()
        s = socket.create_connection(("127.0.0.1", port), TIMEOUT)
        assert s.recv(5) == b"+OK\r\n"
        s.sendall(b"USER alice|127.0.0.1\r\nPASS pw-Stat-1\r\n")
        assert wait_until(lambda: b'quessel_logins_total{outcome="ok"} 1' in fetch(status, "/metrics")[2])
        stats = json.loads(fetch(status, "/stats.json")[2])
        assert [c["target"] for c in stats["connections"]] == ["alice|127.0.0.1"]
        body = fetch(status, "/metrics")[2]
        promtool(body)
        assert b"pw-Stat-1" not in body and b"pw-Stat-1" not in fetch(status, "/")[2]
        s.close()

        conf.write_text(conf.read_text().replace(f"127.0.0.1:{status}", f"127.0.0.1:{moved}"))
        assert service.reload("quessel: reload ") == "quessel: reload outcome=ok"
        assert fetch(moved, "/metrics")[0] == 200
        assert wait_until(lambda: refused(status))
    finally:
        service.proc.send_signal(signal.SIGTERM)
        service.proc.wait(TIMEOUT)
