#!/usr/bin/env python3
"""Fetch benchmark: morrent's downloads against fetchmail and two bare POP3 clients.

One dovecot on loopback, run at its best (see peers.Dovecot), holds a mailbox of COUNT messages of
SIZE bytes (on tmpfs, so that its own files never wait for the disk). Each round, the contenders
take turns downloading the whole mailbox (nothing is deleted); every time is a whole process,
start-up included:

  popload       the benchmark's C client (bench/pop3proxy/popload.c): STAT, then one RETR at a
                time, the certificate checked under --tls; delivers nothing. The ceiling of a
                client that waits for each message.
  popload-piped the same with 16 RETRs sent ahead (POP3 pipelining, which morrent uses when the
                server offers it): the ceiling of a client that does not wait
  poplib        Python's poplib: LIST, then RETR of every message; delivers nothing
  fm-files      fetchmail --keep --all with an MDA that writes one file per message: a shell for
                every message, which is what fetchmail does with an MDA
  fm-bsmtp      fetchmail --bsmtp FILE: every message into one file, no process per message
                (fetchmail's ceiling when it writes files)
  pickup-disk   morrent into its pickup folder on the machine's disk (--disk-dir): durable, every
                file and the folder synced before the session ends. What users get.
  pickup-tmpfs  the same into a folder on tmpfs (--tmpfs-dir): the syncs cost nothing, so this is
                the program itself
  fm-smtp       fetchmail into postfix over SMTP (its own forwarding)
  fm-sendmail   fetchmail into postfix through the sendmail MDA: a process per message
  smtp          morrent over SMTP into the same postfix (each message confirmed by its 250)

morrent is the program itself, started as cron starts it, with its settings, lock and record of
delivered messages in a fresh folder for every run (keep mode would otherwise fetch nothing new).
The postfix contenders talk to a postfix of the benchmark's own: its configuration, queue and mail
spool in the work folder and its SMTP listener on a port of --ports (the machine's postfix and
port 25 are left alone); it runs only when one of them is a contender. The time of a postfix
contender ends when its fetch does; postfix's local deliveries are waited for afterwards, untimed.

It prints, for each contender, the median messages/s with the range over the rounds, and the
median seconds of the run: wall, the client's user and system CPU (its child processes
included), dovecot's and postfix's CPU, and what bounds it. Then the ratios the targets are stated
in, once for each pickup folder, and the peak RSS of fetching one message of BIG bytes against the
message size.

    bench/fetch.py --build build                              # 2000 messages of 20 KiB
    bench/fetch.py --build build --count 200 --size 2048      # 200 of 2 KiB
    [--rounds 5] [--big-mib 50] [--only popload,pickup-disk] [--tls] [--ports FROM-TO]
    [--disk-dir /var/tmp] [--tmpfs-dir /dev/shm]

--tls: the same over POP3S (TLS from the first byte, certificates from a test authority made for
the run and checked by every client): popload with the authority, poplib.POP3_SSL, fetchmail --ssl
with --sslcertck, morrent from pop3s://localhost:PORT; the postfix contenders are left out unless
--only names them.

Runs as root (postfix and dovecot's mail user). Every server listens on 127.0.0.1 and is stopped
by PID when the benchmark ends.
"""

import argparse
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))
sys.path.insert(0, str(HERE))

import benchlib  # noqa: E402
from peers import Dovecot, PeerError, split_mbox, wait_port  # noqa: E402

RUN_TIMEOUT = 600
BENCH_USER = "tessbench"
ALL = ["popload", "popload-piped", "poplib", "fm-files", "fm-bsmtp", "pickup-disk", "pickup-tmpfs", "fm-smtp",
       "fm-sendmail", "smtp"]
TO_POSTFIX = ("fm-smtp", "fm-sendmail", "smtp")
WHAT = {
    "popload": "C client, delivers nothing",
    "popload-piped": "C client, 16 RETRs ahead, delivers nothing",
    "poplib": "Python poplib, delivers nothing",
    "fm-files": "fetchmail, MDA: a shell per message",
    "fm-bsmtp": "fetchmail --bsmtp, one file",
    "pickup-disk": "morrent, pickup folder on disk",
    "pickup-tmpfs": "morrent, pickup folder on tmpfs",
    "fm-smtp": "fetchmail to postfix, SMTP",
    "fm-sendmail": "fetchmail to postfix, sendmail MDA",
    "smtp": "morrent to postfix, SMTP",
}


def message(n, size):
    head = (f"Message-Id: <bench{n}@tessaruno.test>\r\nDate: Mon, 01 Jan 2024 10:00:00 +0000\r\n"
            f"From: Bench <bench@example.org>\r\nTo: {BENCH_USER}@localhost\r\n"
            f"Subject: message {n}\r\n\r\n").encode()
    line = (f"line of message {n} " + "abcdefghijklmnopqrstuvwxyz" * 3)[:76].encode() + b"\r\n"
    body = line * ((size - len(head)) // len(line) + 1)
    return head + body[: size - len(head)]


def peak_rss_kib(pid):
    """The process's own high-water RSS (VmHWM). rusage's maxrss is no use here: a child started
    from this (large) Python process inherits the parent's figure across exec."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run(cmd, env=None, cwd=None):
    """Runs a command; returns (wall s, user s, system s, peak RSS KiB, exit status, stderr), the
    CPU of the child processes it waited for included."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=env, cwd=cwd)
    deadline = start + RUN_TIMEOUT
    rss = 0
    while True:
        # The high-water mark only grows, so the last reading before the process ends is its
        # peak (a zombie has no memory figures left to read).
        rss = max(rss, peak_rss_kib(proc.pid))
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            proc.kill()
            pid, status, usage = os.wait4(proc.pid, 0)
            break
        time.sleep(0.002)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    return wall, usage.ru_utime, usage.ru_stime, rss, proc.returncode, err


BARE = r"""
import poplib, ssl, sys
if len(sys.argv) > 3:
    p = poplib.POP3_SSL(sys.argv[1], int(sys.argv[2]),
                        context=ssl.create_default_context(cafile=sys.argv[3]))
else:
    p = poplib.POP3(sys.argv[1], int(sys.argv[2]))
p.user("alice"); p.pass_("secret")
resp, listing, _ = p.list()
total = 0
for entry in listing:
    num = int(entry.split()[0])
    total += len(b"".join(p.retr(num)[1]))
p.quit()
"""


def morrent_env(work, name, maildrop):
    """cron's environment for one run of morrent: no display, its own settings and state."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MORRENT_TIMER_MS")}
    config = work / f"config-{name}"
    (config / "tessaruno").mkdir(parents=True)
    (config / "tessaruno" / "registry.ini").write_text(
        f"[HKLM\\SOFTWARE\\Tessaruno]\nmaildrop={maildrop}\n")
    env.update(XDG_CONFIG_HOME=str(config), XDG_STATE_HOME=str(work / f"state-{name}"),
               XDG_DATA_HOME=str(work / f"data-{name}"))
    return env


def mount_of(path):
    """(mount point, file system type, source) of the mount that holds path."""
    path = os.path.realpath(path)
    best = ("/", "?", "?")
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, _, right = line.partition(" - ")
            point = left.split()[4].replace("\\040", " ")
            fstype, source = right.split()[:2]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best[0]):
                best = (point, fstype, source)
    return best


MEMORY_FS = ("tmpfs", "ramfs")


class PrivatePostfix:
    """A postfix of the benchmark's own: main.cf, master.cf, queue and mail spool in `folder`,
    SMTP on 127.0.0.1:port, local delivery to folder/mail/USER (mbox). Started in the foreground
    (`postfix start-fg`) as our child, stopped with `postfix stop`."""

    host = "127.0.0.1"

    def __init__(self, folder, port):
        self.dir = Path(folder)
        self.port = port
        self.etc = self.dir / "etc"
        self.spool = self.dir / "mail"
        self.log = self.dir / "postfix.log"
        self.proc = None

    def sendmail(self):
        return ["/usr/sbin/sendmail", "-C", str(self.etc)]

    def start(self):
        for sub in (self.etc, self.dir / "queue", self.dir / "data"):
            sub.mkdir(parents=True, exist_ok=True)
        # Its daemons run as postfix and local delivery as the user: they must reach the folder.
        for p in (self.dir, *self.dir.parents):
            if p == Path("/"):
                break
            os.chmod(p, os.stat(p).st_mode | 0o755)
        self.spool.mkdir(exist_ok=True)
        os.chmod(self.spool, 0o1777)
        shutil.chown(self.dir / "data", "postfix")
        d = self.dir
        (self.etc / "main.cf").write_text(f"""compatibility_level = 3.6
queue_directory = {d / 'queue'}
data_directory = {d / 'data'}
myhostname = localhost
mydomain = localdomain
mydestination = localhost, localhost.localdomain
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps = hash:/etc/aliases
alias_database = hash:/etc/aliases
mail_spool_directory = {self.spool}
maillog_file_prefixes = {d}
maillog_file = {self.log}
biff = no
append_dot_mydomain = no
relayhost =
default_transport = error:nothing leaves this machine
""")
        # The machine's services, with the SMTP listener on our port and nothing chrooted (the
        # queue folder has no copy of the files a chroot needs).
        lines = []
        for line in Path("/etc/postfix/master.cf").read_text().splitlines():
            fields = line.split()
            if line[:1] not in ("#", " ", "\t") and len(fields) >= 8:
                if fields[0] == "smtp" and fields[1] == "inet":
                    fields[0] = f"{self.host}:{self.port}"
                fields[4] = "n"
                line = " ".join(fields)
            lines.append(line)
        (self.etc / "master.cf").write_text("\n".join(lines) + "\n")
        if not Path("/etc/aliases.db").exists():
            subprocess.run(["newaliases"], check=False, capture_output=True)
        check = subprocess.run(["postfix", "-c", str(self.etc), "check"], capture_output=True,
                               text=True)
        if check.returncode != 0:
            raise PeerError(f"postfix check failed: {check.stdout}{check.stderr}")
        self.proc = subprocess.Popen(["postfix", "-c", str(self.etc), "start-fg"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_port(self.host, self.port, expect=b"220",
                         alive=lambda: self.proc.poll() is None):
            self.stop()
            raise PeerError(f"postfix did not answer on {self.host}:{self.port}: "
                            f"{self.log.read_text()[-2000:] if self.log.exists() else ''}")
        return self

    def stop(self):
        if self.proc is None:
            return
        subprocess.run(["postfix", "-c", str(self.etc), "stop"], capture_output=True, timeout=60)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            pidfile = self.dir / "queue" / "pid" / "master.pid"
            try:
                os.kill(int(pidfile.read_text().split()[0]), 9)
            except (OSError, ValueError):
                pass
            self.proc.kill()
            self.proc.wait(10)
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def mailbox(self, user):
        return self.spool / user

    def clear(self, user):
        box = self.mailbox(user)
        if box.exists():
            with open(box, "r+b") as f:
                f.truncate(0)

    def wait_messages(self, user, count, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                got = len(split_mbox(self.mailbox(user).read_bytes()))
            except FileNotFoundError:
                got = 0
            if got >= count or time.monotonic() >= deadline:
                return got
            time.sleep(0.05)


def ensure_user(user):
    try:
        pwd.getpwnam(user)
    except KeyError:
        subprocess.run(["useradd", "-m", "-s", "/usr/sbin/nologin", user], check=True)


def compile_popload(work):
    exe = work / "popload"
    subprocess.run(["cc", "-O2", "-Wall", "-o", str(exe), str(HERE / "pop3proxy" / "popload.c"),
                    "-lssl", "-lcrypto"], check=True)
    return exe


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--size", type=int, default=20 * 1024)
    ap.add_argument("--big-mib", type=int, default=50)
    ap.add_argument("--only", help="comma-separated contenders: " + ",".join(ALL))
    ap.add_argument("--tls", action="store_true", help="everything over POP3S")
    ap.add_argument("--disk-dir", default="/var/tmp",
                    help="a folder on the machine's disk for the pickup folder and the files")
    ap.add_argument("--tmpfs-dir", default="/dev/shm", help="a folder on tmpfs")
    benchlib.add_ports_option(ap)
    args = ap.parse_args()
    morrent = Path(args.build).resolve() / "morrent" / "morrent"
    if not morrent.is_file():
        sys.exit(f"fetch: {morrent} is not built")
    if not 1 <= args.rounds <= 50 or not 1 <= args.count <= 100000 or args.size < 200:
        ap.error("--rounds 1..50, --count 1..100000, --size at least 200")
    contenders = ALL if not args.tls else [c for c in ALL if c not in TO_POSTFIX]
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - set(ALL)
        if unknown:
            ap.error(f"--only: no contender {', '.join(sorted(unknown))}")
        contenders = [c for c in ALL if c in wanted]
    disk, memory = mount_of(args.disk_dir), mount_of(args.tmpfs_dir)
    if disk[1] in MEMORY_FS:
        sys.exit(f"fetch: --disk-dir {args.disk_dir} is on {disk[1]}, not on a disk")
    if memory[1] not in MEMORY_FS:
        sys.exit(f"fetch: --tmpfs-dir {args.tmpfs_dir} is on {memory[1]}, not on tmpfs")
    ports = benchlib.Ports(args.ports)

    disk_work = Path(tempfile.mkdtemp(prefix="tessaruno-fetch-", dir=args.disk_dir))
    mem_work = Path(tempfile.mkdtemp(prefix="tessaruno-fetch-", dir=args.tmpfs_dir))
    results = {c: [] for c in contenders}
    busy = set()
    watch = benchlib.Watcher().start()
    mta = None
    try:
        print(f"filling the mailbox: {args.count} messages of {args.size} bytes", flush=True)
        print(f"disk folder {disk_work}: {disk[1]} on {disk[2]}; tmpfs folder {mem_work}",
              flush=True)
        popload = compile_popload(mem_work)
        tls = {}
        client_env = dict(os.environ)
        if args.tls:
            ca = mem_work / "ca"
            subprocess.run([str(HERE.parent / "tests" / "helpers" / "make-test-ca"), str(ca)],
                           check=True, env=dict(os.environ, TEST_CA_KEY="ec"))
            tls = dict(tls="yes", cert=ca / "good.pem", key=ca / "good.key",
                       pop3s_port=ports.take())
            client_env.update(POPLOAD_CAFILE=str(ca / "ca.pem"), POPLOAD_NAME="localhost")
        pop = Dovecot(mem_work / "dovecot", port=ports.take(), bench=True,
                      mail={"alice": [message(n, args.size) for n in range(1, args.count + 1)]},
                      **tls)
        with pop:
            if any(c in TO_POSTFIX for c in contenders):
                ensure_user(BENCH_USER)
                mta = PrivatePostfix(disk_work / "postfix", ports.take()).start()
            server = f"{pop.host}:{pop.port}"
            poll = (f"poll {pop.host} port {pop.port} protocol pop3 auth password\n"
                    f"  user alice password secret sslproto ''")
            bare_args = [pop.host, str(pop.port)]
            popload_args = [pop.host, str(pop.port)]
            if args.tls:
                server = f"pop3s://localhost:{pop.pop3s_port}"
                poll = (f"poll localhost port {pop.pop3s_port} protocol pop3 auth password\n"
                        f"  user alice password secret ssl sslcertck sslcertfile {ca / 'ca.pem'}")
                bare_args = ["localhost", str(pop.pop3s_port), str(ca / "ca.pem")]
                popload_args = [pop.host, str(pop.pop3s_port)]
                os.environ["SSL_CERT_FILE"] = str(ca / "ca.pem")
            rc = mem_work / "fetchmailrc"
            rc.write_text(poll + "\n")
            rcs = {"fm-files": rc, "fm-bsmtp": rc}
            if mta:
                # Into postfix: every message to the local user, as morrent's forward address does.
                rcs["fm-sendmail"] = mem_work / "fetchmailrc-sendmail"
                rcs["fm-sendmail"].write_text(
                    poll + f" is {BENCH_USER} here\n  mda \"{' '.join(mta.sendmail())} -i -f %F"
                    f" -- {BENCH_USER}\"\n")
                rcs["fm-smtp"] = mem_work / "fetchmailrc-smtp"
                rcs["fm-smtp"].write_text(
                    poll + f" is {BENCH_USER} here\n"
                    f"  smtphost {mta.host}/{mta.port} smtpaddress localhost\n")
            for f in set(rcs.values()):
                f.chmod(0o600)
            fm_env = dict(os.environ, HOME=str(mem_work), FETCHMAILHOME=str(mem_work))
            fm_args = ["--nosyslog", "--keep", "--all", "--nodetach",
                       "--pidfile", str(mem_work / "fetchmail.pid")]

            for rnd in range(1, args.rounds + 1):
                for who in contenders:
                    base = mem_work if who == "pickup-tmpfs" else disk_work
                    out = base / f"{who}{rnd}"
                    out.mkdir()
                    env = None
                    if who.startswith("popload"):
                        cmd = [str(popload), "retr", *popload_args, "alice", "secret",
                               "16" if who == "popload-piped" else "1"]
                        env = client_env
                    elif who == "poplib":
                        cmd = [sys.executable, "-c", BARE, *bare_args]
                    elif who == "fm-files":
                        cmd = ["fetchmail", "-f", str(rc), *fm_args, "--mda", f"cat > {out}/m.$$"]
                        env = fm_env
                    elif who == "fm-bsmtp":
                        cmd = ["fetchmail", "-f", str(rc), *fm_args, "--bsmtp", str(out / "bsmtp")]
                        env = fm_env
                    elif who in ("fm-smtp", "fm-sendmail"):
                        cmd = ["fetchmail", "-f", str(rcs[who]), *fm_args]
                        env = fm_env
                    elif who.startswith("pickup"):
                        cmd = [str(morrent), server, "alice", "secret", "0"]
                        env = morrent_env(base, f"{who}{rnd}", out)
                    else:
                        cmd = [str(morrent), server, "alice", "secret", "0",
                               f"{BENCH_USER}@localhost"]
                        env = morrent_env(base, f"{who}{rnd}", f"smtp://{mta.host}:{mta.port}")
                    if who in TO_POSTFIX:
                        mta.clear(BENCH_USER)
                    dovecot_before = benchlib.tree_cpu(pop.pid)
                    postfix_before = benchlib.tree_cpu(mta.proc.pid) if mta else 0.0
                    with watch.measure(who, rnd) as m:
                        wall, user, system, _, code, err = run(cmd, env=env)
                    dovecot = benchlib.tree_cpu(pop.pid) - dovecot_before
                    postfix = (benchlib.tree_cpu(mta.proc.pid) - postfix_before) if mta else 0.0
                    ok = code == 0
                    if who.startswith("pickup"):
                        got = len(list((out / "new").iterdir())) if (out / "new").is_dir() else 0
                        ok = ok and got == args.count
                    elif who == "fm-files":
                        ok = len(list(out.iterdir())) == args.count
                    elif who == "fm-bsmtp":
                        text = (out / "bsmtp").read_bytes() if (out / "bsmtp").exists() else b""
                        ok = ok and text.count(b"\nDATA\r\n") + text.startswith(b"DATA\r\n") \
                            + text.count(b"\nDATA\n") == args.count
                    elif who in TO_POSTFIX:
                        # Let postfix finish its local deliveries before the next contender.
                        ok = ok and mta.wait_messages(BENCH_USER, args.count, 300) == args.count
                        mta.clear(BENCH_USER)
                    if not ok:
                        print(f"  {who}: FAILED (exit {code}) {err.strip()[:300]}", flush=True)
                        shutil.rmtree(out, ignore_errors=True)
                        continue
                    if m.busy:
                        busy.add(who)
                    results[who].append(dict(rate=args.count / wall, wall=wall, user=user,
                                             system=system, dovecot=dovecot, postfix=postfix))
                    print(f"  round {rnd} {who:12s} {args.count / wall:8.0f} msg/s  wall"
                          f" {wall:6.2f} s  cpu {user:5.2f} + {system:5.2f} s"
                          f"{'  (busy machine)' if m.busy else ''}", flush=True)
                    shutil.rmtree(out, ignore_errors=True)
            if mta:
                mta.stop()
                mta = None
            report(args, contenders, results, busy, disk, watch)

        if args.big_mib:
            big(args, morrent, disk_work, ports)
    finally:
        watch.stop()
        if mta:
            mta.stop()
        shutil.rmtree(disk_work, ignore_errors=True)
        shutil.rmtree(mem_work, ignore_errors=True)


def med(values):
    mr = benchlib.median_range(values)
    return mr[0] if mr else None


def bound(who, row, rows):
    """What holds a contender back, from the medians of its runs: its own CPU, dovecot's or
    postfix's when one of them used most of a core; otherwise it waited, and for the pickup
    folder on disk the tmpfs one shows how much of that wait was the disk's syncs."""
    wall = row["wall"]
    shares = {"its own CPU": (row["user"] + row["system"]) / wall,
              "dovecot": row["dovecot"] / wall, "postfix": row["postfix"] / wall}
    name, share = max(shares.items(), key=lambda kv: kv[1])
    used = f"CPU {shares['its own CPU'] * 100:.0f}%, dovecot {shares['dovecot'] * 100:.0f}%"
    memory = rows.get("pickup-tmpfs")
    if who == "pickup-disk" and memory and wall > 1.2 * memory["wall"]:
        # Syncing shows as waiting or as system time, depending on the disk.
        return (f"the disk's syncs: {(wall - memory['wall']) / wall * 100:.0f}% of its time"
                f" beyond tmpfs, system {row['system']:.2f} s against {memory['system']:.2f} s;"
                f" {used}")
    if share >= 0.7:
        return f"{name} ({share * 100:.0f}% of a core)"
    return f"waiting; {used}"


def report(args, contenders, results, busy, disk, watch):
    print()
    print(f"{args.count} messages of {args.size} bytes{' over POP3S' if args.tls else ''};"
          f" median (lowest-highest) of {args.rounds} rounds, the contenders taking turns;"
          f" {os.cpu_count()} cores; disk: {disk[1]} on {disk[2]}")
    print(f"{'':13s} {'msg/s':>20s} {'wall s':>7s} {'user s':>7s} {'sys s':>7s}"
          f" {'dovecot':>8s} {'postfix':>8s}  bound by")
    rows = {who: {k: med([r[k] for r in runs]) for k in runs[0]}
            for who, runs in results.items() if runs}
    medians = {who: row["rate"] for who, row in rows.items()}
    for who in contenders:
        runs = results[who]
        if not runs:
            print(f"{who:13s} {'failed':>20s}")
            continue
        row = rows[who]
        print(f"{who:13s} {benchlib.cell([r['rate'] for r in runs], 0, who in busy):>20s}"
              f" {row['wall']:7.2f} {row['user']:7.2f} {row['system']:7.2f}"
              f" {row['dovecot']:8.2f} {row['postfix']:8.2f}  {bound(who, row, rows)}")
    print("  " + "; ".join(f"{w}: {WHAT[w]}" for w in contenders))
    print()

    def ratio(a, b, target=None):
        r = benchlib.ratio(medians.get(a), medians.get(b))
        if r is None:
            return
        text = f"{a} / {b}: {r:6.2f}x"
        if target is not None:
            text += f"   (target >= {target}x)  {'ok' if r >= target else 'BELOW TARGET'}"
        print(text)

    # Small messages are mostly start-up and the final sync; the bar is lower for them.
    bare_target = 0.5 if args.size <= 4096 or args.tls else 0.8
    for face in ("pickup-disk", "pickup-tmpfs"):
        ratio(face, "fm-files", 10)
        ratio(face, "fm-bsmtp")
        ratio(face, "popload", bare_target)
        ratio(face, "popload-piped", bare_target)
        ratio(face, "poplib")
    ratio("poplib", "popload")
    ratio("popload", "popload-piped")
    ratio("smtp", "fm-smtp", 3)
    ratio("smtp", "fm-sendmail", 3)
    print("pickup-disk is what users get; pickup-tmpfs is the program without the disk's syncs")
    print()
    for line in watch.report():
        print(line)


def big(args, morrent, work, ports):
    size = args.big_mib << 20
    print(f"\npeak memory fetching one message of {args.big_mib} MiB into the pickup folder")
    pop = Dovecot(work / "dovecot-big", port=ports.take(), bench=True,
                  mail={"alice": [message(0, size)]})
    with pop:
        out = work / "big"
        wall, user, system, rss, code, err = run(
            [str(morrent), f"{pop.host}:{pop.port}", "alice", "secret", "0"],
            env=morrent_env(work, "big", out))
        if code != 0:
            print(f"  FAILED (exit {code}) {err.strip()[:300]}")
        else:
            ratio = rss * 1024 / size
            print(f"  peak RSS {rss / 1024:.1f} MiB = {ratio:.2f}x the message "
                  f"(target < 4x) {'ok' if ratio < 4 else 'ABOVE TARGET'};"
                  f" {wall:.2f} s, cpu {user + system:.2f} s")


if __name__ == "__main__":
    main()
