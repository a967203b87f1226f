"""halvex run as a server for the tests: its registry file prepared beforehand, started with
--start so that it listens as if "start" had been pressed, on 127.0.0.1 only."""

import os
import socket
from pathlib import Path

from conftest import program
from peers import Peer


def write_registry(config_dir, values):
    """The settings store file halvex reads, with the given values under the tool's key."""
    path = Path(config_dir) / "tessaruno" / "registry.ini"
    path.parent.mkdir(parents=True, exist_ok=True)
    # A value of None is left out, as on a fresh machine.
    lines = ["[HKLM\\SOFTWARE\\Tessaruno]"] + [f"{k}={v}" for k, v in values.items()
                                                 if v is not None]
    path.write_text("\n".join(lines) + "\n")
    os.chmod(path, 0o600)
    return path


class Halvex(Peer):
    """halvex relaying to upstream=(host, port). settings are extra registry values (debug,
    cookie, headerfilter, empty, pic); block is a list of block-list entries; args are further
    command-line options; program_path runs another build's halvex."""

    name = "halvex"

    def __init__(self, tmpdir, upstream, settings=None, block=(), host="127.0.0.1", port=None,
                 env=None, program_path=None, args=(), wrap=()):
        super().__init__(tmpdir, host, port)
        self.program_path = program_path
        self.extra_env = dict(env or {})
        self.upstream = upstream
        self.settings = dict(settings or {})
        self.block = list(block)
        self.args = list(args)
        self.wrap = list(wrap)  # a command that runs halvex (prlimit ... --)
        self.config = self.dir / "config"

    def configure(self):
        values = {"plistenport": self.port, "proxyip": self.upstream[0],
                  "proxyport": self.upstream[1], "debug": "0"}
        values.update(self.settings)
        write_registry(self.config, values)
        cmd = [*self.wrap, str(self.program_path or program("halvex")), "--start", "--bind", self.host]
        for entry in self.block:
            cmd += ["--block", entry]
        return cmd + self.args

    def start(self):
        env = dict(os.environ, XDG_CONFIG_HOME=str(self.config), QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(self.extra_env)  # a display of the caller's, for one
        self.env = env
        return super().start()

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def rss_kib(self):
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def connect(self, timeout=10.0):
        s = socket.create_connection((self.host, self.port), timeout=timeout)
        return s
