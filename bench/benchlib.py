"""What the benchmark scripts share: medians and ranges over rounds, a watcher that tells when the
machine was busy with other work, the ports a benchmark may listen on, and the CPU time of a
child process.

    import benchlib
    ports = benchlib.Ports(args.ports)          # --ports FROM-TO, or BENCH_PORTS
    watch = benchlib.Watcher().start()
    with watch.measure("quessel", rnd) as m:    # one timed run of one path in round rnd
        ...
    print(benchlib.cell([1200.0, 1250.0, 1190.0], busy=m.busy))   # "1200 (1190-1250)"
    print(watch.report())
"""

import os
import socket
import statistics
import subprocess
import threading
import time
from contextlib import contextmanager

# ---------------------------------------------------------------------------------------------
# medians and ranges


def median_range(values):
    """(median, lowest, highest) of the values, or None when there are none."""
    values = [v for v in values if v is not None and v == v]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def number(value, digits=None):
    """A figure with as many digits as it needs to be read at a glance."""
    if value is None or value != value:
        return "-"
    if digits is None:
        digits = 0 if abs(value) >= 100 else 1 if abs(value) >= 10 else 2
    return f"{value:.{digits}f}"


def cell(values, digits=None, busy=False):
    """ "median (low-high)" of the rounds, with a * when a round of it ran on a busy machine."""
    mr = median_range(values)
    if mr is None:
        return "-"
    med, lo, hi = mr
    text = number(med, digits)
    if len(values) > 1:
        text += f" ({number(lo, digits)}-{number(hi, digits)})"
    return text + ("*" if busy else "")


def ratio(a, b):
    """a / b of two medians, None when either is missing."""
    return a / b if a is not None and b else None


# ---------------------------------------------------------------------------------------------
# ports

# Below the kernel's range for ports it picks itself (32768-60999 by default), from which the
# tests' servers and every outgoing connection take theirs: a benchmark in this range does not
# collide with a test run beside it.
DEFAULT_PORTS = "21000-21999"


def add_ports_option(parser):
    parser.add_argument("--ports", default=os.environ.get("BENCH_PORTS", DEFAULT_PORTS),
                        metavar="FROM-TO",
                        help="the ports the benchmark's servers listen on (BENCH_PORTS; "
                             f"default {DEFAULT_PORTS})")


class Ports:
    """Hands out the ports of a range in turn, each free when handed out."""

    def __init__(self, given):
        try:
            low, high = (int(x) for x in str(given).split("-", 1))
        except ValueError:
            raise SystemExit(f"ports: {given!r} is not FROM-TO") from None
        if not 1024 < low <= high <= 65535:
            raise SystemExit(f"ports: {given!r}: want 1025 <= FROM <= TO <= 65535")
        self.low, self.high = low, high
        self._next = low
        self._lock = threading.Lock()

    def __str__(self):
        return f"{self.low}-{self.high}"

    def take(self, host="127.0.0.1"):
        """The next port of the range that is free; after the last the range starts again, so
        that a long run reuses the ports of servers it has stopped."""
        with self._lock:
            for _ in range(self.high - self.low + 1):
                port = self._next
                self._next = port + 1 if port < self.high else self.low
                if self.free(host, port):
                    return port
        raise SystemExit(f"ports: no free port left in {self}; give a wider --ports range")

    @staticmethod
    def free(host, port):
        # As the servers bind: a port whose last connections are in TIME_WAIT is usable.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind((host, port))
            except OSError:
                return False
        return True


# ---------------------------------------------------------------------------------------------
# child processes


def run_child(cmd, timeout, **kwargs):
    """subprocess.run with capture, plus .cpu: the user and system seconds of the child and of
    the children it waited for. Nothing else is reaped meanwhile: the scripts run one child at a
    time."""
    before = os.times()
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)
    after = os.times()
    out.cpu = (after.children_user - before.children_user
               + after.children_system - before.children_system)
    return out


# ---------------------------------------------------------------------------------------------
# the machine: is someone else using it?

TICK = os.sysconf("SC_CLK_TCK")
BUSY_SHARE = 0.2  # another process above 20 % of a core makes a run "busy"


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _processes():
    """{pid: (ppid, name, own ticks, waited-for children's ticks, start tick, kernel thread)}"""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        stat = _read(f"/proc/{entry}/stat")
        if not stat:
            continue
        # The name may hold blanks and parentheses: the fields follow the last ")".
        name = stat[stat.find("(") + 1:stat.rfind(")")]
        f = stat[stat.rfind(")") + 2:].split()
        flags = int(f[6])
        table[int(entry)] = (int(f[1]), name, int(f[11]) + int(f[12]), int(f[13]) + int(f[14]),
                             int(f[19]), bool(flags & 0x00200000))  # PF_KTHREAD
    return table


def _machine_ticks():
    """(user+nice+system, steal) of all cores. Interrupt time is left out: the loopback traffic
    of the benchmark itself is handled there."""
    line = _read("/proc/stat").split("\n", 1)[0].split()
    user, nice, system, steal = int(line[1]), int(line[2]), int(line[3]), int(line[8])
    return user + nice + system, steal


def process_table():
    """{pid: (ppid, name, own CPU seconds, CPU seconds of the children it waited for)}"""
    return {pid: (r[0], r[1], r[2] / TICK, r[3] / TICK) for pid, r in _processes().items()}


def process_tree(pid, table=None):
    """pid and its live descendants."""
    return _tree(table if table is not None else process_table(), pid)


def tree_cpu(pid, table=None, by_name=False):
    """CPU seconds of pid and its descendants, those that ended counting through the parent that
    waited for them; by_name: {process name: seconds}."""
    table = table if table is not None else process_table()
    out = {}
    for p in _tree(table, pid):
        _, name, own, children = table[p]
        out[name] = out.get(name, 0.0) + own + children
    return out if by_name else sum(out.values())


def _tree(table, root):
    children = {}
    for pid, row in table.items():
        children.setdefault(row[0], []).append(pid)
    ours, todo = set(), [root]
    while todo:
        pid = todo.pop()
        if pid in table and pid not in ours:
            ours.add(pid)
            todo.extend(children.get(pid, ()))
    return ours


class _Snapshot:
    def __init__(self, root):
        self.time = time.monotonic()
        self.uptime_ticks = float(_read("/proc/uptime").split()[0]) * TICK
        self.machine, self.steal = _machine_ticks()
        self.table = _processes()
        self.ours = _tree(self.table, root)
        # The benchmark's processes, and what those that ended left in their parents.
        self.ours_ticks = sum(self.table[p][2] + self.table[p][3] for p in self.ours)
        self.kernel_ticks = sum(r[2] for r in self.table.values() if r[5])


class Measure:
    """One timed run: what else used the machine while it ran."""

    def __init__(self, label, rnd):
        self.label, self.round = label, rnd
        self.seconds = 0.0
        self.others = 0.0       # cores used by processes that are not the benchmark's
        self.steal = 0.0        # cores the hypervisor kept
        self.top = []           # [(share of a core, "name pid")], highest first
        self.busy = False

    def why(self):
        named = ", ".join(f"{who} {share * 100:.0f}%" for share, who in self.top[:3])
        text = f"others {self.others * 100:.0f}% of a core"
        if named:
            text += f" ({named})"
        if self.steal >= BUSY_SHARE:
            text += f", stolen by the hypervisor {self.steal * 100:.0f}%"
        return text


class Watcher:
    """Samples /proc a few times a second and tells, for each measured run, whether a process
    that is not part of the benchmark (not this process or one it started) used more than 20 %
    of a core meanwhile, or all such processes together did. Kernel threads are left out: they
    mostly work for the benchmark's own traffic and disk writes."""

    def __init__(self, interval=0.25, root=None):
        self.interval = interval
        self.root = root or os.getpid()
        self.measures = []
        self._open = None       # the first snapshot of the run being measured
        self._seen = {}         # (pid, start tick): [name, own ticks at the start, at the last look]
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join(5)

    def _loop(self):
        while not self._stop.wait(self.interval):
            with self._lock:
                if self._open:
                    self._note(_Snapshot(self.root))

    def _note(self, snap):
        """Remembers each foreign process's first and last own ticks while a run is open, so
        that one that starts and ends within the run still counts."""
        first = self._open
        for pid, row in snap.table.items():
            if pid in snap.ours or row[5]:
                continue
            key = (pid, row[4])
            if key not in self._seen:
                # Born during the run: all its time is in the run; otherwise from the first look.
                born = snap is not first and row[4] >= first.uptime_ticks - 1
                self._seen[key] = [row[1], 0 if born else row[2], row[2]]
            else:
                self._seen[key][2] = row[2]

    @contextmanager
    def measure(self, label, rnd=0):
        m = Measure(label, rnd)
        with self._lock:
            first = _Snapshot(self.root)
            self._seen = {}
            self._open = first
            self._note(first)
        try:
            yield m
        finally:
            with self._lock:
                last = _Snapshot(self.root)
                self._note(last)
                self._open = None
                self._close(m, first, last)
            self.measures.append(m)

    def _close(self, m, first, last):
        wall = max(last.time - first.time, 1e-6)
        m.seconds = wall
        ticks = wall * TICK
        foreign = ((last.machine - first.machine) - (last.ours_ticks - first.ours_ticks)
                   - (last.kernel_ticks - first.kernel_ticks))
        m.others = max(0.0, foreign / ticks)
        m.steal = (last.steal - first.steal) / ticks
        m.top = sorted(((used - base) / ticks, f"{name} {pid}")
                       for (pid, _), (name, base, used) in self._seen.items()
                       if used - base > 0)[::-1]
        # A short run sees a tick or two of noise; one process above the bar, or all of them
        # together above it, is another program at work.
        # The machine's total and the processes' own figures are counted apart and disagree by
        # a few ticks; the processes seen are a floor.
        m.others = max(m.others, sum(share for share, _ in m.top))
        top = m.top[0][0] if m.top else 0.0
        m.busy = ((top >= BUSY_SHARE and top * ticks >= 2) or (m.others >= BUSY_SHARE and foreign >= 2)
                  or m.steal >= BUSY_SHARE)

    def busy(self, label=None, rnd=None):
        """Whether a run of this label (and round) ran on a busy machine."""
        return any(m.busy for m in self.measures
                   if (label is None or m.label == label) and (rnd is None or m.round == rnd))

    def report(self, limit=60):
        """Lines that name every busy run (the first `limit`), or one that says there was none."""
        busy = [m for m in self.measures if m.busy]
        if not busy:
            return [f"machine quiet: in none of the {len(self.measures)} measured runs did another"
                    f" process use {BUSY_SHARE * 100:.0f}% of a core"]
        rounds = sorted({m.round for m in busy})
        lines = [f"BUSY MACHINE: {len(busy)} of {len(self.measures)} measured runs (rounds "
                 f"{', '.join(map(str, rounds))}) shared the cores with other work; figures with a *"
                 f" include such runs:"]
        for m in busy[:limit]:
            lines.append(f"  round {m.round} {m.label}: {m.why()}")
        if len(busy) > limit:
            lines.append(f"  ... and {len(busy) - limit} more")
        return lines
