"""Two halvex and two quessel instances behind a real haproxy that sends the PROXY protocol
(version 2) and checks its servers: the programs see the real client's address for their logs,
allow lists and caps, traffic goes on when one instance stops, and only the balancer may say
where a connection comes from."""

import os
import socket
import time

import pytest

from conftest import program
from halvexproc import Halvex
from peers import Command, Dovecot, free_port
from test_halvex_relay import Upstream, recv_all, reversing_echo, wait_until

TIMEOUT = 10.0
BALANCED = ["--proxy-protocol", "127.0.0.1", "--allow-clients", "127.0.0.1 127.0.0.5"]


def haproxy(start_peer, tmp_path, backends):
    port = free_port()
    servers = "\n".join(f"  server s{k} 127.0.0.1:{p} send-proxy-v2 check inter 300ms fall 1 rise 1"
                        for k, p in enumerate(backends))
    conf = tmp_path / "haproxy.cfg"
    conf.write_text(f"""
global
  nbthread 1
defaults
  mode tcp
  timeout connect 5s
  timeout client 30s
  timeout server 30s
frontend front
  bind 127.0.0.1:{port}
  default_backend pool
backend pool
  balance roundrobin
{servers}
""")
    return start_peer(Command, argv=["/usr/sbin/haproxy", "-db", "-f", str(conf)], port=port,
                      name="haproxy")


def from_address(source, peer):
    s = socket.socket()
    s.settimeout(TIMEOUT)
    s.bind((source, 0))
    s.connect(peer)
    return s


@pytest.fixture
def quiet_env(tmp_path, monkeypatch):
    config = tmp_path / "config"
    config.mkdir()
    monkeypatch.setenv("XDG_CONFIG_HOME", str(config))
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    monkeypatch.delenv("DISPLAY", raising=False)


def test_two_quessels_behind_haproxy_see_the_real_client(start_peer, tmp_path, quiet_env):
    pop3 = start_peer(Dovecot, mail={"alice": [b"Subject: x\n\nhi\n"]})
    quessels = [start_peer(Command, argv=[str(program("quessel")), "--port", "{port}", "--bind",
                                          "{host}", "--server-port", str(pop3.port),
                                          "--allow-servers", "127.0.0.1", *BALANCED],
                           name="quessel") for _ in range(2)]
    front = haproxy(start_peer, tmp_path, [q.port for q in quessels])
    time.sleep(1.0)  # the first health checks

    def session(source="127.0.0.5"):
        s = from_address(source, (front.host, front.port))
        assert s.recv(5) == b"+OK\r\n"
        s.sendall(b"USER alice|127.0.0.1\r\nPASS secret\r\nSTAT\r\nQUIT\r\n")
        return recv_all(s)

    for _ in range(4):
        assert session().count(b"+OK") == 4
    # Both instances served, and each saw the client's own address, not the balancer's.
    for q in quessels:
        assert wait_until(lambda: "quessel: login client=127.0.0.5 user=alice" in q.output.read_text()), \
            q.output.read_text()
    # A client the allow list does not name is refused behind the balancer too.
    refused = from_address("127.0.0.6", (front.host, front.port))
    assert recv_all(refused) == b""
    assert wait_until(lambda: any("quessel: refused client=127.0.0.6 " in q.output.read_text()
                                  for q in quessels))
    # One instance goes; the balancer's checks notice and the other takes every session.
    quessels[0].stop()
    time.sleep(1.0)
    for _ in range(3):
        assert session().count(b"+OK") == 4


def test_two_halvex_behind_haproxy(start_peer, tmp_path):
    echo = Upstream(reversing_echo)
    try:
        proxies = [start_peer(Halvex, upstream=("127.0.0.1", echo.port), args=BALANCED)
                   for _ in range(2)]
        front = haproxy(start_peer, tmp_path, [h.port for h in proxies])
        time.sleep(1.0)

        def talk(source="127.0.0.5", text=b"hello"):
            s = from_address(source, (front.host, front.port))
            s.sendall(text)
            s.shutdown(socket.SHUT_WR)
            return recv_all(s)

        for k in range(4):
            assert talk(text=b"hello %d" % k).startswith(b"hello %d" % k)
        assert talk("127.0.0.6") == b""
        assert wait_until(lambda: any("halvex: refused client=127.0.0.6 " in h.output.read_text()
                                      for h in proxies))
        proxies[1].stop()
        time.sleep(1.0)
        for k in range(3):
            assert talk(text=b"again %d" % k).startswith(b"again %d" % k)
    finally:
        echo.close()


def test_only_a_balancer_may_send_a_proxy_header(start_peer, tmp_path, quiet_env):
    proxy = start_peer(Command, argv=[str(program("quessel")), "--port", "{port}", "--bind",
                                      "{host}", "--server-port", str(free_port()),
                                      "--proxy-protocol", "127.0.0.9"], name="quessel")
    s = from_address("127.0.0.1", (proxy.host, proxy.port))
    assert s.recv(5) == b"+OK\r\n"
    s.sendall(b"PROXY TCP4 192.0.2.1 127.0.0.1 1234 110\r\nUSER a|x\r\n")
    assert recv_all(s) == b""
    assert wait_until(lambda: "sent a PROXY header but is no balancer" in proxy.output.read_text())
    # A balancer that sends no header in time is dropped.
    b = from_address("127.0.0.9", (proxy.host, proxy.port))
    b.settimeout(10)
    assert recv_all(b) == b""
