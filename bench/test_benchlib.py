"""Checks of the benchmarks' shared pieces: python3 -m pytest bench/test_benchlib.py

The TLS hellos are real ones, made by OpenSSL (Python's ssl over memory buffers) with a test
authority from tests/helpers/make-test-ca, first a full handshake and then one that resumes it."""

import os
import socket
import ssl
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE / "pop3proxy"))

import benchlib  # noqa: E402
import handshakes  # noqa: E402


def test_median_range_and_cell():
    assert benchlib.median_range([3.0, 1.0, 2.0, float("nan"), None]) == (2.0, 1.0, 3.0)
    assert benchlib.median_range([]) is None
    assert benchlib.cell([1200.0, 1250.0, 1190.0]) == "1200 (1190-1250)"
    assert benchlib.cell([1200.0], busy=True) == "1200*"
    assert benchlib.cell([0.4612, 0.47], digits=2) == "0.47 (0.46-0.47)"
    assert benchlib.cell([]) == "-"
    assert benchlib.ratio(3.0, 0) is None and benchlib.ratio(3.0, 2.0) == 1.5


def test_ports_skip_taken_ones_and_come_round_again():
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        taken = holder.getsockname()[1]
        ports = benchlib.Ports(f"{taken}-{taken + 1}")
        free = ports.take()
        assert free == taken + 1          # the port in use is passed over
        assert ports.take() == taken + 1  # after the last, the range starts again
    for given in ("80-90", "30000", "30010-30000", "a-b"):
        with pytest.raises(SystemExit):
            benchlib.Ports(given)


def test_tree_cpu_counts_a_child_that_ended():
    before = benchlib.tree_cpu(os.getpid())
    out = benchlib.run_child([sys.executable, "-c", "sum(range(3_000_000))"], timeout=60)
    assert out.returncode == 0 and out.cpu > 0
    assert benchlib.tree_cpu(os.getpid()) - before >= out.cpu * 0.5


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    ca = tmp_path_factory.mktemp("ca")
    subprocess.run([str(HERE.parent / "tests" / "helpers" / "make-test-ca"), str(ca)], check=True,
                   env=dict(os.environ, TEST_CA_KEY="ec"))
    return ca


def hellos(authority, version, session=None):
    """(ClientHello record, ServerHello record, session) of one handshake in memory."""
    if version not in hellos.contexts:
        # One server and one client for both handshakes, so the session stays valid.
        server_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_ctx.load_cert_chain(authority / "good.pem", authority / "good.key")
        client_ctx = ssl.create_default_context(cafile=str(authority / "ca.pem"))
        for ctx in (server_ctx, client_ctx):
            ctx.minimum_version = ctx.maximum_version = version
        hellos.contexts[version] = (server_ctx, client_ctx)
    server_ctx, client_ctx = hellos.contexts[version]
    c_in, c_out, s_in, s_out = (ssl.MemoryBIO() for _ in range(4))
    client = client_ctx.wrap_bio(c_in, c_out, server_hostname="localhost", session=session)
    server = server_ctx.wrap_bio(s_in, s_out, server_side=True)
    first = {}
    for _ in range(10):
        for side, out, into, name in ((client, c_out, s_in, "client"),
                                      (server, s_out, c_in, "server")):
            try:
                side.do_handshake()
            except ssl.SSLWantReadError:
                pass
            data = out.read()
            if data:
                first.setdefault(name, data)
                into.write(data)
    # TLS 1.3 tickets come after the handshake, with the first data.
    server.write(b"+OK\r\n")
    c_in.write(s_out.read())
    assert client.read(5) == b"+OK\r\n"
    return first["client"], first["server"], client.session


hellos.contexts = {}


def kinds(client_record, server_record):
    """What the packet reader makes of the two records: (offers, full or resumed)."""
    sid, offers = handshakes.client_hello(client_record[9:])
    return offers, handshakes.server_hello(server_record[9:], sid)


@pytest.mark.parametrize("version", [ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_2])
def test_hellos_tell_full_from_resumed(authority, version):
    client, server, session = hellos(authority, version)
    assert client[0] == 0x16 and client[5] == 1 and server[5] == 2
    assert kinds(client, server) == (False, "full")
    client, server, again = hellos(authority, version, session=session)
    assert kinds(client, server) == (True, "resumed")


def test_a_retry_request_is_not_counted():
    body = b"\x03\x03" + handshakes.RETRY_RANDOM + b"\x00" + b"\x13\x01" + b"\x00" + b"\x00\x00"
    assert handshakes.server_hello(body, b"") is None
