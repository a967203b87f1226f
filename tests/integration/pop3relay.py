"""A relay between a POP3 client under test and a real server, on 127.0.0.1, that records what
the client sends and cuts or holds the connection at a chosen point (see Relay)."""

import select
import socket
import time

from loopserver import RUN_LIMIT, SequentialServer


class Relay(SequentialServer):
    """A relay on 127.0.0.1 to a POP3 server, one connection at a time, recording what the
    client sends (`transcripts`, one per connection).

    When `trigger` (bytes of the client's stream; None: the start of the connection) has gone by,
    `hook` runs, and the connection is cut according to `cut`:
      None          not cut
      "now"         before the chunk holding the trigger reaches the server
      an int n      the trigger reaches the server and n more bytes of its answer reach the client
      "server-end"  the trigger reaches the server, its answers are dropped, and the connection is
                    cut once the server has ended it
    With `marker` (bytes of the server's stream) instead, the server's answers reach the client
    up to the end of the marker, then `hook` runs, then the connection is cut when `cut` is
    "marker" or goes on otherwise. The client asks for several messages at once when the server
    offers pipelining, so a point in the middle of a message is a point in the server's stream.
    A cut closes the client's connection (with a reset when `hard`) and the server's. A hook that
    waits holds the stream where it stands. With `once`, only the first connection is armed;
    later ones pass unchanged.

    `refuse` (a command such as b"uidl") is answered by the relay itself with -ERR, as a server
    that does not know it would."""

    def __init__(self, target, trigger=None, cut=None, hook=None, hard=False, marker=None,
                 once=False, refuse=None):
        self.target = target
        self.trigger, self.cut, self.hook, self.hard = trigger, cut, hook, hard
        self.marker, self.once, self.refuse = marker, once, refuse
        self.transcripts = []
        self.cuts = 0
        super().__init__()

    def serve(self, client):
        with socket.create_connection(self.target, timeout=RUN_LIMIT) as upstream:
            self._relay(client, upstream)

    def _cutnow(self, client, upstream):
        self.cuts += 1
        if self.hard:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                              b"\x01\x00\x00\x00\x00\x00\x00\x00")
        client.close()
        upstream.close()

    def _relay(self, client, upstream):
        record = b""
        self.transcripts.append(record)
        trigger, marker, cut, hook = self.trigger, self.marker, self.cut, self.hook
        if self.once and len(self.transcripts) > 1:
            trigger = marker = cut = hook = None
        armed = trigger is None and marker is None
        passed = 0
        answers = b""  # the tail of the server's stream, to find a marker cut across chunks
        if armed:
            if hook:
                hook()
            if cut == "now":
                return self._cutnow(client, upstream)
        open_ends = {client, upstream}
        deadline = time.monotonic() + RUN_LIMIT
        while open_ends and time.monotonic() < deadline:
            ready, _, _ = select.select(list(open_ends), [], [], 0.5)
            if client in ready:
                data = client.recv(65536)
                if not data:
                    open_ends.discard(client)
                    upstream.shutdown(socket.SHUT_WR)
                else:
                    record += data
                    self.transcripts[-1] = record
                    if self._refused(client, data):
                        continue
                    if not armed and trigger is not None and trigger in record:
                        armed = True
                        if hook:
                            hook()
                        if cut == "now":
                            return self._cutnow(client, upstream)
                    upstream.sendall(data)
            if upstream in ready:
                data = upstream.recv(65536)
                if data and marker is not None and not armed:
                    seen = answers + data
                    at = seen.find(marker)
                    if at < 0:
                        answers = seen[-len(marker):]
                        client.sendall(data)
                        continue
                    upto = at + len(marker) - len(answers)
                    client.sendall(data[:upto])
                    armed = True
                    if hook:
                        hook()
                    if cut == "marker":
                        return self._cutnow(client, upstream)
                    data = data[upto:]
                    if not data:
                        continue
                if not data:
                    if armed and cut == "server-end":
                        return self._cutnow(client, upstream)
                    open_ends.discard(upstream)
                    client.shutdown(socket.SHUT_WR)
                elif armed and isinstance(cut, int):
                    room = cut - passed
                    client.sendall(data[:room])
                    passed += min(room, len(data))
                    if passed >= cut:
                        return self._cutnow(client, upstream)
                elif not (armed and cut == "server-end"):
                    client.sendall(data)

    def _refused(self, client, data):
        if self.refuse is None or data.lower() != self.refuse + b"\r\n":
            return False
        client.sendall(b"-ERR Unknown command: " + self.refuse.upper() + b"\r\n")
        return True
