#!/usr/bin/env python3
"""Change detection: steady polling at three rates beside the change watcher, for periodic writers with
jitter, one at random moments, periodic writers with extra writes and a still one; then the monitor and
the recorder against the simulator, still and at a tracker's rate. Prints the tables and the goals, and
writes them as JSON.

CPU is the reader's own time on the CPU (its thread's getrusage in watcherBench, the tool's tasks'
/proc/PID/task/*/schedstat for the tools), not wall time, so that other work on a shared machine
changes it less.

Usage: watcher-bench.py BUILD_DIR OUTPUT_JSON
"""
import glob
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

SECONDS = 3  # measured per row, after a second of warm-up
JITTER_US = 200
WRITERS = [("periodic", 60, JITTER_US), ("periodic", 120, JITTER_US), ("periodic", 240, JITTER_US),
           ("periodic", 1000, JITTER_US), ("periodic", 120, 0), ("random", 1000, 0)]
WATCHERS = [("steady", 1000), ("steady", 4000), ("steady", 20000), ("watcher", 1000)]
TOOL_POLL_HZ = 20000  # the monitor's default --poll-rate
# A 100 Hz writer that writes again 2 and 4 ms (or 2 ms) after every tenth write; a writer that writes once.
EXTRA_WRITERS = [("extras:2,4", 100, 0), ("extras:2", 100, 0)]
EXTRA_WATCHERS = [("steady", TOOL_POLL_HZ), ("watcher", TOOL_POLL_HZ)]
STILL_WATCHERS = [("watcher", TOOL_POLL_HZ), ("sleep", 1000)]  # sleep: a bare 1 kHz sleep, no look (the floor)
DEFAULT_FALLBACK_HZ = 1000  # the watcher's steady polling here: trackd-mirror publish's default --poll-rate
P50_GOAL_US, P99_GOAL_US, CPU_GOAL = 30.0, 100.0, 1.0
STILL_CPU_GOAL, RECORD_JITTER_CPU_GOAL, RECORD_CPU_GOAL = 1.0, 2.0, 1.0
RECORD_HZ = 120
DRIVEN_IDLE, DRIVEN_NOISE = "driven, nobody driving", 0.5  # percent of a core taken for noise
TOOL_WARM_UP, TOOL_SECONDS = 2.0, 5.0  # the tools learn (or find stillness) first; then their CPU is measured
MARKER_HZ = 100  # markers sent to the recorder's socket, for the row with markers


def row(build, writer, hz, jitter, watcher, poll):
    out = subprocess.run([f"{build}/bin/watcherBench", writer, str(hz), str(jitter), str(SECONDS), watcher, str(poll)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def cpu_ns(pid):
    """Time on the CPU of all of a process's threads so far, in nanoseconds."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended
    return total


def measured(argv, **popen):
    """Starts a tool that ends by itself after TOOL_WARM_UP + TOOL_SECONDS and more; its CPU in percent of a
    core over TOOL_SECONDS after the warm-up."""
    tool = subprocess.Popen(argv, **popen)
    time.sleep(TOOL_WARM_UP)
    before, start = cpu_ns(tool.pid), time.monotonic()
    time.sleep(TOOL_SECONDS)
    after, end = cpu_ns(tool.pid), time.monotonic()
    if tool.wait(timeout=60) != 0:
        raise RuntimeError(f"{argv[0]} failed")
    return round(100 * (after - before) / 1e9 / (end - start), 2)


def simulator(build, keys, options):
    # stdin a pipe held open: the driven simulator (--interactive --commands) waits on it for commands.
    sim = subprocess.Popen([f"{build}/bin/trackd-sim", "--tracker-key", keys[0], "--controller-key", keys[1]] + options,
                           stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
    sim.stdout.readline()
    return sim


def new_keys():
    tracker = int.from_bytes(os.urandom(3), "big") + 0x10000000
    return [str(tracker), str(tracker + 1)]


def send_markers(path, stop):
    """Sends a marker to the recorder's socket MARKER_HZ times a second until `stop` is set."""
    while not os.path.exists(path) and not stop.is_set():
        time.sleep(0.01)
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    n, start = 0, time.monotonic()
    while not stop.is_set():
        try:
            sender.sendto(f"marker {n}".encode(), path)
        except OSError:
            pass  # the recorder has ended
        n += 1
        time.sleep(max(0.0, start + n / MARKER_HZ - time.monotonic()))
    sender.close()


def tool(build, still, jitter, record, markers=False):
    """The monitor (--json) or the recorder (--record) beside trackd-sim --static or --pattern at RECORD_HZ;
    its CPU, and for a recording its lines and the updates it missed. With `markers`, the recorder listens for
    markers, sent at MARKER_HZ."""
    keys = new_keys()
    sim = simulator(build, keys, ["--static"] if still else
                    ["--rate", str(RECORD_HZ), "--pattern", "--jitter", str(jitter)])
    duration = str(TOOL_WARM_UP + TOOL_SECONDS + 0.5)
    monitor = [f"{build}/bin/trackd-monitor", "--tracker-key", keys[0], "--controller-key", keys[1], "--duration",
               duration]
    result = {"source": "still" if still else f"{RECORD_HZ} Hz ±{jitter} µs",
              "tool": ("recorder, markers at %d Hz" % MARKER_HZ if markers else "recorder") if record else "monitor"}
    stop = threading.Event()
    try:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.jsonl")
            if record:
                listen = []
                if markers:
                    socket_path = os.path.join(folder, "markers")
                    listen = ["--markers", socket_path]
                    threading.Thread(target=send_markers, args=(socket_path, stop), daemon=True).start()
                result["cpu_percent"] = measured(monitor + ["--record", path] + listen, stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL)
                stop.set()
                with open(path) as f:
                    lines = [line for line in f.readlines()[1:] if '"marker"' not in line]
                result["lines"] = len(lines)
                if not still:
                    # --pattern: sensor 0's x is the update's number modulo 100, so a gap is a missed update.
                    numbers = [round(json.loads(line)["sensors"][0]["position"][0]) % 100 for line in lines]
                    result["missed"] = sum((b - a) % 100 - 1 for a, b in zip(numbers, numbers[1:]) if (b - a) % 100 > 1)
            else:
                with open(path, "w") as out:
                    result["cpu_percent"] = measured(monitor + ["--json"], stdout=out, stderr=subprocess.DEVNULL)
                with open(path) as f:
                    result["mode"] = json.loads(f.readlines()[-1])["health"]["watching"]
    finally:
        stop.set()
        sim.terminate()
        sim.wait()
    return result


def beside(build, options, source):
    """The monitor (--json) beside trackd-sim with `options`: its CPU and the health it ends with."""
    keys = new_keys()
    sim = simulator(build, keys, options)
    monitor = [f"{build}/bin/trackd-monitor", "--tracker-key", keys[0], "--controller-key", keys[1], "--duration",
               str(TOOL_WARM_UP + TOOL_SECONDS + 0.5), "--json"]
    result = {"source": source, "tool": "monitor"}
    try:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.jsonl")
            with open(path, "w") as out:
                result["cpu_percent"] = measured(monitor, stdout=out, stderr=subprocess.DEVNULL)
            with open(path) as f:
                health = json.loads(f.readlines()[-1])["health"]
            result["mode"] = f"{health['watching']}; tracker {health['tracker']['state']}"
    finally:
        sim.terminate()
        sim.wait()
    return result


def writer_text(r):
    if r["writer"] == "periodic":
        return f"periodic {r['hz']:g} Hz ±{r['jitter_us']:g} µs"
    if r["writer"] == "random":
        return f"random moments, {r['hz']:g} Hz"
    if r["writer"] == "still":
        return "still (one write)"
    return f"periodic {r['hz']:g} Hz, again +{r['writer'][len('extras:'):].replace(',', ' and +')} ms every tenth"


def main():
    build, output = sys.argv[1:3]
    rows = []
    for writers, watchers in ((WRITERS, WATCHERS), (EXTRA_WRITERS, EXTRA_WATCHERS), ([("still", 120, 0)], STILL_WATCHERS)):
        for writer, hz, jitter in writers:
            for watcher, poll in watchers:
                print(f"change detection: {writer} {hz} Hz +-{jitter} us, {watcher} {poll} Hz...", file=sys.stderr)
                rows.append(row(build, writer, hz, jitter, watcher, poll))
    tools = []
    for still, jitter, record in ((True, 0, False), (True, 0, True), (False, JITTER_US, True), (False, 0, True),
                                  (False, JITTER_US, False)):
        print(f"{'recorder' if record else 'monitor'} beside a {'still' if still else 'driven'} simulator...",
              file=sys.stderr)
        tools.append(tool(build, still, jitter, record))
    # The driven simulator while nobody drives writes its counter at 60 Hz, as the moving one writes poses.
    for options, source in ((["--interactive", "--commands"], DRIVEN_IDLE), (["--rate", "60"], "60 Hz motion")):
        print(f"monitor beside trackd-sim {' '.join(options)}...", file=sys.stderr)
        tools.append(beside(build, options, source))
    print("recorder beside a driven simulator, with markers...", file=sys.stderr)
    tools.append(tool(build, False, 0, True, markers=True))

    print(f"\nChange detection: a writer thread writes a {1308}-byte block, stamping each write; the reader looks "
          f"steadily or with the change watcher (falling back to {DEFAULT_FALLBACK_HZ} Hz, or {TOOL_POLL_HZ} Hz "
          f"beside extra writes and a still writer, as the monitor does), {SECONDS} s a row. CPU: the reader "
          "thread's own, from getrusage.")
    print("| writer | reader | seen | missed | p50 µs | p99 µs | max µs | CPU | watcher's state at the end |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for r in rows:
        reader = {"steady": f"steady {r['poll_hz']:g} Hz", "sleep": f"floor: a bare {r['poll_hz']:g} Hz sleep",
                  "watcher": f"change watcher ({r['poll_hz']:g} Hz)"}[r["watcher"]]
        print(f"| {writer_text(r)} | {reader} | {r['seen']} | {r['missed']} | {r['p50_us']:.1f} | {r['p99_us']:.1f} "
              f"| {r['max_us']:.0f} | {r['cpu_percent']:.2f}% | {r['mode'] if r['watcher'] != 'sleep' else ''} |")
    print(f"\nThe tools beside trackd-sim (--static, or --pattern at {RECORD_HZ} Hz), their CPU over {TOOL_SECONDS:g} s "
          f"after {TOOL_WARM_UP:g} s, from /proc/PID/task/*/schedstat:")
    print("| tool | source | CPU | lines | missed | watcher's state |")
    print("|---|---|---:|---:|---:|---|")
    for t in tools:
        print(f"| {t['tool']} | {t['source']} | {t['cpu_percent']:.2f}% | {t.get('lines', '')} | {t.get('missed', '')} "
              f"| {t.get('mode', '')} |")

    def find(writer, hz, jitter, watcher, poll=DEFAULT_FALLBACK_HZ):
        return next(r for r in rows if (r["writer"], r["hz"], r["jitter_us"], r["watcher"], r["poll_hz"]) ==
                    (writer, hz, jitter, watcher, poll))

    def find_tool(name, source):
        return next(t for t in tools if (t["tool"], t["source"]) == (name, source))

    goals = []
    for hz in (60, 120, 240, 1000):
        w = find("periodic", hz, JITTER_US, "watcher")
        goals.append((f"detection at {hz} Hz ±{JITTER_US} µs: p50 ≤ {P50_GOAL_US:.0f} µs, p99 ≤ {P99_GOAL_US:.0f} µs, "
                      "none missed", f"p50 {w['p50_us']:.1f} µs, p99 {w['p99_us']:.1f} µs, {w['missed']} missed",
                      w["p50_us"] <= P50_GOAL_US and w["p99_us"] <= P99_GOAL_US and w["missed"] == 0))
    locked = [r for r in rows if r["watcher"] == "watcher" and r["mode"].startswith("locked")]
    goals.append((f"detection p50 ≤ {P50_GOAL_US:.0f} µs once locked",
                  ", ".join(f"{writer_text(r)}: {r['p50_us']:.1f} µs" for r in locked) or "never locked",
                  bool(locked) and all(r["p50_us"] <= P50_GOAL_US for r in locked)))
    still, jittery = find("periodic", 120, 0, "watcher"), find("periodic", 120, JITTER_US, "watcher")
    goals.append((f"the watcher's CPU at 120 Hz ≤ {CPU_GOAL:.0f}% of a core",
                  f"{still['cpu_percent']:.2f}% for a steady writer, {jittery['cpu_percent']:.2f}% with ±{JITTER_US} µs",
                  still["cpu_percent"] <= CPU_GOAL))
    rw, rs = find("random", 1000, 0, "watcher"), find("random", 1000, 0, "steady")
    goals.append(("writer at random moments at 1 kHz: no worse than steady polling at the same CPU",
                  f"missed {rw['missed']} vs {rs['missed']}, p50 {rw['p50_us']:.0f} vs {rs['p50_us']:.0f} µs, "
                  f"CPU {rw['cpu_percent']:.2f}% vs {rs['cpu_percent']:.2f}%",
                  rw["missed"] <= rs["missed"] * 1.05 and rw["cpu_percent"] <= rs["cpu_percent"] * 1.2))
    pairs = [(find(w, hz, j, "watcher", TOOL_POLL_HZ), find(w, hz, j, "steady", TOOL_POLL_HZ)) for w, hz, j in EXTRA_WRITERS]
    goals.append(("extra writes: none missed that steady polling at the same rate sees",
                  "; ".join(f"{writer_text(w)}: {w['missed']} missed vs {s['missed']}" for w, s in pairs),
                  all(w["missed"] <= s["missed"] for w, s in pairs)))
    floor = find("still", 120, 0, "sleep", 1000)
    still_tools = [find_tool("monitor", "still"), find_tool("recorder", "still")]
    goals.append((f"a still source: the monitor and the recorder ≤ {STILL_CPU_GOAL:g}% of a core",
                  f"monitor {still_tools[0]['cpu_percent']:.2f}%, recorder {still_tools[1]['cpu_percent']:.2f}% "
                  f"(a bare 1 kHz sleep alone: {floor['cpu_percent']:.2f}%)",
                  all(t["cpu_percent"] <= STILL_CPU_GOAL for t in still_tools)))
    recorded = [find_tool("recorder", f"{RECORD_HZ} Hz ±{j} µs") for j in (JITTER_US, 0)]
    goals.append((f"the recorder at {RECORD_HZ} Hz ≤ {RECORD_JITTER_CPU_GOAL:g}% of a core with ±{JITTER_US} µs, "
                  f"≤ {RECORD_CPU_GOAL:g}% without, every change recorded once",
                  f"{recorded[0]['cpu_percent']:.2f}% and {recorded[1]['cpu_percent']:.2f}%, "
                  f"{recorded[0]['missed']} and {recorded[1]['missed']} missed",
                  recorded[0]["cpu_percent"] <= RECORD_JITTER_CPU_GOAL and recorded[1]["cpu_percent"] <= RECORD_CPU_GOAL
                  and recorded[0]["missed"] == 0 and recorded[1]["missed"] == 0))
    idle, moving = find_tool("monitor", DRIVEN_IDLE), find_tool("monitor", "60 Hz motion")
    goals.append(("the monitor beside the driven simulator nobody drives: as beside the 60 Hz one, within noise",
                  f"{idle['cpu_percent']:.2f}% vs {moving['cpu_percent']:.2f}%",
                  idle["cpu_percent"] <= max(2 * moving["cpu_percent"], moving["cpu_percent"] + DRIVEN_NOISE)))
    marked = find_tool(f"recorder, markers at {MARKER_HZ} Hz", f"{RECORD_HZ} Hz ±0 µs")
    goals.append((f"the recorder at {RECORD_HZ} Hz with markers arriving at {MARKER_HZ} Hz: its CPU unchanged within "
                  "noise (a quarter, or 0.2 points)",
                  f"{marked['cpu_percent']:.2f}% vs {recorded[1]['cpu_percent']:.2f}% without, {marked['missed']} missed",
                  marked["cpu_percent"] <= max(recorded[1]["cpu_percent"] * 1.25, recorded[1]["cpu_percent"] + 0.2)))
    print()
    for goal, value, met in goals:
        print(f"- {goal}: {value}, {'met' if met else 'missed'}")
    with open(output, "w") as f:
        json.dump({"rows": rows, "tools": tools, "goals": [{"goal": g, "value": v, "met": m} for g, v, m in goals]},
                  f, indent=2)


if __name__ == "__main__":
    main()
