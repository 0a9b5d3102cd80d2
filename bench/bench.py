#!/usr/bin/env python3
"""Measures the viewer against the bare engine and Chromium; bench/run calls it.

Needs an X display (bench/run starts Xvfb) and a build configured with
-DKALU_BUILD_BENCH=ON. Every figure is printed as it is taken, then all of them
side by side with the goals.
"""

import argparse
import array
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import http.client

PAUSE_MS = 4500  # the main window's deliberate pause before it is shown
MAIN_TITLE = "ポルカミーナ応援隊"
BARE_TITLE = "kalu bench bare view"
MIB = 1024.0


def log(*parts):
    print(*parts, flush=True)


# --- processes -------------------------------------------------------------

def children_map():
    kids = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        kids.setdefault(ppid, []).append(int(name))
    return kids


def tree(root):
    kids = children_map()
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(kids.get(pid, []))
    return found


def pss_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def tree_pss(root):
    """PSS in MiB summed over the process and all its descendants, and their count."""
    pids = [p for p in tree(root) if pss_kib(p) > 0]
    return sum(pss_kib(p) for p in pids) / MIB, len(pids)


PRESENT, PFN_MASK = 1 << 63, (1 << 55) - 1


def footprint_mib(root):
    """Physical pages resident in the tree, each counted once however many of
    its processes map it: PSS with only the tree's processes as sharers. PSS
    proper also divides a page among processes outside the tree (another
    program on the same engine library lowers it), this does not. Needs root
    to read page frame numbers; None otherwise."""
    if os.getuid() != 0:
        return None
    frames = set()
    for pid in tree(root):
        try:
            ranges, start = [], None
            with open(f"/proc/{pid}/smaps") as f:
                for line in f:
                    if line[0] in "0123456789abcdef" and "-" in line.split(" ", 1)[0]:
                        lo, hi = line.split(" ", 1)[0].split("-")
                        start = (int(lo, 16), int(hi, 16))
                    elif line.startswith("Rss:") and start and int(line.split()[1]) > 0:
                        ranges.append(start)
            with open(f"/proc/{pid}/pagemap", "rb") as pagemap:
                for lo, hi in ranges:
                    pagemap.seek(lo // 4096 * 8)
                    entries = array.array("Q")
                    entries.frombytes(pagemap.read((hi - lo) // 4096 * 8))
                    frames.update(e & PFN_MASK for e in entries if e & PRESENT)
        except OSError:
            continue
    frames.discard(0)
    return len(frames) * 4096 / (1 << 20)


def cpu_ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return total


def end_tree(proc, pids=None):
    """Stops a process started here and whatever it started."""
    pids = pids or tree(proc.pid)
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for pid in pids:
        if pid != proc.pid:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise TimeoutError("no answer within %d s" % timeout)
    line = stream.readline()
    if not line:
        raise EOFError("process closed its output")
    return line.decode("utf-8", "replace").strip()


# --- the stand-in site -------------------------------------------------------

class Site:
    def __init__(self, build, port, work):
        self.port = port
        self.log_path = os.path.join(work, "site.log")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(build, "stand-in-site", "site_server.py"),
             "--port", str(port), "--log", self.log_path],
            stdout=subprocess.PIPE)
        got = read_line(self.proc.stdout, 10)
        if got != str(port):
            raise RuntimeError(f"stand-in site answered {got!r} for port {port}")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def guide(self, channel):
        return self.url(f"/weekly/proglist/{channel}.pdf")

    def fetch_ms(self, path, times=15):
        """One fetch on a fresh connection, as the message window makes it."""
        spent = []
        for _ in range(times):
            start = time.monotonic_ns()
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
            conn.request("GET", path)
            conn.getresponse().read()
            conn.close()
            spent.append((time.monotonic_ns() - start) / 1e6)
        return statistics.median(spent)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


# --- measurements ------------------------------------------------------------

def watched_start(probe, title, command, cwd, env, until_painted=True, timeout=60):
    """Starts the command with the probe watching; returns (proc, mapped_ms, painted_ms)."""
    args = [probe, "--timeout", str(timeout)]
    if title:
        args += ["--title", title]
    watcher = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    if read_line(watcher.stdout, 10) != "ready":
        raise RuntimeError("probe did not start")
    start = time.monotonic_ns()
    proc = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    watcher.stdin.write(f"{proc.pid}\n".encode())
    watcher.stdin.flush()
    mapped = painted = None
    while True:
        line = read_line(watcher.stdout, timeout + 5)
        word, _, rest = line.partition(" ")
        if word == "mapped":
            mapped = (int(rest.split()[0]) - start) / 1e6
        elif word == "painted":
            painted = (int(rest.split()[0]) - start) / 1e6
            break
        else:
            break
    watcher.wait()
    if mapped is None or painted is None:
        end_tree(proc)
        raise RuntimeError(f"{command[0]}: window {'never mapped' if mapped is None else 'never painted a guide'}")
    return proc, mapped, painted


def settle_pss(pid, seconds=3.0):
    """(PSS MiB, processes, footprint MiB) once the tree has settled."""
    time.sleep(seconds)
    pss, n = tree_pss(pid)
    return pss, n, footprint_mib(pid)


def idle_cpu(pid, seconds):
    pids = tree(pid)
    ticks0, t0 = cpu_ticks(pids), time.monotonic()
    time.sleep(seconds)
    pids = tree(pid)
    ticks1, t1 = cpu_ticks(pids), time.monotonic()
    return 100.0 * (ticks1 - ticks0) / os.sysconf("SC_CLK_TCK") / (t1 - t0)


def record_start(r, mapped, painted, pss, footprint, procs):
    """Adds one start-up's figures to a peer's lists."""
    for key, value in (("mapped", mapped), ("painted", painted), ("pss", pss),
                       ("footprint", footprint), ("procs", procs)):
        r[key].append(value)


def run_program_start(ctx, idle_seconds):
    r = {"mapped": [], "painted": [], "pss": [], "footprint": [], "procs": [], "idle": None}
    for i in range(ctx.runs):
        work = tempfile.mkdtemp(dir=ctx.work)
        proc, mapped, painted = watched_start(ctx.probe, MAIN_TITLE, [ctx.program], work, ctx.env)
        pss, n, foot = settle_pss(proc.pid)
        record_start(r, mapped, painted, pss, foot, n)
        log(f"  program start {i + 1}: mapped {mapped:.0f} ms, guide painted {painted:.0f} ms, "
            f"PSS {pss:.1f} MiB, footprint {fmt(foot, 1)} MiB in {n} processes")
        if i == ctx.runs - 1 and idle_seconds:
            r["idle"] = idle_cpu(proc.pid, idle_seconds)
            log(f"  program idle over {idle_seconds} s with the guide shown: {r['idle']:.2f} % of one core")
        end_tree(proc)
    return r


def run_bare_start(ctx):
    r = {"mapped": [], "painted": [], "load_finished": [], "pss": [], "footprint": [], "procs": []}
    for i in range(ctx.runs):
        proc, mapped, painted = watched_start(ctx.probe, BARE_TITLE, [ctx.bare, ctx.site.guide(401)],
                                              ctx.work, ctx.env)
        finished = None
        while True:
            line = read_line(proc.stdout, 60)
            if line.startswith("first_load_finished_ms"):
                finished = float(line.split()[1])
            if line.startswith("MEASURE"):
                break
        pss, n, foot = settle_pss(proc.pid, 2.3)
        proc.stdin.write(b"\n")
        proc.stdin.flush()
        proc.wait(timeout=30)
        record_start(r, mapped, painted, pss, foot, n)
        r["load_finished"].append(finished)
        log(f"  bare start {i + 1}: mapped {mapped:.0f} ms, loadFinished ~{finished:.0f} ms, "
            f"guide painted {painted:.0f} ms, PSS {pss:.1f} MiB, footprint {fmt(foot, 1)} MiB in {n} processes")
    return r


def run_chromium(ctx):
    r = {"mapped": [], "painted": [], "pss": [], "footprint": [], "procs": []}
    for i in range(ctx.runs):
        profile = tempfile.mkdtemp(dir=ctx.work)
        command = [ctx.chromium, "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--disable-quic", "--password-store=basic", "--user-data-dir=" + profile,
                   "--window-position=1,81", "--window-size=800,465", "--app=" + ctx.site.guide(401)]
        proc, mapped, painted = watched_start(ctx.probe, None, command, ctx.work, ctx.env)
        pss, n, foot = settle_pss(proc.pid)
        record_start(r, mapped, painted, pss, foot, n)
        log(f"  Chromium start {i + 1}: mapped {mapped:.0f} ms, guide painted {painted:.0f} ms, "
            f"PSS {pss:.1f} MiB, footprint {fmt(foot, 1)} MiB in {n} processes")
        end_tree(proc)
        shutil.rmtree(profile, ignore_errors=True)
    return r


def run_harness(ctx, name, command):
    """Runs an in-process harness, measuring its process tree at each MEASURE."""
    work = tempfile.mkdtemp(dir=ctx.work)
    proc = subprocess.Popen(command, cwd=work, env=ctx.env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    r = {"switch": [], "tick": [], "pss": {}, "footprint": {}, "procs": {}}
    try:
        while True:
            try:
                line = read_line(proc.stdout, 120)
            except EOFError:
                break
            key, _, value = line.partition(" ")
            if key == "switch_ms":
                r["switch"].append(float(value))
            elif key == "tick_ms":
                r["tick"].append(float(value))
            elif key == "MEASURE":
                pss, n, foot = settle_pss(proc.pid, 2.0)
                r["pss"][value], r["procs"][value], r["footprint"][value] = pss, n, foot
                log(f"  {name}: {value}: PSS {pss:.1f} MiB, footprint {fmt(foot, 1)} MiB in {n} processes")
                proc.stdin.write(b"\n")
                proc.stdin.flush()
            elif key == "FAIL":
                raise RuntimeError(f"{name}: {value}")
        if proc.wait(timeout=60) != 0:
            raise RuntimeError(f"{name} exited with {proc.returncode}")
    finally:
        end_tree(proc)
    if r["switch"]:
        log(f"  {name}: {len(r['switch'])} switches, median {statistics.median(r['switch']):.0f} ms")
    if r["tick"]:
        log(f"  {name}: {len(r['tick'])} ticks, median {statistics.median(r['tick']):.2f} ms")
    return r


# --- report ------------------------------------------------------------------

def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values):
    values = sorted(values)
    if not values:
        return ""
    q = statistics.quantiles(values, n=10, method="inclusive") if len(values) >= 2 else [values[0]] * 9
    return f"min {values[0]:.0f}, p10 {q[0]:.0f}, p90 {q[-1]:.0f}, max {values[-1]:.0f}"


def fmt(v, digits=0):
    return "—" if v is None else f"{v:.{digits}f}"


def ratio(a, b):
    return "—" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", required=True, help="build directory configured with -DKALU_BUILD_BENCH=ON")
    ap.add_argument("--runs", type=int, default=5, help="start-ups of each kind (default 5)")
    ap.add_argument("--switches", type=int, default=30)
    ap.add_argument("--idle", type=int, default=60, help="seconds of the quiet minute (0: skip)")
    ap.add_argument("--json", help="also write every raw figure to this file")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    port = None
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("KALU_TEST_PORT:"):
                port = int(line.split("=", 1)[1])
    ctx = argparse.Namespace(
        runs=args.runs,
        work=tempfile.mkdtemp(prefix="kalu-bench-"),
        program=os.path.join(build, "testsites", "kalu"),
        bare=os.path.join(build, "bench", "kalu-bench-bare"),
        harness=os.path.join(build, "bench", "kalu-bench-program"),
        probe=os.path.join(build, "bench", "kalu-bench-probe"),
        chromium=shutil.which("chromium") or "/usr/bin/chromium",
        env=dict(os.environ, QT_QPA_PLATFORM="xcb"))
    if os.getuid() == 0:
        # The engine refuses to run as root with its sandbox on.
        ctx.env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
    ctx.site = Site(build, port, ctx.work)

    grid = [*range(401, 404), *range(405, 439), *range(440, 478), *range(489, 497), 498]
    # 450's guide is missing on the site; every other one of the rest, 30 in all.
    channels = [c for c in grid if c not in (401, 450)][::2][:args.switches]

    results = {}
    try:
        fetch = ctx.site.fetch_ms("/~kalu/cm/kalu/kalumsg.txt")
        log(f"message fetch on a fresh loopback connection: {fetch:.2f} ms (median of 15)")
        results["fetch_ms"] = fetch
        log("start-up, the real program (kalu-testsites):")
        results["program_start"] = run_program_start(ctx, args.idle)
        log("start-up, the bare engine:")
        results["bare_start"] = run_bare_start(ctx)
        log("start-up, Chromium:")
        results["chromium"] = run_chromium(ctx)
        log(f"channel switches ({len(channels)}) and 200 banner ticks, the program in-process:")
        results["program"] = run_harness(ctx, "program", [ctx.harness, *map(str, channels)])
        log(f"channel switches ({len(channels)}), the bare engine:")
        results["bare"] = run_harness(ctx, "bare", [ctx.bare, ctx.site.guide(401),
                                                    *(ctx.site.guide(c) for c in channels)])
    finally:
        ctx.site.stop()
        shutil.rmtree(ctx.work, ignore_errors=True)

    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    report(results)


def report(results):
    ps, bs, cr = results["program_start"], results["bare_start"], results["chromium"]
    pr, br = results["program"], results["bare"]
    fetch2 = 2 * results["fetch_ms"]
    p_map, b_map, c_map = med(ps["mapped"]), med(bs["mapped"]), med(cr["mapped"])
    p_paint, b_paint, c_paint = med(ps["painted"]), med(bs["painted"]), med(cr["painted"])
    overhead = p_map - PAUSE_MS - fetch2
    p_guide = p_paint - PAUSE_MS
    p_sw, b_sw = med(pr["switch"]), med(br["switch"])
    tick = med(pr["tick"])
    p_mem, b_mem, c_mem = med(ps["pss"]), med(bs["pss"]), med(cr["pss"])

    p_foot, b_foot, c_foot = med(ps["footprint"]), med(bs["footprint"]), med(cr["footprint"])

    def mem_goal(p, c):
        return p is not None and c is not None and p <= 250 and p <= 0.65 * c

    rows = [
        # figure, program, bare, Chromium, goal text, met (None: no goal)
        ("start-up: process start to main window mapped (ms)", p_map, b_map, c_map, None, None),
        (f"  less the {PAUSE_MS} ms pause and 2 message fetches ({fetch2:.1f} ms)", overhead, b_map, None,
         "< 400 ms", overhead < 400),
        ("start-up: process start to first guide painted (ms)", p_paint, b_paint, c_paint, None, None),
        (f"  less the {PAUSE_MS} ms pause", p_guide, b_paint, c_paint, None, None),
        ("channel switch: click to guide painted, median of 30 (ms)", p_sw, b_sw, None,
         "≤ 1.10 × bare", p_sw is not None and b_sw is not None and p_sw <= 1.10 * b_sw),
        ("banner tick: UI thread blocked, median of 200 (ms)", tick, None, None, "< 5 ms",
         tick is not None and tick < 5),
        ("memory, first guide shown (real process): PSS (MiB)", p_mem, b_mem, c_mem,
         "≤ 250, ≤ 0.65 × Chr.", mem_goal(p_mem, c_mem)),
        ("  the same as footprint (MiB)", p_foot, b_foot, c_foot, "≤ 250, ≤ 0.65 × Chr.", mem_goal(p_foot, c_foot)),
    ]
    for label, key in (("first guide shown", "first_guide"), ("after 30 switches", "after_switches"),
                       ("after 200 ticks", "after_ticks")):
        rows.append((f"memory, {label} (in-process): PSS (MiB)", pr["pss"].get(key), br["pss"].get(key), None,
                     None, None))
        rows.append(("  the same as footprint (MiB)", pr["footprint"].get(key), br["footprint"].get(key), None,
                     None, None))
    rows.append(("idle: CPU over a quiet minute, guide shown (% of one core)", ps["idle"], None, None, "< 1 %",
                 ps["idle"] is not None and ps["idle"] < 1))
    print()
    print("Every figure is a median; ratios are program ÷ peer. Footprint: each physical page of the")
    print("process tree counted once, unlike PSS not lowered by other programs sharing the libraries.")
    head = f"{'figure':<66} {'program':>9} {'bare':>9} {'Chromium':>9} {'÷bare':>6} {'÷Chr.':>6}  goal"
    print(head)
    print("-" * len(head))
    for name, p, b, c, goal, met in rows:
        digits = 1 if "MiB" in name else (2 if "tick" in name or "idle" in name else 0)
        verdict = "" if goal is None else f"{goal}: {'met' if met else 'MISSED'}"
        print(f"{name:<66} {fmt(p, digits):>9} {fmt(b, digits):>9} {fmt(c, digits):>9} "
              f"{ratio(p, b):>6} {ratio(p, c):>6}  {verdict}")
    print()
    print(f"processes: program {med(ps['procs']):.0f}, bare engine {med(bs['procs']):.0f}, "
          f"Chromium {med(cr['procs']):.0f}")
    print(f"bare engine loadFinished of the first guide: {fmt(med(bs['load_finished']))} ms from main()")
    print(f"channel switch spread, program: {spread(pr['switch'])} ms")
    print(f"channel switch spread, bare:    {spread(br['switch'])} ms")
    ticks = sorted(pr["tick"])
    if ticks:
        print(f"banner tick spread: min {ticks[0]:.2f}, p90 {ticks[int(len(ticks) * 0.9)]:.2f}, "
              f"max {ticks[-1]:.2f} ms")
    print(f"start-up runs: {len(ps['mapped'])} of each kind")


if __name__ == "__main__":
    main()
