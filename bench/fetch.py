#!/usr/bin/env python3
"""Fetch benchmark: morrent's downloads against fetchmail and a bare POP3 client.

One dovecot on loopback, run at its best (see peers.Dovecot), holds a mailbox of COUNT messages of
SIZE bytes. In the same run, in interleaved rounds, each contender downloads the whole mailbox
(nothing is deleted); every time is a whole process, start-up included:

  bare        Python poplib: LIST, then RETR of every message; delivers nothing
  fetchmail   --keep --all, an MDA that writes one file per message
  pickup      morrent into its pickup folder (durable: synced before the session ends)
  fmpostfix   fetchmail into the local postfix, by its best way there: the sendmail MDA (its own
              SMTP forwarding stalls about 40 ms a message here; --fetchmail-smtp adds it as
              fmsmtp to see that)
  smtp        morrent over SMTP to the same postfix (each message confirmed by its 250)

morrent is the program itself, started as cron starts it, with its settings, lock and record of
delivered messages in a fresh folder for every run (keep mode would otherwise fetch nothing new).

It prints messages/s and CPU seconds (user + system of the client process alone) per contender,
the median over the rounds, and the ratios the targets are stated in. Then it fetches one
message of BIG bytes into the pickup folder and prints the peak RSS against the message size.

    bench/fetch.py --build build                              # 2000 messages of 20 KiB
    bench/fetch.py --build build --count 200 --size 2048      # 200 of 2 KiB
    [--rounds 3] [--big-mib 50] [--only bare,pickup] [--fetchmail-smtp] [--tls]

--tls: the same over POP3S (TLS from the first byte, certificates from a test authority made for
the run and checked by every client): the bare client with poplib.POP3_SSL, fetchmail --ssl with
--sslcertck, morrent from pop3s://localhost:PORT; the postfix contenders are left out.

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

from peers import Dovecot, Postfix, free_port  # noqa: E402

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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--size", type=int, default=20 * 1024)
    ap.add_argument("--big-mib", type=int, default=50)
    ap.add_argument("--only", help="comma-separated contenders")
    ap.add_argument("--tls", action="store_true", help="everything over POP3S")
    ap.add_argument("--fetchmail-smtp", action="store_true",
                    help="also fetchmail's own SMTP forwarding into postfix (slow)")
    args = ap.parse_args()
    morrent = Path(args.build) / "morrent" / "morrent"
    if not morrent.is_file():
        sys.exit(f"fetch: {morrent} is not built")
    contenders = ["bare", "fetchmail", "pickup", "fmpostfix", "smtp"]
    if args.fetchmail_smtp:
        contenders.insert(4, "fmsmtp")
    if args.tls:
        contenders = ["bare", "fetchmail", "pickup"]
    if args.only:
        contenders = [c for c in contenders if c in args.only.split(",")]

    work = Path(tempfile.mkdtemp(prefix="tessaruno-fetch-"))
    results = {c: [] for c in contenders}
    try:
        print(f"filling the mailbox: {args.count} messages of {args.size} bytes", flush=True)
        tls = {}
        if args.tls:
            ca = work / "ca"
            subprocess.run([str(HERE.parent / "tests" / "helpers" / "make-test-ca"), str(ca)],
                           check=True, env=dict(os.environ, TEST_CA_KEY="ec"))
            tls = dict(tls="yes", cert=ca / "good.pem", key=ca / "good.key",
                       pop3s_port=free_port())
        pop = Dovecot(work / "dovecot", bench=True, mail={"alice": [message(n, args.size)
                                                        for n in range(1, args.count + 1)]},
                      **tls)
        with pop, Postfix() as mta:
            mta.ensure_user(BENCH_USER)
            server = f"{pop.host}:{pop.port}"
            poll = (f"poll {pop.host} port {pop.port} protocol pop3 auth password\n"
                    f"  user alice password secret sslproto ''")
            bare_args = [pop.host, str(pop.port)]
            if args.tls:
                server = f"pop3s://localhost:{pop.pop3s_port}"
                poll = (f"poll localhost port {pop.pop3s_port} protocol pop3 auth password\n"
                        f"  user alice password secret ssl sslcertck sslcertfile {ca / 'ca.pem'}")
                bare_args = ["localhost", str(pop.pop3s_port), str(ca / "ca.pem")]
                os.environ["SSL_CERT_FILE"] = str(ca / "ca.pem")
            rc = work / "fetchmailrc"
            rc.write_text(poll + "\n")
            # Into postfix: every message to the local user, as morrent's forward address does.
            rc_sendmail = work / "fetchmailrc-sendmail"
            rc_sendmail.write_text(poll + f" is {BENCH_USER} here\n"
                                   f"  mda \"/usr/sbin/sendmail -i -f %F -- {BENCH_USER}\"\n")
            rc_smtp = work / "fetchmailrc-smtp"
            rc_smtp.write_text(poll + f" is {BENCH_USER} here\n"
                               "  smtphost 127.0.0.1/25 smtpaddress localhost\n")
            for f in (rc, rc_sendmail, rc_smtp):
                f.chmod(0o600)
            fm_env = dict(os.environ, HOME=str(work), FETCHMAILHOME=str(work))
            fm_args = ["--nosyslog", "--keep", "--all", "--nodetach",
                       "--pidfile", str(work / "fetchmail.pid")]
            to_postfix = ("smtp", "fmpostfix", "fmsmtp")

            for rnd in range(1, args.rounds + 1):
                for who in contenders:
                    out = work / f"{who}{rnd}"
                    out.mkdir()
                    if who in to_postfix:
                        Postfix.clear_mailbox(BENCH_USER)
                    if who == "bare":
                        cmd = [sys.executable, "-c", BARE, *bare_args]
                        env = None
                    elif who == "fetchmail":
                        cmd = ["fetchmail", "-f", str(rc), *fm_args, "--mda", f"cat > {out}/m.$$"]
                        env = fm_env
                    elif who in ("fmpostfix", "fmsmtp"):
                        cmd = ["fetchmail", "-f", str(rc_sendmail if who == "fmpostfix"
                                                      else rc_smtp), *fm_args]
                        env = fm_env
                    elif who == "pickup":
                        cmd = [str(morrent), server, "alice", "secret", "0"]
                        env = morrent_env(work, f"{who}{rnd}", out)
                    else:
                        cmd = [str(morrent), server, "alice", "secret", "0",
                               f"{BENCH_USER}@localhost"]
                        env = morrent_env(work, f"{who}{rnd}", "smtp://127.0.0.1:25")
                    wall, cpu, _, code, err = run(cmd, env=env)
                    ok = code == 0
                    if who == "pickup":
                        got = len(list((out / "new").iterdir())) if (out / "new").is_dir() else 0
                        ok = ok and got == args.count
                    if who == "fetchmail":
                        ok = len(list(out.iterdir())) == args.count
                    if who in to_postfix:
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
            # Small messages are mostly start-up and the final sync; the bar is lower for them.
            ratio("pickup", "bare", 0.5 if args.size <= 4096 or args.tls else 0.8)
            ratio("smtp", "fmpostfix", 3)
            ratio("smtp", "fmsmtp", 3)

        if args.big_mib:
            size = args.big_mib << 20
            print(f"\npeak memory fetching one message of {args.big_mib} MiB into the pickup folder")
            pop = Dovecot(work / "dovecot-big", bench=True, mail={"alice": [message(0, size)]})
            with pop:
                out = work / "big"
                wall, cpu, rss, code, err = run([str(morrent), f"{pop.host}:{pop.port}", "alice",
                                                 "secret", "0"],
                                                env=morrent_env(work, "big", out))
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
