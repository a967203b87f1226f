"""The part the scripted servers of the tests share: a listener on 127.0.0.1 on a free port whose
thread serves one connection after another (serve(conn) in a subclass) until close(), and at most
for a bounded time."""

import socket
import threading
import time

RUN_LIMIT = 60


class SequentialServer:
    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    @property
    def server(self):
        return f"127.0.0.1:{self.port}"

    def serve(self, conn):
        raise NotImplementedError

    def _accept(self):
        deadline = time.monotonic() + RUN_LIMIT * 4
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            try:
                self.serve(conn)
            except OSError:
                pass
            finally:
                conn.close()

    def close(self):
        self.stop.set()
        self.thread.join(RUN_LIMIT)
        self.listener.close()
