"""halvex's reading of requests against h11's, a strict HTTP/1.1 parser, over the corpus in
tests/data/http/requests (smuggling classics, malformed framings, what browsers send; made by
tests/data/http/make-corpus). For every case, with and without an upstream proxy, the request
given whole and a byte at a time:

- whatever halvex sends on, h11 reads without a fault: no server behind halvex is handed bytes
  a strict reader would refuse or read two ways;
- halvex is the stricter where they disagree: it sends on no more requests than h11 reads from
  the client's own bytes, each with the same method and body, and nothing past a request h11
  refuses;
- "loose-*" cases are the request lines every lenient server takes (h11 refuses them as they are):
  halvex takes them and sends them on in the form h11 reads.
"""

import subprocess
from pathlib import Path

import h11
import pytest

from conftest import build_dir, source_dir

CORPUS = source_dir() / "tests" / "data" / "http" / "requests"
CASES = sorted(p.name for p in CORPUS.iterdir())


def messages(data):
    """The requests h11 reads from a client's bytes: [(method, target, body)], and whether it
    refused something (the rest unread)."""
    conn = h11.Connection(h11.SERVER)
    # A message cut off where halvex ended the connection is no fault: nothing past it is read.
    conn.receive_data(data)
    out, current, body = [], None, b""
    while True:
        try:
            event = conn.next_event()
        except h11.RemoteProtocolError:
            return out, True
        if event is h11.NEED_DATA or event is h11.PAUSED:
            return out, False
        if isinstance(event, h11.ConnectionClosed):
            return out, False
        if isinstance(event, h11.Request):
            current, body = event, b""
        elif isinstance(event, h11.Data):
            body += event.data
        elif isinstance(event, h11.EndOfMessage):
            out.append((current.method.upper(), current.target, body))
            if current.method.upper() == b"CONNECT":
                return out, False
            conn.send(h11.Response(status_code=200, headers=[(b"content-length", b"0")]))
            conn.send(h11.EndOfMessage())
            if conn.our_state is h11.MUST_CLOSE or conn.their_state is h11.MUST_CLOSE:
                return out, False
            try:
                conn.start_next_cycle()
            except h11.LocalProtocolError:
                return out, False


def with_host(data):
    """The client's bytes with the Host its first request's target names added, as a proxy
    writes a request for an absolute target or a CONNECT that came without one."""
    line, sep, rest = data.partition(b"\r\n")
    parts = line.split(b" ")
    if len(parts) != 3:
        return data
    target = parts[1]
    authority = target.split(b"/")[2] if target.lower().startswith(b"http://") else target
    return line + sep + b"Host: " + authority.split(b"@")[-1] + b"\r\n" + rest


def halvex(mode, bytewise):
    helper = build_dir() / "tests" / "halvex_parsecheck"
    assert helper.is_file(), f"{helper} is not built"
    args = [str(helper)] + (["--direct"] if mode == "direct" else []) + \
        (["--bytes"] if bytewise else []) + [str(CORPUS / c) for c in CASES]
    out = subprocess.run(args, capture_output=True, check=True, timeout=120).stdout.decode()
    result = {}
    for line in out.splitlines():
        file, sent, client, released, other = line.split(" ")
        result[Path(file).name] = (bytes.fromhex(sent) if sent != "-" else b"",
                                   bytes.fromhex(client) if client != "-" else b"", released == "1",
                                   other == "1")
    return result


@pytest.mark.parametrize("mode", ["upstream", "direct"])
def test_halvex_is_the_stricter_reader_and_sends_only_what_h11_reads(mode):
    assert len(CASES) >= 200
    others = []
    whole, bytewise = halvex(mode, False), halvex(mode, True)
    stricter = []
    for case in CASES:
        original = (CORPUS / case).read_bytes()
        sent, client, released, other = whole[case]
        b_sent, b_client, b_released, b_other = bytewise[case]
        assert b_other == other, case
        if other:
            # Another protocol passes as it is (upstream only): bytes that do not begin with a
            # known method and a blank, and that no server takes for a request.
            assert mode == "upstream" and sent == original, case
            assert not messages(original)[0], case
            others.append(case)
            continue
        out, fault = messages(sent)
        # However the bytes come, the same requests reach the server and the same end.
        assert messages(b_sent) == (out, fault) and b_released == released, case
        assert not fault, f"{case}: h11 refuses what halvex sent on: {sent[:300]!r}"
        theirs, refused = messages(original)
        if refused and not theirs and messages(with_host(original))[0]:
            # No Host where the target names one: halvex writes it, as a proxy does.
            theirs, refused = messages(with_host(original))
        if mode == "direct":
            # Without an upstream proxy a CONNECT is halvex's own: no request goes on.
            theirs = [m for m in theirs if m[0] != b"CONNECT"]
        if case.startswith("loose-connect") and mode == "direct":
            assert client.startswith(b"HTTP/1.1 200 Connection established"), case
            continue
        if case.startswith("loose-"):
            assert out, f"{case}: a loose request line is a request: {sent!r} {client[:80]!r}"
            continue
        if mode == "direct" and not any(t.lower().startswith(b"http://") or m == b"CONNECT" for m, t, _ in theirs[:1]):
            # Without an upstream proxy only absolute targets and CONNECT are taken at all.
            assert out == [], case
            continue
        # Where h11 refuses, halvex sent nothing it did not read itself first.
        assert len(out) <= len(theirs), f"{case}: halvex sent more requests than h11 reads: {out} / {theirs}"
        for (m1, _, b1), (m2, _, b2) in zip(out, theirs):
            assert (m1, b1) == (m2, b2), f"{case}: {m1} {b1!r} / {m2} {b2!r}"
        if len(out) < len(theirs):
            stricter.append(case)
            # A request halvex would not send on is refused with a page, or its connection ended;
            # behind requests still unanswered, once their answers are through.
            assert released or b"HTTP/1.1 4" in client or b"HTTP/1.1 5" in client or out, \
                f"{case}: {client[:200]!r}"
    print(f"{mode}: halvex refuses {len(stricter)} cases h11 takes: {stricter}; "
          f"{len(others)} pass as another protocol: {others}")
