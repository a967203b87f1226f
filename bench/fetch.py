#!/usr/bin/env python3
"""Fetch benchmark: morrent's download session against fetchmail and a bare POP3 client.

One dovecot on loopback holds a mailbox of COUNT messages of SIZE bytes. In the same run, in
interleaved rounds, each contender downloads the whole mailbox (nothing is deleted):

  bare       Python poplib: LIST, then RETR of every message; delivers nothing
  fetchmail  --keep --all, an MDA that writes one file per message
  pickup     morrent into its pickup folder (durable: synced before the session ends)
  smtp       morrent over SMTP to the local postfix (each message confirmed by its 250)

It prints messages/s and CPU seconds (user + system of the client process alone) per contender,
the median over the rounds, and the ratios the targets are stated in. Then it fetches one
message of BIG bytes into the pickup folder and prints the peak RSS against the message size.

    bench/fetch.py --build /tmp/build [--rounds 3] [--count 2000] [--size 20480] [--big-mib 50]

Runs as root (postfix and dovecot's mail user). Every server listens on 127.0.0.1 and is stopped
by PID when the benchmark ends; postfix only if this run started it.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))

from peers import Dovecot, Postfix  # noqa: E402

RUN_TIMEOUT = 600
BENCH_USER = "tessbench"


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
    """Runs a command; returns (wall seconds, cpu seconds, peak RSS KiB, exit status, stderr)."""
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
    return wall, usage.ru_utime + usage.ru_stime, rss, proc.returncode, err


BARE = r"""
import poplib, sys
p = poplib.POP3(sys.argv[1], int(sys.argv[2]))
p.user("alice"); p.pass_("secret")
resp, listing, _ = p.list()
total = 0
for entry in listing:
    num = int(entry.split()[0])
    total += len(b"".join(p.retr(num)[1]))
p.quit()
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--size", type=int, default=20 * 1024)
    ap.add_argument("--big-mib", type=int, default=50)
    ap.add_argument("--only", help="comma-separated contenders")
    args = ap.parse_args()
    driver = Path(args.build) / "tests" / "morrent_fetchdriver"
    if not driver.is_file():
        sys.exit(f"fetch: {driver} is not built")
    contenders = ["bare", "fetchmail", "pickup", "smtp"]
    if args.only:
        contenders = [c for c in contenders if c in args.only.split(",")]

    work = Path(tempfile.mkdtemp(prefix="tessaruno-fetch-"))
    results = {c: [] for c in contenders}
    try:
        print(f"filling the mailbox: {args.count} messages of {args.size} bytes", flush=True)
        pop = Dovecot(work / "dovecot", mail={"alice": [message(n, args.size)
                                                        for n in range(1, args.count + 1)]})
        with pop, Postfix() as mta:
            mta.ensure_user(BENCH_USER)
            server = f"{pop.host}:{pop.port}"
            rc = work / "fetchmailrc"
            rc.write_text(f"poll {pop.host} port {pop.port} protocol pop3 auth password\n"
                          f"  user alice password secret sslproto ''\n")
            rc.chmod(0o600)
            fm_env = dict(os.environ, HOME=str(work), FETCHMAILHOME=str(work))

            for rnd in range(1, args.rounds + 1):
                for who in contenders:
                    out = work / f"{who}{rnd}"
                    out.mkdir()
                    if who == "bare":
                        cmd = [sys.executable, "-c", BARE, pop.host, str(pop.port)]
                        env = None
                    elif who == "fetchmail":
                        cmd = ["fetchmail", "-f", str(rc), "--nosyslog", "--keep", "--all",
                               "--nodetach", "--pidfile", str(work / "fetchmail.pid"),
                               "--mda", f"cat > {out}/m.$$"]
                        env = fm_env
                    elif who == "pickup":
                        cmd = [str(driver), "--maildrop", str(out), server, "alice", "secret", "0"]
                        env = None
                    else:
                        Postfix.clear_mailbox(BENCH_USER)
                        cmd = [str(driver), "--maildrop", "smtp://127.0.0.1:25", server, "alice",
                               "secret", "0", f"{BENCH_USER}@localhost"]
                        env = None
                    wall, cpu, _, code, err = run(cmd, env=env)
                    ok = code == 0
                    if who == "pickup":
                        got = len(list((out / "new").iterdir())) if (out / "new").is_dir() else 0
                        ok = ok and got == args.count
                    if who == "fetchmail":
                        ok = len(list(out.iterdir())) == args.count
                    if who == "smtp":
                        # Let postfix finish its local deliveries before the next contender.
                        got = len(Postfix.wait_messages(BENCH_USER, args.count, timeout=300))
                        ok = ok and got == args.count
                        Postfix.clear_mailbox(BENCH_USER)
                    if not ok:
                        print(f"  {who}: FAILED (exit {code}) {err.strip()[:300]}", flush=True)
                        continue
                    results[who].append((args.count / wall, cpu))
                    print(f"  round {rnd} {who:9s} {args.count / wall:8.0f} msg/s  cpu {cpu:6.2f} s",
                          flush=True)
                    shutil.rmtree(out, ignore_errors=True)

            print()
            print(f"{'':10s} {'msg/s':>8s} {'cpu s':>7s}   (median of {args.rounds} rounds)")
            med = {}
            for who in contenders:
                if results[who]:
                    rate = statistics.median(r for r, _ in results[who])
                    cpu = statistics.median(c for _, c in results[who])
                    med[who] = rate
                    print(f"{who:10s} {rate:8.0f} {cpu:7.2f}")
            print()

            def ratio(a, b, target):
                if a in med and b in med:
                    r = med[a] / med[b]
                    print(f"{a} / {b}: {r:6.2f}x   (target >= {target}x)  "
                          f"{'ok' if r >= target else 'BELOW TARGET'}")
            ratio("pickup", "fetchmail", 10)
            ratio("pickup", "bare", 0.5)
            ratio("smtp", "fetchmail", 3)

        if args.big_mib:
            size = args.big_mib << 20
            print(f"\npeak memory fetching one message of {args.big_mib} MiB into the pickup folder")
            pop = Dovecot(work / "dovecot-big", mail={"alice": [message(0, size)]})
            with pop:
                out = work / "big"
                wall, cpu, rss, code, err = run([str(driver), "--maildrop", str(out),
                                                 f"{pop.host}:{pop.port}", "alice", "secret", "0"])
                if code != 0:
                    print(f"  FAILED (exit {code}) {err.strip()[:300]}")
                else:
                    ratio = rss * 1024 / size
                    print(f"  peak RSS {rss / 1024:.1f} MiB = {ratio:.2f}x the message "
                          f"(target < 4x) {'ok' if ratio < 4 else 'ABOVE TARGET'};"
                          f" {wall:.2f} s, cpu {cpu:.2f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
