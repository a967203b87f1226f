"""An SMTP server on 127.0.0.1 for a client under test: it keeps every message it accepts, with
its recipients, and can refuse one message or run a step right after confirming one."""

from loopserver import RUN_LIMIT, SequentialServer


class ScriptedMta(SequentialServer):
    """Serves one connection after another; EHLO offers PIPELINING unless `pipelining` is off.

    refuse=k, stage="rcpt" or "data": the k-th transaction (counted from 1) is refused at that
    stage, every other one accepted. after=(k, step): step() runs right after the 250 for the k-th
    accepted message (a crash there is the race between the MTA's confirmation and the client's
    record of it).

    accepted: the texts, dot-stuffing undone; rcpts: each accepted message's recipients; commands:
    the first word of every command."""

    def __init__(self, refuse=None, stage="rcpt", pipelining=True, after=None):
        self.refuse, self.stage, self.pipelining, self.after = refuse, stage, pipelining, after
        self.accepted, self.rcpts, self.commands = [], [], []
        super().__init__()

    def serve(self, conn):
        conn.settimeout(RUN_LIMIT)
        lines = conn.makefile("rb")
        conn.sendall(b"220 mta.test ESMTP\r\n")
        transaction = 0
        rcpts = []
        while True:
            line = lines.readline()
            if not line:
                return
            word = line[:4].upper()
            self.commands.append(word)
            refused = transaction == self.refuse
            if word == b"EHLO" and self.pipelining:
                conn.sendall(b"250-mta.test\r\n250 PIPELINING\r\n")
            elif word == b"MAIL":
                transaction += 1
                rcpts = []
                conn.sendall(b"250 ok\r\n")
            elif word == b"RCPT":
                if refused and self.stage == "rcpt":
                    conn.sendall(b"550 5.1.1 no such user\r\n")
                else:
                    rcpts.append(line[8:].strip().strip(b"<>").decode())
                    conn.sendall(b"250 ok\r\n")
            elif word == b"DATA":
                conn.sendall(b"354 go on\r\n")
                text = b""
                while True:
                    l = lines.readline()
                    if not l or l == b".\r\n":
                        break
                    text += l[1:] if l.startswith(b".") else l
                if refused and self.stage == "data":
                    conn.sendall(b"554 5.6.0 message refused\r\n")
                    continue
                self.accepted.append(text)
                self.rcpts.append(rcpts)
                conn.sendall(b"250 queued\r\n")
                if self.after and self.after[0] == len(self.accepted):
                    self.after[1]()
            elif word == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:  # EHLO without PIPELINING, HELO, RSET, NOOP
                conn.sendall(b"250 mta.test\r\n")
