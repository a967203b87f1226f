"""Fixtures for the integration tests: the built programs and the real peers on loopback.

    def test_fetch(dovecot, postfix, local_user):
        subprocess.run([program("morrent"), ...])

    def test_two_servers(start_peer):
        a = start_peer(Dovecot, mail={"alice": [...]})
        b = start_peer(Dovecot, host="127.0.0.2", port=a.port)

The peers themselves are in peers.py (importable from the tests as `peers`).
"""

import fcntl
import os
from pathlib import Path

import pytest

from peers import Dovecot, Nginx, Postfix, Tinyproxy
from pop3relay import Relay

HERE = Path(__file__).resolve().parent


def build_dir():
    value = os.environ.get("TESSARUNO_BUILD_DIR")
    if not value:
        pytest.fail("TESSARUNO_BUILD_DIR is not set: run the integration tests through ctest, "
                    "or set it to the build folder", pytrace=False)
    return Path(value)


def source_dir():
    return Path(os.environ.get("TESSARUNO_SOURCE_DIR") or HERE.parent.parent)


def program(name):
    """Path of a built program, $TESSARUNO_BUILD_DIR/<name>/<name>. A missing binary fails
    the test (it is a build fault, not a reason to skip)."""
    path = build_dir() / name / name
    if not (path.is_file() and os.access(path, os.X_OK)):
        pytest.fail(f"program {name} is not built: {path} is missing", pytrace=False)
    return path


@pytest.fixture(autouse=True)
def private_state(tmp_path, monkeypatch):
    """Every program a test starts keeps its state (morrent's locks and records of delivered
    messages) in the test's own folder, never in the user's."""
    state = tmp_path / "state"
    monkeypatch.setenv("XDG_STATE_HOME", str(state))
    return state


@pytest.fixture
def programs():
    """The program() helper as a fixture: programs("halvex") -> path."""
    return program


@pytest.fixture
def program_env(tmp_path):
    """An environment for running a program: its settings and registry file in a private
    folder, Qt's offscreen platform."""
    config = tmp_path / "config"
    config.mkdir(exist_ok=True)
    env = dict(os.environ)
    env.update(XDG_CONFIG_HOME=str(config), QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


@pytest.fixture
def start_peer(tmp_path):
    """start_peer(PeerClass, **options) starts a peer in its own folder under tmp_path; every
    peer started this way is stopped at the end of the test, last started first."""
    started = []
    counts = {}

    def start(cls, **options):
        n = counts.get(cls.name, 0) + 1
        counts[cls.name] = n
        peer = cls(tmp_path / f"{cls.name}{n}", **options)
        peer.start()
        started.append(peer)
        return peer

    yield start
    errors = []
    for peer in reversed(started):
        try:
            peer.stop()
        except Exception as exc:  # stop the others anyway
            errors.append(exc)
    if errors:
        raise errors[0]


@pytest.fixture
def relay():
    """relay(target, ...) starts a pop3relay.Relay to target; each is closed at the end."""
    made = []

    def make(*args, **kwargs):
        made.append(Relay(*args, **kwargs))
        return made[-1]

    yield make
    for r in made:
        r.close()


@pytest.fixture
def dovecot(start_peer):
    """dovecot on 127.0.0.1 with the user alice (password "secret") and an empty mailbox."""
    return start_peer(Dovecot)


@pytest.fixture
def nginx(start_peer):
    """nginx with an empty site; add pages with nginx.put("a.html", b"...")."""
    return start_peer(Nginx)


@pytest.fixture
def tinyproxy(start_peer):
    """tinyproxy with no upstream proxy."""
    return start_peer(Tinyproxy)


@pytest.fixture(scope="session")
def postfix():
    """The machine's postfix on 127.0.0.1:25, for the whole test run."""
    with Postfix() as mta:
        yield mta


@pytest.fixture
def local_user(postfix):
    """A local user with an empty mailbox: "tessa". Tests in other processes that use the
    same mailbox wait for this one to end."""
    user = postfix.ensure_user("tessa")
    with open(f"/tmp/tessaruno-mailbox-{user}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        postfix.clear_mailbox(user)
        yield user
