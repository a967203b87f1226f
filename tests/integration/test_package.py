"""What an admin installs: `cmake --install` into a staging folder (every file where it belongs,
the units and desktop entries naming the programs under the prefix given), the systemd units
checked by systemd-analyze, the man pages against the programs' own --help, the programs under
the units' memory rule, and the Debian package built from this build: checked by lintian,
installed with dpkg on this machine, its programs, units, man pages and user looked at, and
purged again so that the machine is left as it was."""

import fcntl
import os
import poplib
import pwd
import re
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

from conftest import build_dir, program, source_dir
from halvexproc import Halvex
from peers import Command, Dovecot, Nginx

# program: (its folder under the prefix, its man page's section)
PROGRAMS = {"halvex": ("bin", 1), "morrent": ("bin", 1), "quessel": ("sbin", 8)}
UNITS = ["halvex.service", "quessel.service", "morrent@.service", "morrent@.timer"]
ICON_SIZES = ["16x16", "32x32", "48x48", "256x256"]
RUN_LIMIT = 60
# How long to wait for another package run (another worktree's tests, an apt-get) to finish.
LOCK_WAIT = 300


def expected_files(prefix="usr", unitdir="lib/systemd/system", confdir="etc/tessaruno"):
    files = {f"{unitdir}/{u}" for u in UNITS}
    files |= {f"{confdir}/halvex.conf", f"{confdir}/quessel.conf", f"{confdir}/morrent.conf"}
    files |= {f"{prefix}/lib/sysusers.d/tessaruno.conf",
              f"{prefix}/share/doc/tessaruno/changelog.gz",
              f"{prefix}/share/doc/tessaruno/copyright",
              f"{prefix}/share/doc/tessaruno/examples/morrent-instance.conf"}
    for name, (bindir, section) in PROGRAMS.items():
        files.add(f"{prefix}/{bindir}/{name}")
        files.add(f"{prefix}/share/man/man{section}/{name}.{section}.gz")
        files.add(f"{prefix}/share/applications/{name}.desktop")
        files.add(f"{prefix}/share/icons/hicolor/scalable/apps/{name}.svg")
        files |= {f"{prefix}/share/icons/hicolor/{s}/apps/{name}.png" for s in ICON_SIZES}
    return files


def files_under(root):
    return {str(p.relative_to(root)) for p in Path(root).rglob("*") if not p.is_dir()}


def install(root, prefix):
    env = dict(os.environ, DESTDIR=str(root))
    r = subprocess.run(["cmake", "--install", str(build_dir()), "--prefix", prefix], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return Path(root)


def unit_value(path, key):
    """Every value of `key` in a unit file, in order."""
    return [line.split("=", 1)[1] for line in Path(path).read_text().splitlines()
            if line.startswith(key + "=")]


def cache_value(name):
    for line in (build_dir() / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return ""


def headless_env(tmp_path):
    tmp_path.mkdir(mode=0o700, parents=True, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_CONFIG_HOME=str(tmp_path), XDG_RUNTIME_DIR=str(tmp_path))
    return env


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    """The project installed with the prefix /usr into a staging folder."""
    return install(tmp_path_factory.mktemp("destdir"), "/usr")


# --------------------------------------------------------------------------------------------
# cmake --install


def test_install_lays_out_every_file(staged):
    assert files_under(staged) == expected_files()
    programs = {f"usr/{bindir}/{name}" for name, (bindir, _) in PROGRAMS.items()}
    for path in expected_files():
        mode = os.stat(staged / path).st_mode & 0o777
        assert mode == (0o755 if path in programs else 0o644), path


def test_units_and_desktop_entries_name_the_programs_under_the_prefix_given(tmp_path):
    root = install(tmp_path, "/opt/tessaruno")
    assert files_under(root) == expected_files("opt/tessaruno", "opt/tessaruno/lib/systemd/system",
                                               "opt/tessaruno/etc/tessaruno")
    units = root / "opt/tessaruno/lib/systemd/system"
    starts = {u: unit_value(units / u, "ExecStart") for u in UNITS if u.endswith(".service")}
    assert starts == {
        "halvex.service": ["/opt/tessaruno/bin/halvex --config /opt/tessaruno/etc/tessaruno/halvex.conf "
                           "--start $HALVEX_OPTIONS"],
        "quessel.service": ["/opt/tessaruno/sbin/quessel --config /opt/tessaruno/etc/tessaruno/quessel.conf "
                            "$QUESSEL_OPTIONS"],
        "morrent@.service": ["/opt/tessaruno/bin/morrent --config %d/morrent.conf --password-file %d/password "
                             "${POPSERVER} ${LOGIN} ${DELETEFLAG} $FORWARDADDRESS"]}
    # Its settings file is a credential with an empty default: a machine without it still fetches.
    morrent = units / "morrent@.service"
    assert "morrent.conf:/opt/tessaruno/etc/tessaruno/morrent.conf" in unit_value(morrent, "LoadCredential")
    assert unit_value(morrent, "SetCredential") == ["morrent.conf:# no settings file: the defaults"]
    for name, (bindir, _) in PROGRAMS.items():
        entry = root / f"opt/tessaruno/share/applications/{name}.desktop"
        assert f"Exec=/opt/tessaruno/{bindir}/{name}\n" in entry.read_text()


def test_systemd_accepts_every_unit(staged, tmp_path):
    # systemd-analyze resolves everything under --root: the targets the units are ordered
    # after, the programs they start and the man pages they name.
    root = tmp_path / "root"
    shutil.copytree(staged, root, symlinks=True)
    for unit in Path("/lib/systemd/system").iterdir():
        if (unit.is_symlink() or unit.is_file()) and not (root / "lib/systemd/system" /
                                                          unit.name).exists():
            shutil.copy(unit, root / "lib/systemd/system", follow_symlinks=False)
    (root / "bin").mkdir()
    shutil.copy("/bin/kill", root / "bin/kill")
    env = dict(os.environ, MANPATH=str(root / "usr/share/man"))
    r = subprocess.run(["systemd-analyze", "verify", f"--root={root}",
                        *[f"/lib/systemd/system/{u}" for u in UNITS]],
                       env=env, capture_output=True, text=True, timeout=120)
    # It also warns about unknown keys and bad values, with status 0.
    assert (r.returncode, r.stdout + r.stderr) == (0, "")


@pytest.mark.parametrize("name", ["halvex", "quessel", "morrent"])
def test_example_settings_files_use_only_names_the_programs_read(staged, name, tmp_path):
    example = staged / "etc/tessaruno" / f"{name}.conf"
    # As installed, every value commented out: good settings (a start then says what it lacks).
    env = headless_env(tmp_path)
    r = subprocess.run([str(program(name)), "--config", str(example), "--check-config"],
                       env=env, capture_output=True, text=True, timeout=RUN_LIMIT)
    assert (r.returncode, r.stderr) == (0, ""), r.stderr
    # Every example value taken: each name is one the program reads, each value one it takes.
    uncommented = tmp_path / f"{name}.conf"
    uncommented.write_text("".join(line[1:] if re.match(r"#[a-z]+ = ", line) else line
                                   for line in example.read_text().splitlines(True)))
    r = subprocess.run([str(program(name)), "--config", str(uncommented), "--check-config"],
                       env=env, capture_output=True, text=True, timeout=RUN_LIMIT)
    value_problems = [l for l in r.stderr.splitlines()
                      if re.search(re.escape(str(uncommented)) + r":\d+: ", l)]
    assert value_problems == []
    if name == "halvex":
        assert r.returncode == 0, r.stderr


def help_options(name):
    r = subprocess.run([str(program(name)), "--help"], capture_output=True, text=True,
                       timeout=RUN_LIMIT)
    assert r.returncode == 0, r.stderr
    return set(re.findall(r"^  (--[a-z][a-z-]*)", r.stdout, re.M))


def page_options(page):
    """The options the OPTIONS section of a man page (roff source) describes."""
    text = Path(page).read_text()
    section = re.search(r"^\.SH OPTIONS\n(.*?)^\.SH ", text, re.S | re.M).group(1)
    tags = re.findall(r"^\.TP\n\.BI? (\\-\\-[a-z\\-]+)", section, re.M)
    return {t.replace("\\-", "-") for t in tags}


@pytest.mark.parametrize("name", ["halvex", "morrent", "quessel"])
def test_man_page_describes_every_option_the_program_has(name):
    section = PROGRAMS[name][1]
    page = source_dir() / "packaging" / "man" / f"{name}.{section}.in"
    assert page_options(page) == help_options(name)


# --------------------------------------------------------------------------------------------
# the programs under the units' rules


MDWE = ("import ctypes, os, sys\n"
        "if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0: sys.exit('no PR_SET_MDWE here')\n"
        "os.execv(sys.argv[1], sys.argv[1:])")
NO_WRITABLE_CODE = ["python3", "-c", MDWE]


def memory_rule_available():
    # PR_SET_MDWE (Linux 6.3): what MemoryDenyWriteExecute= asks of a service, for one process.
    r = subprocess.run([*NO_WRITABLE_CODE, "/bin/true"], capture_output=True, timeout=30)
    return r.returncode == 0


def test_programs_work_without_writable_code(start_peer, tmp_path):
    """MemoryDenyWriteExecute= refuses memory that is both writable and executable: each program
    does its real work so, as its unit runs it."""
    if not memory_rule_available():
        pytest.skip("this kernel has no PR_SET_MDWE")
    mail = b"From: a@example.org\nTo: alice@example.org\nSubject: one\n\nbody\n"
    dovecot = start_peer(Dovecot, mail={"alice": [mail]})
    origin = start_peer(Nginx, files={"page.html": b"<p>through</p>"})

    # halvex relays a request to the origin as to an upstream proxy.
    relay = start_peer(Halvex, upstream=origin.address(), wrap=NO_WRITABLE_CODE)
    with socket.create_connection(relay.address(), timeout=RUN_LIMIT) as s:
        s.sendall(f"GET http://{origin.host}:{origin.port}/page.html HTTP/1.0\r\n"
                  f"Host: {origin.host}:{origin.port}\r\n\r\n".encode())
        reply = b""
        while chunk := s.recv(65536):
            reply += chunk
    assert reply.startswith(b"HTTP/1.1 200") and reply.endswith(b"<p>through</p>")

    # quessel routes a login to dovecot.
    env = headless_env(tmp_path / "quessel")
    proxy = Command(tmp_path / "quessel", [*NO_WRITABLE_CODE, str(program("quessel")),
                                           "--port", "{port}", "--bind", "{host}",
                                           "--server-port", str(dovecot.port),
                                           "--allow-servers", "127.0.0.0/8"], name="quessel")
    proxy.env = env
    proxy.start()
    try:
        pop = poplib.POP3(proxy.host, proxy.port, timeout=RUN_LIMIT)
        pop.user(f"alice|{dovecot.host}")
        pop.pass_("secret")
        assert pop.stat()[0] == 1
        pop.quit()
    finally:
        proxy.stop()

    # morrent fetches the mailbox into its pickup folder, reading the message with GMime.
    env = headless_env(tmp_path / "morrent")
    env["XDG_DATA_HOME"] = str(tmp_path / "morrent-data")
    r = subprocess.run([*NO_WRITABLE_CODE, str(program("morrent")),
                        f"{dovecot.host}:{dovecot.port}", "alice", "secret", "0"], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_LIMIT)
    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith(b"morrent: run ") and b" outcome=ok " in r.stderr, r.stderr
    assert len(list((tmp_path / "morrent-data/tessaruno/pickup/new").iterdir())) == 1


# --------------------------------------------------------------------------------------------
# the Debian package


def dpkg(*args):
    """dpkg, waiting while another program (apt-get, another test run) holds its lock."""
    deadline = time.monotonic() + LOCK_WAIT
    while True:
        r = subprocess.run(["dpkg", *args], capture_output=True, text=True, timeout=300,
                           env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if r.returncode == 0 or "locked by another process" not in r.stderr:
            return r
        if time.monotonic() > deadline:
            return r
        time.sleep(2)


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    """The .deb cpack makes from this build, in a folder of its own."""
    if cache_value("TESSARUNO_SANITIZE") == "ON":
        pytest.skip("the package is made from the plain build, not a sanitizer build")
    out = tmp_path_factory.mktemp("cpack")
    r = subprocess.run(["cpack", "--config", str(build_dir() / "CPackConfig.cmake"),
                        "-B", str(out)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    debs = list(out.glob("*.deb"))
    assert len(debs) == 1, r.stdout
    return debs[0]


def test_package_keeps_the_admins_settings_files(deb):
    r = subprocess.run(["dpkg-deb", "--info", str(deb), "conffiles"], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert set(r.stdout.split()) == {"/etc/tessaruno/halvex.conf", "/etc/tessaruno/quessel.conf",
                                     "/etc/tessaruno/morrent.conf"}


def test_lintian_finds_nothing_to_fix(deb):
    r = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)], capture_output=True,
                       text=True, timeout=300)
    tags = [line for line in r.stdout.splitlines() if re.match(r"[EW]: ", line)]
    assert (r.returncode, tags) == (0, [])


def test_package_has_our_version_and_depends_on_the_libraries_the_programs_load(deb):
    field = subprocess.run(["dpkg-deb", "--field", str(deb), "Depends"], capture_output=True,
                           text=True, check=True, timeout=60).stdout
    depends = {d.split()[0] for d in field.replace("|", ",").split(",")}
    assert {"libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "libgmime-3.0-0",
            "libc6", "qt6-qpa-plugins", "adduser"} <= depends
    version = subprocess.run(["dpkg-deb", "--field", str(deb), "Version"], capture_output=True,
                             text=True, check=True, timeout=60).stdout.strip()
    assert version == cache_value("CMAKE_PROJECT_VERSION")


def user_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


@pytest.fixture(scope="module")
def installed(deb):
    """The package installed on this machine for the tests of this module, then purged; the
    user it created is removed again when it was not there before."""
    if os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    lock = open("/tmp/tessaruno-package-test.lock", "a")
    deadline = time.monotonic() + LOCK_WAIT
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            break
        except BlockingIOError:
            if time.monotonic() > deadline:
                pytest.fail("another run of the package tests holds the lock", pytrace=False)
            time.sleep(1)
    try:
        status = dpkg("-s", "tessaruno")
        if status.returncode == 0 and "Status: install ok installed" in status.stdout:
            pytest.fail("tessaruno is installed on this machine already; the tests install and "
                        "purge their own build (dpkg -P tessaruno first)", pytrace=False)
        if os.path.exists("/var/lib/tessaruno"):
            pytest.fail("/var/lib/tessaruno exists, and purging the package would remove it",
                        pytrace=False)
        had_user = user_exists("tessaruno")
        try:
            r = dpkg("-i", str(deb))
            assert r.returncode == 0, r.stdout + r.stderr
            listed = dpkg("-L", "tessaruno").stdout.split()
            yield {"files": [p for p in listed if os.path.isfile(p)]}
        finally:
            dpkg("-P", "tessaruno")
            if not had_user:
                for command in (["userdel", "tessaruno"], ["groupdel", "tessaruno"]):
                    subprocess.run(command, capture_output=True, timeout=60)
    finally:
        lock.close()


@pytest.mark.parametrize("name", ["halvex", "quessel", "morrent"])
def test_installed_programs_answer_help_and_version(installed, name, tmp_path):
    path = f"/usr/{PROGRAMS[name][0]}/{name}"
    assert path in installed["files"]
    env = headless_env(tmp_path)
    version = subprocess.run([path, "--version"], env=env, capture_output=True, text=True,
                             timeout=RUN_LIMIT)
    assert (version.returncode, version.stdout) == (
        0, f"{name} {cache_value('CMAKE_PROJECT_VERSION')}\n")
    usage = subprocess.run([path, "--help"], env=env, capture_output=True, text=True,
                           timeout=RUN_LIMIT)
    assert usage.returncode == 0 and usage.stdout.startswith(f"usage: {name}")


def test_installed_units_start_the_installed_programs(installed):
    for unit in UNITS:
        assert f"/lib/systemd/system/{unit}" in installed["files"]
    starts = {u: unit_value(f"/lib/systemd/system/{u}", "ExecStart")[0].split()[0]
              for u in ("halvex.service", "quessel.service", "morrent@.service")}
    assert starts == {"halvex.service": "/usr/bin/halvex", "quessel.service": "/usr/sbin/quessel",
                      "morrent@.service": "/usr/bin/morrent"}
    for program_path in starts.values():
        assert program_path in installed["files"] and os.access(program_path, os.X_OK)
    r = subprocess.run(["systemd-analyze", "verify", *[f"/lib/systemd/system/{u}" for u in UNITS]],
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout + r.stderr) == (0, "")


def test_installed_man_pages_render_without_a_warning(installed):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    for name, (_, section) in PROGRAMS.items():
        page = f"/usr/share/man/man{section}/{name}.{section}.gz"
        assert page in installed["files"]
        checked = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                                 env=env, capture_output=True, text=True, timeout=60)
        assert (checked.returncode, checked.stderr) == (0, ""), page
        shown = subprocess.run(["man", "-l", page], env=env, capture_output=True, text=True,
                               timeout=60)
        assert shown.returncode == 0
        assert re.search(rf"^NAME\n\s+{name}\s+-\s+\S", shown.stdout, re.M), shown.stdout[:300]
        assert re.search(r"^EXIT STATUS$", shown.stdout, re.M)


def test_installed_desktop_entries_start_the_programs_with_their_icons(installed):
    for name, (bindir, _) in PROGRAMS.items():
        entry = f"/usr/share/applications/{name}.desktop"
        r = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True,
                           timeout=60)
        assert (r.returncode, r.stdout + r.stderr) == (0, "")
        text = Path(entry).read_text()
        assert f"Exec=/usr/{bindir}/{name}\n" in text and f"Icon={name}\n" in text
        assert f"/usr/share/icons/hicolor/scalable/apps/{name}.svg" in installed["files"]


def test_install_made_the_services_user_and_their_state_folder(installed):
    user = pwd.getpwnam("tessaruno")
    assert user.pw_dir == "/var/lib/tessaruno"
    assert user.pw_shell in ("/usr/sbin/nologin", "/sbin/nologin")
    assert user.pw_uid < 1000
    state = os.stat("/var/lib/tessaruno")
    assert (state.st_uid, state.st_mode & 0o777) == (user.pw_uid, 0o750)


def test_purge_leaves_nothing_behind(installed):
    r = dpkg("-P", "tessaruno")
    assert r.returncode == 0, r.stdout + r.stderr
    assert [p for p in installed["files"] if os.path.lexists(p)] == []
    assert not os.path.exists("/var/lib/tessaruno")
    assert dpkg("-s", "tessaruno").returncode != 0
