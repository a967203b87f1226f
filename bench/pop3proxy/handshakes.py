"""Counts the TLS handshakes on loopback, by the port of the server that answered them, and tells
full ones from resumed ones: what each leg of a proxied POP3S session costs depends on it (a full
handshake signs and checks a certificate chain, a resumed one does neither).

    with Handshakes() as hs:
        ... sessions ...
    hs.count(port)  -> {"full": n, "resumed": m, "offered": k}

It reads every packet on the loopback interface (a raw socket: needs root) and looks at the first
bytes of each TCP segment: a ClientHello that offers a session to resume (TLS 1.3: the
pre_shared_key extension; TLS 1.2: a session id or ticket) counts as offered at the port it goes
to, and the server's ServerHello says whether it took the offer (TLS 1.3: pre_shared_key in the
ServerHello; TLS 1.2: the client's session id echoed). Only for short counting runs: reading
every packet in Python costs more than the sessions themselves.
"""

import socket
import struct
import threading

ETH_P_ALL = 0x0003
PACKET_HOST = 0
# A ServerHello with this random is a HelloRetryRequest, not the server's answer.
RETRY_RANDOM = bytes.fromhex("cf21ad74e59a6111be1d8c021e65b891c2a211167abb8c5e079e09e2c8a8339c")


def _extensions(body, at):
    """{type: data} of the extensions block that starts at `at`."""
    out = {}
    if at + 2 > len(body):
        return out
    end = min(len(body), at + 2 + struct.unpack_from("!H", body, at)[0])
    at += 2
    while at + 4 <= end:
        kind, size = struct.unpack_from("!HH", body, at)
        out[kind] = body[at + 4:at + 4 + size]
        at += 4 + size
    return out


def client_hello(body):
    """(session id, offers a session) of a ClientHello body."""
    at = 2 + 32
    sid = body[at + 1:at + 1 + body[at]]
    at += 1 + body[at]
    at += 2 + struct.unpack_from("!H", body, at)[0]   # cipher suites
    at += 1 + body[at]                                 # compression methods
    ext = _extensions(body, at)
    offers = 41 in ext or bool(ext.get(35)) or (43 not in ext and bool(sid))
    return sid, offers


def server_hello(body, client_sid):
    """'resumed', 'full' or None (a HelloRetryRequest) for a ServerHello body."""
    if body[2:34] == RETRY_RANDOM:
        return None
    at = 2 + 32
    sid = body[at + 1:at + 1 + body[at]]
    at += 1 + body[at] + 2 + 1
    ext = _extensions(body, at)
    if ext.get(43) == b"\x03\x04":
        return "resumed" if 41 in ext else "full"
    return "resumed" if sid and sid == client_sid else "full"


class Handshakes:
    def __init__(self):
        self.counts = {}    # server port: {"full", "resumed", "offered"}
        self._sids = {}     # (client port, server port): the ClientHello's session id
        self._stop = threading.Event()
        self._sock = None
        self._thread = None

    def __enter__(self):
        self._sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
        self._sock.bind(("lo", 0))
        self._sock.settimeout(0.2)
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        self._sock.close()
        return False

    def count(self, port):
        return dict(self.counts.get(port, {"full": 0, "resumed": 0, "offered": 0}))

    def _loop(self):
        while not self._stop.is_set():
            try:
                data, addr = self._sock.recvfrom(4096)   # the hellos are in the first bytes
            except socket.timeout:
                continue
            except OSError:
                return
            if addr[2] == PACKET_HOST:
                try:
                    self._packet(data)
                except (IndexError, struct.error):
                    pass  # a record cut short by the bytes read: not a hello we need

    def _packet(self, data):
        ip = data[14:]
        if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
            return
        tcp = ip[(ip[0] & 15) * 4:]
        sport, dport = struct.unpack_from("!HH", tcp, 0)
        payload = tcp[(tcp[12] >> 4) * 4:]
        # A handshake record whose first message is a hello.
        if len(payload) < 9 or payload[0] != 0x16 or payload[1] != 3 or payload[5] not in (1, 2):
            return
        body = payload[9:]
        if payload[5] == 1:
            sid, offers = client_hello(body)
            self._sids[(sport, dport)] = sid
            if offers:
                self._entry(dport)["offered"] += 1
        else:
            kind = server_hello(body, self._sids.pop((dport, sport), b""))
            if kind:
                self._entry(sport)[kind] += 1

    def _entry(self, port):
        return self.counts.setdefault(port, {"full": 0, "resumed": 0, "offered": 0})
