#!/usr/bin/python3
"""Runs the ulopr1 benchmarks on pseudo-terminals and writes results.json,
summary.md (the tables) and PNG plots.

Sections (all by default, or those named with --only):
  delivery  one line at 9600, 38400 and 115200 baud, prv1sim sending back to
            back: the driver under the benchmark host, then the pyserial
            reference receiver on the same workload; loss, latency from the
            frame's last byte written to the value stored, CPU per 10,000
            reports, and the ratios of the two in each run
  idle      CPU share of 1, 16, 64 and 256 started instances on quiet lines
  scale     the most instances carried at 9600 and 115200 baud, every line
            busy, with zero loss
  waits     the host's wait against latency and quiet-line cost, to choose
            the default
  writes    the paced send (100 ms a character) and the write round trip
  alloc     heap allocations the driver makes per report (allocation hook)
  micro     Google Benchmark micro-benchmarks
  stall     ulohost --json with a consumer that stops reading for a while:
            what the driver stored against what prv1sim sent, what the
            consumer got and what the host counted as lost, and how long
            the host takes to stop

Every number is the median of --repeats runs; every ratio is taken within
one run and then the median of those is shown. Timing needs a quiet
machine: the background load is measured before each section and
recorded, and --quiet-wait waits for the machine to settle first.
"""

import argparse
import json
import math
import os
import platform
import queue
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHON = "/usr/bin/python3"  # Debian's, which has python3-serial
BAUDS = (9600, 38400, 115200)
IDLE_COUNTS = (1, 16, 64, 256)
PER_HOST = 128  # instances per host process (a host has 255 client ids)
FRAME_BYTES = 12  # a typical report frame, to set prv1sim's rate
LINES_BUSY = 0.95  # share of the line rate that counts as a busy line


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---- processes ----------------------------------------------------------


class Child:
    """A benchmark program speaking JSON lines on stdout, commands on
    stdin."""

    def __init__(self, argv, name, workdir):
        self.name = name
        self.errors = open(Path(workdir) / f"{name}.stderr", "w")
        self.proc = subprocess.Popen(
            [str(a) for a in argv], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self.errors, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def line(self, timeout=120):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise RuntimeError(f"{self.name}: no answer in {timeout} s")
        if line is None:
            raise RuntimeError(f"{self.name} ended: see {self.errors.name}")
        return line

    def expect(self, event, timeout=120):
        while True:
            answer = json.loads(self.line(timeout))
            if answer.get("event") == "error":
                raise RuntimeError(f"{self.name}: {answer['error']}")
            if answer.get("event") == event:
                return answer

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def ask(self, command, event):
        self.send(command)
        return self.expect(event)

    def stop(self, timeout=30):
        if self.proc.poll() is None:
            try:
                self.send("quit")
            except BrokenPipeError:
                pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.errors.close()

    def terminate(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)
        self.errors.close()


# ---- the machine ----------------------------------------------------------


def busy_jiffies():
    fields = [int(x) for x in Path("/proc/stat").read_text().split("\n")[0]
              .split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields[:8]) - idle, sum(fields[:8])


def background_load(seconds=1.0):
    """Cores kept busy by everything else while nothing of ours runs."""
    busy0, total0 = busy_jiffies()
    time.sleep(seconds)
    busy1, total1 = busy_jiffies()
    return os.cpu_count() * (busy1 - busy0) / max(1, total1 - total0)


# A run during which other work kept more than this busy is run again.
OTHERS_LIMIT = 0.3


def process_cpu_ns(pid):
    """CPU time of a process so far (user and system), in nanoseconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1e9 / os.sysconf(
        "SC_CLK_TCK")


def quietly(run):
    """Runs run() until other work stayed quiet during it (at most three
    times; otherwise the quietest of them)."""
    tried = []
    for attempt in range(3):
        result = run()
        result["attempts"] = attempt + 1
        tried.append(result)
        if result["others_cores"] <= OTHERS_LIMIT:
            return result
        log(f"    other work kept {result['others_cores']:.2f} cores busy "
            "during the run; once more")
    return min(tried, key=lambda r: r["others_cores"])


def wait_quiet(limit, threshold=0.15):
    """Waits up to limit seconds for the machine to be quiet; returns the
    background load it last saw (cores busy)."""
    end = time.monotonic() + limit
    load = background_load()
    while load > threshold and time.monotonic() < end:
        log(f"    machine busy ({load:.2f} cores); waiting for it to settle")
        time.sleep(5)
        load = background_load()
    return load


def machine():
    cpu = "?"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = Path("/proc/meminfo").read_text().split("\n")[0].split()[1]
    try:
        import serial
        pyserial = serial.__version__
    except ImportError:
        pyserial = "missing"
    compiler = subprocess.run(["c++", "--version"], capture_output=True,
                              text=True).stdout.split("\n")[0]
    return {"cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(),
            "memory_gib": round(int(memory) / 2**20, 1),
            "os": Path("/etc/debian_version").read_text().strip(),
            "compiler": compiler, "python": platform.python_version(),
            "pyserial": pyserial,
            "loadavg": Path("/proc/loadavg").read_text().split()[:3]}


# ---- statistics ---------------------------------------------------------


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    rank = max(0, math.ceil(p / 100 * len(ordered)) - 1)
    return ordered[rank]


def latency_summary(latencies_ns):
    ms = [x / 1e6 for x in latencies_ns]
    return {"samples": len(ms), "p50_ms": percentile(ms, 50),
            "p99_ms": percentile(ms, 99), "max_ms": max(ms) if ms else None}


def median_of(runs, *path):
    values = []
    for run in runs:
        for key in path:
            run = run[key] if run is not None else None
        if run is not None:
            values.append(run)
    return statistics.median(values) if values else None


# ---- the host and its lines --------------------------------------------


class Bench:
    def __init__(self, build, workroot, wait, quiet_wait=0):
        self.quiet_wait = quiet_wait
        self.build = Path(build)
        self.bin = self.build / "bench"
        self.prv1sim = self.build / "tools" / "prv1sim" / "prv1sim"
        self.workroot = Path(workroot)
        self.wait = wait  # None: the host's default

    def workdir(self, name):
        return Path(tempfile.mkdtemp(prefix=name + "-", dir=self.workroot))

    def settle(self):
        """Before a run: the background load, after waiting for the machine
        to be quiet if asked to."""
        if self.quiet_wait:
            return wait_quiet(self.quiet_wait)
        return background_load(0.5)

    def host(self, workdir, name, instances, baud=9600, first_port=1,
             own_lines=False, wait="default", program="ulo_bench_host"):
        wait = self.wait if wait == "default" else wait
        argv = [self.bin / program, "--dir", workdir, "--first-port",
                first_port, "--baud", baud]
        if wait:
            argv += ["--wait", *wait]
        argv += ["run", "--instances", instances]
        if own_lines:
            argv.append("--own-lines")
        return Child(argv, name, workdir)

    def hosts(self, workdir, instances, **kwargs):
        """Host processes of at most PER_HOST instances each, for
        instances ports COM1..; returns [(child, first line index)]."""
        children = []
        for first in range(0, instances, PER_HOST):
            count = min(PER_HOST, instances - first)
            child = self.host(workdir, f"host{first // PER_HOST}", count,
                              first_port=first + 1, **kwargs)
            children.append((child, first))
        readies = [child.expect("ready") for child, _ in children]
        return children, readies


def drain_seconds(bench, wait):
    """Long enough for the receivers to take what is still on the line:
    their longest wait (the host's default is shorter than 500 ms) and
    some."""
    wait = bench.wait if wait == "default" else wait
    return 1.0 + (max(wait) if wait else 500) / 1000


def read_stamps(path, with_line):
    frames = []
    with open(path) as stamps:
        for row in stamps:
            parts = row.split()
            if with_line:
                frames.append((int(parts[0]), int(parts[1]), parts[2]))
            else:
                frames.append((int(parts[0]), 0, parts[1]))
    return frames


def read_deliveries(path):
    with open(path) as rows:
        return [(int(a), b, float(c)) for a, b, c in
                (row.split() for row in rows)]


def cpu_between(first, second):
    reports = second["delivered"] - first["delivered"]
    cpu = second["cpu_ns"] - first["cpu_ns"]
    return {"cpu_s": cpu / 1e9, "reports": reports,
            "cpu_ms_per_10k": cpu / 1e6 * 1e4 / reports if reports else None,
            "cpu_us_per_report": cpu / 1e3 / reports if reports else None}


# ---- delivery at line rate: driver and pyserial -------------------------


def pair_frames(frames, deliveries, ready_ns):
    """Pairs each address's frames with its deliveries, in order. Frames
    sent before the receiver was ready may be missing (pyserial empties
    the input when it opens the port): the first delivery is matched to
    the frame, among the first ones, from which the values agree longest.
    Returns {address: (frames from that one on, deliveries)}."""
    sent = defaultdict(list)
    for nanos, line, text in frames:
        address, _, value = text.partition("=")
        sent[(line, address)].append((nanos, float(value), len(text)))
    got = defaultdict(list)
    for nanos, key, value in deliveries:
        got[key].append((nanos, value))
    paired = {}
    for key, frame_list in sent.items():
        delivered = got[key]
        early = sum(1 for nanos, *_ in frame_list if nanos < ready_ns)

        def agreeing(skip):
            return sum(1 for (_, f, _), (_, d) in zip(
                frame_list[skip:skip + 50], delivered)
                       if math.isclose(f, d, abs_tol=1e-9))

        skip = max(range(min(early + 5, len(frame_list)) + 1),
                   key=lambda k: (agreeing(k), -k))
        paired[key] = (frame_list[skip:], delivered)
    return paired


def delivery_run(bench, receiver, baud, seconds, wait="default"):
    """One line at line rate: prv1sim sends back to back; the driver under
    the benchmark host, or the pyserial receiver, takes the reports."""
    background = bench.settle()
    workdir = bench.workdir(f"{receiver}-{baud}")
    stamps = workdir / "stamps.txt"
    rate = 10 * baud / 10 / FRAME_BYTES  # ahead of the line: it never idles
    sim = Child([bench.prv1sim, "--link", workdir / "COM1", "--baud", baud,
                 "--rate", rate, "--seed", 7, "--timestamps", stamps],
                "prv1sim", workdir)
    sim.line()  # listening on ...
    if receiver == "driver":
        peer = bench.host(workdir, "host", 1, baud=baud, wait=wait)
        ready = peer.expect("ready")
        ready_ns = bench_now()
        names = {str(gate): address for gate, _, address in ready["gates"]}
    else:
        peer = Child([PYTHON, ROOT / "bench" / "pyserial_receiver.py",
                      "--port", workdir / "COM1", "--baud", baud],
                     "pyserial", workdir)
        peer.expect("ready")
        ready_ns = bench_now()
        time.sleep(1.1)  # as long as the driver's receiver takes to start
        names = None
    time.sleep(1.0)  # what piled up while the receiver started drains
    busy0 = busy_jiffies()
    sim_cpu0 = process_cpu_ns(sim.proc.pid)
    first = peer.ask("mark", "mark")
    time.sleep(seconds)
    second = peer.ask("mark", "mark")
    sim_cpu1 = process_cpu_ns(sim.proc.pid)
    busy1 = busy_jiffies()
    dump = workdir / "deliveries.txt"
    peer.ask(f"dump {dump}", "dumped")
    peer.stop()
    sim.terminate()
    # The line goes on until the end: a frame counts if it was sent long
    # enough before the last mark to have been delivered by then.
    cutoff = second["mono_ns"] - int(drain_seconds(bench, wait) * 1e9)
    deliveries = [(nanos, (0, names[key] if names else key), value)
                  for nanos, key, value in read_deliveries(dump)]
    sent = lost = mismatches = 0
    latencies, window_bytes = [], 0
    for frame_list, delivered in pair_frames(
            read_stamps(stamps, with_line=False), deliveries,
            ready_ns).values():
        for index, (f_ns, f_value, length) in enumerate(frame_list):
            if not ready_ns <= f_ns <= cutoff:
                continue
            sent += 1
            if f_ns >= first["mono_ns"]:
                # STX, two header characters, the text, CR, ETX.
                window_bytes += length + 5
            if index >= len(delivered):
                lost += 1
                continue
            d_ns, d_value = delivered[index]
            if not math.isclose(f_value, d_value, abs_tol=1e-9):
                mismatches += 1
            if f_ns >= first["mono_ns"]:
                latencies.append(d_ns - f_ns)
    window_s = (cutoff - first["mono_ns"]) / 1e9
    machine_busy = os.cpu_count() * (busy1[0] - busy0[0]) / max(
        1, busy1[1] - busy0[1])
    own = (second["cpu_ns"] - first["cpu_ns"] + sim_cpu1 - sim_cpu0) / (
        second["mono_ns"] - first["mono_ns"])
    result = {
        "background_cores": background, "others_cores": machine_busy - own,
        "sent": sent, "lost": lost, "value_mismatches": mismatches,
        "latency": latency_summary(latencies),
        "latencies_ms": [x / 1e6 for x in latencies],
        "machine_busy_cores": machine_busy,
        # 10 bits a byte.
        "line_rate_share": window_bytes * 10 / baud / window_s,
    }
    result.update(cpu_between(first, second))
    shutil.rmtree(workdir, ignore_errors=True)
    return result


def bench_now():
    return time.monotonic_ns()


def section_delivery(bench, args):
    results = {}
    for baud in BAUDS:
        runs = []
        for repeat in range(args.repeats):
            log(f"  delivery {baud} baud, run {repeat + 1}")
            driver = quietly(lambda: delivery_run(bench, "driver", baud,
                                                  args.seconds))
            peer = quietly(lambda: delivery_run(bench, "pyserial", baud,
                                                args.seconds))
            ratio = {
                "cpu": peer["cpu_ms_per_10k"] / driver["cpu_ms_per_10k"]
                if driver["cpu_ms_per_10k"] and peer["cpu_ms_per_10k"]
                else None,
                "latency_p50": driver["latency"]["p50_ms"] /
                peer["latency"]["p50_ms"],
                "latency_p99": driver["latency"]["p99_ms"] /
                peer["latency"]["p99_ms"],
            }
            runs.append({"driver": driver, "pyserial": peer, "ratio": ratio})
        results[str(baud)] = {"runs": runs, "median": {
            side: {
                "sent": median_of(runs, side, "sent"),
                "lost": max(run[side]["lost"] for run in runs),
                "p50_ms": median_of(runs, side, "latency", "p50_ms"),
                "p99_ms": median_of(runs, side, "latency", "p99_ms"),
                "max_ms": median_of(runs, side, "latency", "max_ms"),
                "cpu_ms_per_10k": median_of(runs, side, "cpu_ms_per_10k"),
                "line_rate_share": median_of(runs, side, "line_rate_share"),
            } for side in ("driver", "pyserial")} | {
            "ratio": {key: median_of(runs, "ratio", key)
                      for key in ("cpu", "latency_p50", "latency_p99")}}}
    return results


# ---- a consumer that stops reading ----------------------------------------

STALL_BAUD = 57600  # the fastest the config takes (16 bits)
STALL_RATE = 300  # reports a second, about half of what the line carries


def stall_run(bench, pause, before=3, after=4):
    """ulohost --json on one prv1sim line, its stdout read by a consumer
    that stops reading for pause seconds. The simulator stops first, so
    everything it sent has arrived when the host is told to quit."""
    workdir = bench.workdir("stall")
    ulohost = bench.build / "tools" / "ulohost" / "ulohost"
    errors = open(workdir / "prv1sim.stderr", "w")
    sim = subprocess.Popen(
        [str(bench.prv1sim), "--link", str(workdir / "COM1"), "--baud",
         str(STALL_BAUD), "--rate", str(STALL_RATE), "--stats",
         str(workdir / "stats.json")],
        stdout=subprocess.PIPE, stderr=errors, text=True)
    sim.stdout.readline()  # listening
    gates = ", ".join(
        f'{{address = "{a}", type = "{"digital" if a[0] == "@" else "float"}"}}'
        for a in ("$T1", "$T2", "$T3", "$T4", "$SP1", "$SP2", "$SP3", "@DO1",
                  "@DO2", "@DO3", "@DO4"))
    (workdir / "site.toml").write_text(
        '[host]\nport_dir = "."\ncom_interval = 3600\n'
        'status_interval = 3600\n\n[[instance]]\nulo = 1\nport = "COM1"\n'
        f"baud = {STALL_BAUD}\ngate = [{gates}]\n")
    host_errors = open(workdir / "ulohost.stderr", "w")
    host = subprocess.Popen(
        [str(ulohost), "--json", str(workdir / "site.toml")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=host_errors)
    reading = threading.Event()
    reading.set()
    running = threading.Event()
    got = {"gates": 0, "lost": 0, "updates": {}}

    def consume():
        for raw in host.stdout:
            reading.wait()
            event = json.loads(raw)
            if event["event"] == "gate":
                got["gates"] += 1
                got["updates"][event["gate"]] = event["updates"]
            elif event["event"] == "lost":
                got["lost"] += event["count"]
            elif event.get("state") == "running":
                running.set()

    consumer = threading.Thread(target=consume, daemon=True)
    consumer.start()
    running.wait(30)
    time.sleep(before)
    reading.clear()
    time.sleep(pause)
    reading.set()
    time.sleep(after)
    sim.send_signal(signal.SIGTERM)
    sim.wait(30)
    errors.close()
    time.sleep(1)
    started = time.monotonic()
    host.stdin.write(b"quit\n")
    host.stdin.flush()
    code = host.wait(30)
    stop_s = time.monotonic() - started
    consumer.join(10)
    host_errors.close()
    stats = json.loads((workdir / "stats.json").read_text())
    sent = sum(p["reports"] for p in stats["points"].values())
    stored = sum(got["updates"].values())
    shutil.rmtree(workdir, ignore_errors=True)
    return {"pause_s": pause, "sent": sent, "stored": stored,
            "driver_lost": sent - stored, "delivered": got["gates"],
            "output_lost": got["lost"],
            "unaccounted": stored - got["gates"] - got["lost"],
            "stop_s": stop_s, "exit": code}


def section_stall(bench, args):
    runs = []
    for pause in (0, args.stall_seconds):
        log(f"  stall, consumer paused {pause} s")
        bench.settle()
        runs.append(stall_run(bench, pause))
    return {"runs": runs}


# ---- idle cost ------------------------------------------------------------


def idle_run(bench, instances, seconds, wait="default"):
    background = bench.settle()
    workdir = bench.workdir(f"idle-{instances}")
    children, _ = bench.hosts(workdir, instances, own_lines=True, wait=wait)
    time.sleep(3)  # an adaptive wait grows to its longest
    busy0 = busy_jiffies()
    firsts = [child.ask("mark", "mark") for child, _ in children]
    time.sleep(seconds)
    seconds_ = [child.ask("mark", "mark") for child, _ in children]
    busy1 = busy_jiffies()
    for child, _ in children:
        child.stop()
    shutil.rmtree(workdir, ignore_errors=True)
    cpu = sum(b["cpu_ns"] - a["cpu_ns"] for a, b in zip(firsts, seconds_))
    wall = max(b["mono_ns"] - a["mono_ns"] for a, b in zip(firsts, seconds_))
    machine_busy = os.cpu_count() * (busy1[0] - busy0[0]) / max(
        1, busy1[1] - busy0[1])
    return {"instances": instances, "processes": len(children),
            "background_cores": background,
            "others_cores": machine_busy - cpu / wall,
            "cpu_share_percent": 100 * cpu / wall,
            "machine_busy_cores": machine_busy}


def section_idle(bench, args):
    results = {}
    for count in IDLE_COUNTS:
        runs = []
        for repeat in range(args.repeats):
            log(f"  idle {count} instances, run {repeat + 1}")
            runs.append(quietly(lambda: idle_run(bench, count,
                                                 args.idle_seconds)))
        results[str(count)] = {
            "runs": runs,
            "median_cpu_share_percent":
            median_of(runs, "cpu_share_percent"),
            "processes": runs[0]["processes"]}
    return results


# ---- many busy lines ------------------------------------------------------


def lines_run(bench, instances, baud, seconds, rate=None, wait="default",
              program="ulo_bench_host"):
    background = bench.settle()
    workdir = bench.workdir(f"lines-{instances}-{baud}")
    stamps = workdir / "stamps.txt"
    argv = [bench.bin / "ulo_bench_lines", "--dir", workdir, "--lines",
            instances, "--baud", baud, "--seconds", seconds,
            "--timestamps", stamps]
    if rate:
        argv += ["--reports-per-second", rate]
    lines = Child(argv, "lines", workdir)
    lines.expect("ready")
    try:
        children, readies = bench.hosts(workdir, instances, baud=baud,
                                        wait=wait, program=program)
    except RuntimeError:
        lines.stop()
        raise
    busy0 = busy_jiffies()
    firsts = [child.ask("mark", "mark") for child, _ in children]
    lines.send("go")
    done = lines.expect("done", timeout=seconds + 120)
    time.sleep(drain_seconds(bench, wait))
    seconds_ = [child.ask("mark", "mark") for child, _ in children]
    busy1 = busy_jiffies()
    deliveries = []
    for (child, first_line), ready in zip(children, readies):
        dump = workdir / f"deliveries-{first_line}.txt"
        child.ask(f"dump {dump}", "dumped")
        gates = {str(g): instance for g, instance, _ in ready["gates"]}
        for nanos, gate, value in read_deliveries(dump):
            deliveries.append((nanos, first_line + gates[gate] - 1,
                               int(value)))
    for child, _ in children:
        child.stop()
    lines.stop()
    sent = {}
    for nanos, line, text in read_stamps(stamps, with_line=True):
        sent[(line, int(text.partition("=")[2]))] = nanos
    latencies = []
    for nanos, line, number in deliveries:
        frame = sent.get((line, number))
        if frame is not None:
            latencies.append(nanos - frame)
    cpu = sum(b["cpu_ns"] - a["cpu_ns"] for a, b in zip(firsts, seconds_))
    reports = sum(b["delivered"] - a["delivered"]
                  for a, b in zip(firsts, seconds_))
    result = {
        "instances": instances, "baud": baud, "background_cores": background,
        "sent": done["frames"], "delivered": len(latencies),
        "lost": done["frames"] - len(latencies),
        "damaged": done["damaged"], "overrun_bytes": done["overrun_bytes"],
        "line_rate_share": done["line_rate_share"],
        "sender_cpu_s": done["cpu_ns"] / 1e9,
        "sender_late_max_ms": done["late_max_ns"] / 1e6,
        "latency": latency_summary(latencies),
        "host_cpu_s": cpu / 1e9,
        "host_cpu_share_percent": 100 * cpu / (seconds * 1e9),
        "cpu_ms_per_10k": cpu / 1e6 * 1e4 / reports if reports else None,
        "machine_busy_cores": os.cpu_count() * (busy1[0] - busy0[0]) /
        max(1, busy1[1] - busy0[1]),
    }
    # The kernel's work for the lines counts here as other work.
    result["others_cores"] = (result["machine_busy_cores"] -
                              (cpu + done["cpu_ns"]) / (seconds * 1e9))
    result["carried"] = (result["sent"] > 0 and result["lost"] == 0 and
                         result["damaged"] == 0 and
                         result["overrun_bytes"] == 0)
    # Below this the sender, not the receivers, limits the count.
    result["lines_busy"] = result["line_rate_share"] >= LINES_BUSY
    if program != "ulo_bench_host":
        result["allocations"] = {
            side: sum(b["allocations"][side] - a["allocations"][side]
                      for a, b in zip(firsts, seconds_))
            for side in ("driver", "host")}
        result["reports_in_window"] = reports
    shutil.rmtree(workdir, ignore_errors=True)
    return result


def most_carried(bench, baud, ladder, seconds):
    """Climbs the ladder until a count is not carried, then halves the gap
    twice; returns the largest count carried, the first not carried, what
    ended the climb ("loss", "sender": the lines could no longer be kept
    busy, or "ladder") and every trial."""
    trials = []

    def carried(count):
        log(f"    {count} instances at {baud} baud")
        try:
            trial = lines_run(bench, count, baud, seconds)
        except RuntimeError as failure:
            trial = {"instances": count, "carried": False,
                     "lines_busy": True, "error": str(failure)}
        trials.append(trial)
        return trial

    best, failed, ended = 0, None, "ladder"
    for count in ladder:
        trial = carried(count)
        if not trial["carried"]:
            failed, ended = count, "loss"
            break
        if not trial["lines_busy"]:
            ended = "sender"
            break
        best = count
    for _ in range(2):
        if failed is None or failed - best <= max(2, best // 16):
            break
        middle = (best + failed) // 2
        if carried(middle)["carried"]:
            best = middle
        else:
            failed = middle
    return best, failed, ended, trials


def section_scale(bench, args):
    # A pseudo-terminal pair per line: the kernel's default limit is 4096.
    ladders = {9600: [128, 256, 512, 1024, 1536, 2048, 3072],
               115200: [64, 128, 256, 512, 1024, 1536, 2048, 3072]}
    results = {}
    for baud, ladder in ladders.items():
        runs = []
        for repeat in range(args.scale_repeats):
            log(f"  scale at {baud} baud, run {repeat + 1}")
            best, failed, ended, trials = most_carried(
                bench, baud, ladder, args.scale_seconds)
            runs.append({"most_carried": best, "first_failed": failed,
                         "ended_by": ended, "trials": trials})
        results[str(baud)] = {
            "runs": runs,
            "median_most_carried": median_of(runs, "most_carried"),
            "ladder_top": ladder[-1]}
    log("  64 instances at 115200 baud (the target)")
    target = [lines_run(bench, 64, 115200, args.seconds)
              for _ in range(args.repeats)]
    results["target_64_at_115200"] = {
        "runs": target,
        "all_carried": all(run["carried"] for run in target),
        "median_p99_ms": median_of(target, "latency", "p99_ms"),
        "median_host_cpu_share_percent":
        median_of(target, "host_cpu_share_percent")}
    return results


# ---- the host's wait ------------------------------------------------------


# Fixed waits: a busy line keeps an adaptive wait at its shortest, a quiet
# one lets it grow to its longest, so these show what either end costs.
WAIT_CHOICES = [[10], [25], [50], [100], [200], [400]]


def section_waits(bench, args):
    choices = WAIT_CHOICES + ([] if bench.wait is None else [bench.wait])
    if bench.wait is None:
        choices.append(None)  # the host's default
    results = []
    for wait in choices:
        runs = []
        for repeat in range(args.repeats):
            log(f"  wait {wait or 'default'}, run {repeat + 1}")
            run = {}
            for baud in (9600, 115200):
                delivered = quietly(lambda: delivery_run(
                    bench, "driver", baud, args.wait_seconds, wait=wait))
                delivered.pop("latencies_ms")
                run[str(baud)] = delivered
            run["sparse"] = lines_run(bench, 16, 9600, args.wait_seconds,
                                      rate=2, wait=wait)
            run["idle"] = quietly(lambda: idle_run(bench, 64,
                                                   args.wait_seconds,
                                                   wait=wait))
            runs.append(run)
        row = {"wait": wait or "default", "runs": runs,
               "sparse_p50_ms": median_of(runs, "sparse", "latency",
                                          "p50_ms"),
               "sparse_p99_ms": median_of(runs, "sparse", "latency",
                                          "p99_ms"),
               "idle64_percent": median_of(runs, "idle",
                                           "cpu_share_percent"),
               "lost": max(run[k]["lost"] for run in runs
                           for k in ("9600", "115200", "sparse"))}
        for baud in ("9600", "115200"):
            row[baud] = {
                "p50_ms": median_of(runs, baud, "latency", "p50_ms"),
                "p99_ms": median_of(runs, baud, "latency", "p99_ms"),
                "cpu_ms_per_10k": median_of(runs, baud, "cpu_ms_per_10k")}
        results.append(row)
    return results


# ---- writes, allocations, micro-benchmarks ------------------------------


def section_writes(bench, args):
    runs = []
    for repeat in range(args.repeats):
        log(f"  writes, run {repeat + 1}")
        bench.settle()
        workdir = bench.workdir("writes")
        child = Child([bench.bin / "ulo_bench_host", "--dir", workdir,
                       "write", "--writes", args.writes], "host", workdir)
        answer = child.expect("writes", timeout=600)
        child.stop()
        shutil.rmtree(workdir, ignore_errors=True)
        intervals, trips, overheads, results = [], [], [], []
        for write in answer["writes"]:
            arrivals = write["arrivals_ns"]
            intervals += [(b - a) / 1e6 for a, b in zip(arrivals,
                                                        arrivals[1:])]
            trips.append(write["round_trip_ns"] / 1e6)
            # Pacing is 100 ms after every character, the last included.
            overheads.append(write["round_trip_ns"] / 1e6 -
                             100 * len(arrivals))
            results.append(write["result"])
        deviations = [abs(x - 100) for x in intervals]
        runs.append({"characters": len(intervals) + len(trips),
                     "pace_mean_ms": statistics.mean(intervals),
                     "pace_max_deviation_ms": max(deviations),
                     "round_trip_ms": statistics.median(trips),
                     "round_trip_max_ms": max(trips),
                     "beyond_pacing_ms": statistics.median(overheads),
                     "results": results})
    return {"runs": runs,
            "pace_mean_ms": median_of(runs, "pace_mean_ms"),
            "pace_max_deviation_ms": median_of(runs, "pace_max_deviation_ms"),
            "round_trip_ms": median_of(runs, "round_trip_ms"),
            "beyond_pacing_ms": median_of(runs, "beyond_pacing_ms"),
            "all_confirmed": all(r == 0 for run in runs
                                 for r in run["results"])}


def section_alloc(bench, args):
    runs = []
    for repeat in range(args.repeats):
        log(f"  allocations, run {repeat + 1}")
        run = lines_run(bench, 4, 115200, args.seconds,
                        program="ulo_bench_host_alloc")
        reports = run["reports_in_window"]
        runs.append({"reports": reports,
                     "driver": run["allocations"]["driver"],
                     "host": run["allocations"]["host"],
                     "driver_per_report": run["allocations"]["driver"] /
                     reports,
                     "host_per_report": run["allocations"]["host"] / reports})
    return {"runs": runs,
            "driver_per_report": max(r["driver_per_report"] for r in runs),
            "host_per_report": median_of(runs, "host_per_report")}


def section_micro(bench, args):
    results = {}
    programs = {"driver": bench.bin / "ulo_driver_bench",
                "platform": bench.build / "src" / "platform" /
                "ulo_platform_bench"}
    for name, program in programs.items():
        if not program.exists():
            continue
        log(f"  {program.name}")
        bench.settle()
        out = bench.workroot / f"{name}-micro.json"
        subprocess.run([program, f"--benchmark_out={out}",
                        "--benchmark_out_format=json",
                        f"--benchmark_repetitions={args.repeats}",
                        "--benchmark_report_aggregates_only=true"],
                       check=True, stdout=subprocess.DEVNULL)
        data = json.loads(out.read_text())
        # Medians of the repetitions (a single run has none).
        kind = "median" if args.repeats > 1 else None
        results[name] = [
            {"name": b["run_name"], "label": b.get("label", ""),
             "cpu_ns": b["cpu_time"], "real_ns": b["real_time"],
             "items_per_second": b.get("items_per_second")}
            for b in data["benchmarks"] if b.get("aggregate_name") == kind]
    return results


# ---- output -------------------------------------------------------------


def fmt(value, digits=2):
    if value is None:
        return "–"
    if isinstance(value, float):
        return f"{value:.{digits}f}"
    return str(value)


def table(header, rows):
    """A Markdown table."""
    lines = ["| " + " | ".join(header) + " |",
             "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |"
              for row in rows]
    return lines + [""]


def wait_name(wait):
    return wait if isinstance(wait, str) else "–".join(str(x) for x in wait)


def tables(results):
    m = results["machine"]
    out = [f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB, "
           f"Linux {m['kernel']}, Debian {m['os']}, {m['compiler']}, Python "
           f"{m['python']}, pyserial {m['pyserial']}. Background load before "
           "each section (cores busy with other work): " + ", ".join(
               f"{k} {v:.2f}" for k, v in results["background"].items()) + ".",
           ""]
    if "delivery" in results:
        out.append("### Delivery at line rate (one line, prv1sim)")
        out.append("")
        rows, ratios = [], []
        for baud, data in results["delivery"].items():
            for side in ("driver", "pyserial"):
                d = data["median"][side]
                rows.append([baud, side, fmt(d["sent"], 0), d["lost"],
                             f"{100 * d['line_rate_share']:.0f}%",
                             fmt(d["p50_ms"]), fmt(d["p99_ms"]),
                             fmt(d["max_ms"]), fmt(d["cpu_ms_per_10k"], 1)])
            r = data["median"]["ratio"]
            ratios.append([baud, fmt(r["cpu"], 1), fmt(r["latency_p50"], 1),
                           fmt(r["latency_p99"], 1)])
        out += table(["baud", "receiver", "sent", "lost", "line used",
                      "p50 ms", "p99 ms", "max ms", "CPU ms / 10k reports"],
                     rows)
        out += table(["baud", "pyserial CPU / driver CPU",
                      "driver p50 / pyserial p50",
                      "driver p99 / pyserial p99"], ratios)
    if "idle" in results:
        out.append("### Quiet lines")
        out.append("")
        out += table(["instances", "host processes", "CPU, % of one core"],
                     [[count, data["processes"],
                       fmt(data["median_cpu_share_percent"], 3)]
                      for count, data in results["idle"].items()])
    if "scale" in results:
        out.append("### Scale: every line busy")
        out.append("")
        rows = []
        for baud in ("9600", "115200"):
            data = results["scale"][baud]
            runs = data["runs"]
            most = fmt(data["median_most_carried"], 0)
            if any(run["ended_by"] != "loss" for run in runs):
                most = f"≥ {most}"
            top = max((t for t in runs[0]["trials"]
                       if t["carried"] and t["lines_busy"]),
                      key=lambda t: t["instances"], default=None)
            rows.append([
                baud, most, ", ".join(fmt(run["first_failed"], 0)
                                      for run in runs),
                ", ".join(run["ended_by"] for run in runs),
                f"{100 * top['line_rate_share']:.1f}%, "
                f"{fmt(top['latency']['p99_ms'])} ms, "
                f"{fmt(top['host_cpu_share_percent'], 0)}%" if top else "–"])
        out += table(["baud", "most instances carried with zero loss",
                      "first count not carried", "climb ended by",
                      "at the most carried: line used, p99, host CPU "
                      "(% of one core)"], rows)
        out.append("Climb ended by: loss (a count lost reports), sender "
                   "(the benchmark's sender could no longer keep "
                   f"{100 * LINES_BUSY:.0f}% of the lines' rate), ladder "
                   "(the largest count tried).")
        out.append("")
        t = results["scale"]["target_64_at_115200"]
        out.append(f"64 instances at 115200 baud: carried in every run: "
                   f"{t['all_carried']}; p99 latency "
                   f"{fmt(t['median_p99_ms'])} ms; host CPU "
                   f"{fmt(t['median_host_cpu_share_percent'], 1)}% of one "
                   f"core.")
        out.append("")
    if "waits" in results:
        out.append("### The host's wait")
        out.append("")
        rows = []
        for w in results["waits"]:
            busy = [f"{fmt(w[b]['p50_ms'])} / {fmt(w[b]['p99_ms'])}, "
                    f"{fmt(w[b]['cpu_ms_per_10k'], 1)}"
                    for b in ("9600", "115200")]
            rows.append([wait_name(w["wait"]), *busy,
                         f"{fmt(w['sparse_p50_ms'])} / "
                         f"{fmt(w['sparse_p99_ms'])}",
                         fmt(w["idle64_percent"], 3), w["lost"]])
        out += table(["wait ms",
                      "9600 baud busy: p50 / p99 ms, CPU ms / 10k",
                      "115200 baud busy: p50 / p99 ms, CPU ms / 10k",
                      "sparse reports: p50 / p99 ms",
                      "64 quiet instances, %", "lost"], rows)
    if "writes" in results:
        w = results["writes"]
        out.append("### Writes")
        out.append("")
        out.append(f"Pace: mean {fmt(w['pace_mean_ms'], 3)} ms a character, "
                   f"largest deviation from 100 ms "
                   f"{fmt(w['pace_max_deviation_ms'], 3)} ms. Round trip "
                   f"(command 7 to its answer): median "
                   f"{fmt(w['round_trip_ms'], 1)} ms, of which "
                   f"{fmt(w['beyond_pacing_ms'], 2)} ms beyond the pacing. "
                   f"Every write confirmed: {w['all_confirmed']}.")
        out.append("")
    if "alloc" in results:
        a = results["alloc"]
        out.append("### Heap allocations per report")
        out.append("")
        out.append(f"Driver: {fmt(a['driver_per_report'], 3)} (largest of "
                   f"the runs). Stand-in host runtime: "
                   f"{fmt(a['host_per_report'], 2)}.")
        out.append("")
    if "stall" in results:
        out.append("### A consumer that stops reading (ulohost --json, "
                   f"{STALL_BAUD} baud, {STALL_RATE} reports a second)")
        out.append("")
        rows = [[r["pause_s"], r["sent"], r["stored"], r["driver_lost"],
                 r["delivered"], r["output_lost"], r["unaccounted"],
                 fmt(r["stop_s"], 1), r["exit"]]
                for r in results["stall"]["runs"]]
        out += table(["reader paused s", "sent", "stored by the driver",
                      "lost by the driver", "gate events read",
                      "counted as lost", "unaccounted", "quit took s",
                      "exit"], rows)
    if "micro" in results:
        out.append("### Micro-benchmarks (median CPU time)")
        out.append("")
        rows = []
        for group in results["micro"].values():
            for b in group:
                label = f" ({b['label']})" if b["label"] else ""
                items = b["items_per_second"]
                rows.append([b["name"] + label, fmt(b["cpu_ns"], 0),
                             fmt(1e9 / items, 1) if items else "–"])
        out += table(["benchmark", "CPU ns an iteration", "CPU ns an item"],
                     rows)
    return "\n".join(out)


def plots(results, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib missing: no plots")
        return []
    made = []

    def finish(fig, axes, name):
        for ax in axes:
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize="small")
        path = out_dir / name
        fig.savefig(path, dpi=110, bbox_inches="tight")
        plt.close(fig)
        made.append(path)

    if "delivery" in results:
        fig, ax = plt.subplots(figsize=(8, 5))
        for number, (baud, data) in enumerate(results["delivery"].items()):
            for side, style in (("driver", "-"), ("pyserial", ":")):
                samples = sorted(x for run in data["runs"]
                                 for x in run[side]["latencies_ms"])
                share = [i / len(samples) for i in range(1, len(samples) + 1)]
                ax.plot(samples, share, style, color=f"C{number}",
                        label=f"{side} {baud} baud")
        ax.set_xscale("log")
        ax.set_xlabel("latency from the frame's last byte written to the "
                      "value stored (ms)")
        ax.set_ylabel("share of reports")
        ax.set_title("Latency at line rate, the host's default wait")
        finish(fig, [ax], "latency.png")
    if "idle" in results:
        fig, ax = plt.subplots(figsize=(7, 4.5))
        counts = [int(c) for c in results["idle"]]
        ax.plot(counts, [results["idle"][str(c)]["median_cpu_share_percent"]
                         for c in counts], "o-",
                label="the host's default wait")
        for w in results.get("waits", []):
            if w["wait"] in ([10], [50], [200]):
                ax.plot([64], [w["idle64_percent"]], "s",
                        label=f"fixed {w['wait'][0]} ms wait")
        ax.axhline(1.0, color="grey", linestyle="--", label="1% of one core")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(counts, [str(c) for c in counts])
        ax.set_xlabel("started instances, quiet lines")
        ax.set_ylabel("CPU, % of one core")
        ax.set_title("Idle cost")
        finish(fig, [ax], "idle.png")
    fixed = [w for w in results.get("waits", []) if isinstance(w["wait"],
                                                                list)]
    if fixed:
        fig, (cost, quiet) = plt.subplots(1, 2, figsize=(11, 4.5))
        waits = [w["wait"][0] for w in fixed]
        for baud, color in (("9600", "C0"), ("115200", "C1")):
            cost.plot(waits, [w[baud]["cpu_ms_per_10k"] for w in fixed], "o-",
                      color=color, label=f"CPU ms / 10k reports, {baud} baud")
            cost.plot(waits, [w[baud]["p99_ms"] for w in fixed], "s--",
                      color=color, label=f"p99 latency ms, {baud} baud")
        quiet.plot(waits, [w["idle64_percent"] for w in fixed], "o-",
                   label="64 quiet instances, % of one core")
        quiet.axhline(1.0, color="grey", linestyle="--",
                      label="1% of one core")
        for ax in (cost, quiet):
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("the host's wait (ms, fixed)")
        cost.set_title("A busy line")
        quiet.set_title("Quiet lines")
        finish(fig, [cost, quiet], "waits.png")
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.
                                     RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=ROOT / "build" / "release")
    parser.add_argument("--out", default=None,
                        help="default: BUILD/bench-results")
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--scale-repeats", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--scale-seconds", type=float, default=5)
    parser.add_argument("--wait-seconds", type=float, default=5)
    parser.add_argument("--writes", type=int, default=6)
    parser.add_argument("--stall-seconds", type=float, default=20,
                        help="how long the stall section's reader pauses")
    parser.add_argument("--wait", type=int, nargs="+", default=None,
                        help="the host's wait for every section but waits "
                        "(default: the host's own)")
    parser.add_argument("--quiet-wait", type=float, default=120,
                        help="before every run, wait up to this many "
                        "seconds for the machine to be quiet (0: do not)")
    parser.add_argument("--quick", action="store_true",
                        help="one short run of everything, to try it out")
    parser.add_argument("--from", dest="sources", nargs="+", default=None,
                        metavar="RESULTS",
                        help="run nothing: make the tables and plots from "
                        "these results.json files, a later file's sections "
                        "replacing an earlier one's")
    args = parser.parse_args()
    if args.sources:
        report(merged(args.sources), Path(args.out or "."))
        return
    if args.quick:
        args.repeats = 1
        args.seconds = args.idle_seconds = args.wait_seconds = 3
        args.scale_seconds = 3
        args.scale_repeats = 1
        args.writes = 2
    build = Path(args.build)
    out_dir = Path(args.out) if args.out else build / "bench-results"
    out_dir.mkdir(parents=True, exist_ok=True)
    workroot = Path(tempfile.mkdtemp(prefix="ulopr1-bench-"))
    bench = Bench(build, workroot, args.wait, args.quiet_wait)

    sections = {"delivery": section_delivery, "idle": section_idle,
                "scale": section_scale, "waits": section_waits,
                "writes": section_writes, "alloc": section_alloc,
                "micro": section_micro, "stall": section_stall}
    chosen = args.only or list(sections)
    results = {"machine": machine(), "arguments": {
        k: (str(v) if isinstance(v, Path) else v)
        for k, v in vars(args).items()}, "background": {}}
    started = time.monotonic()
    try:
        for name in chosen:
            log(f"{name}:")
            results["background"][name] = bench.settle()
            results[name] = sections[name](bench, args)
            # Kept after each section: a long run stopped late keeps the rest.
            results["minutes"] = (time.monotonic() - started) / 60
            (out_dir / "results.json").write_text(json.dumps(results,
                                                             indent=1))
    finally:
        shutil.rmtree(workroot, ignore_errors=True)
    report(results, out_dir, kept=["results.json"])


def merged(sources):
    """The sections of several results files, a later file's sections
    replacing an earlier one's."""
    results = {"background": {}}
    for source in sources:
        part = json.loads(Path(source).read_text())
        results["machine"] = part["machine"]
        results["background"].update(part["background"])
        for name in part["background"]:
            results[name] = part[name]
    return results


def report(results, out_dir, kept=()):
    """Writes summary.md and the plots to out_dir, prints the tables and
    names the files there (kept: those written before)."""
    out_dir.mkdir(parents=True, exist_ok=True)
    summary = tables(results)
    (out_dir / "summary.md").write_text(summary + "\n")
    made = plots(results, out_dir)
    print(summary)
    names = [*kept, "summary.md", *(p.name for p in made)]
    log(f"results in {out_dir}: {', '.join(names)}")


if __name__ == "__main__":
    main()
