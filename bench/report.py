#!/usr/bin/env python3
"""Combines the native, Java, Python and (where present) FFM benchmark results into one table and one JSON file.

Usage: report.py NATIVE_JSON JAVA_JSON FFM_JSON_OR_- OUTPUT_JSON MACHINE_TEXT [PYTHON_JSON_OR_- [ROOM_JSON]]
"""
import json
import sys

NATIVE_GOAL = {"trackdGetMatrix": 1.4}
LOOKUP_GOAL = 1.3
JAVA_GOAL = 1.15
PYTHON_MATRIX_GOAL = 1.5  # Tracker.matrix(i) beside a bare pybind11 function returning a fresh (4, 4) array
PYTHON_MATRICES_GOAL = 2.0  # Tracker.matrices() for 64 sensors beside one Tracker.matrix(i)
LOAD_SECONDS_GOAL = 3.0  # load_recording of one hour at 120 Hz with 8 sensors
LOAD_SPEEDUP_GOAL = 5.0  # beside Python's json module building the same arrays
EXPORT_SECONDS_GOAL = 3.0  # Recording.to_dataframe and Recording.to_hdf5 of that same hour
ROOM_FRAME_GOAL = 2.0  # a frame of the room's math beside as many 4x4 products
ROOM_PAIR_GOAL_NS = 1000.0  # each eye and screen's matrices, the eyes' share included
JAVA_READER = {
    "getNumSensors": "trackdGetNumberOfSensors",
    "getMatrix": "trackdGetMatrix",
    "getNumButtons": "trackdGetNumberOfButtons",
    "getButton": "trackdGetButton",
    "getNumValuators": "trackdGetNumberOfValuators",
    "getValuator": "trackdGetValuator",
}


def native_results(path):
    """name -> {median, cv, items} from Google Benchmark's aggregates."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate":
            continue
        name = b["run_name"]
        entry = out.setdefault(name, {})
        if b["aggregate_name"] == "median":
            entry["median"] = b["real_time"] if "real_time" in name else b["cpu_time"]
            if "items_per_second" in b:
                entry["items"] = b["items_per_second"]
            if "pairs" in b:
                entry["pairs"] = b["pairs"]
        elif b["aggregate_name"] == "cv":
            entry["cv"] = 100 * (b["real_time"] if "real_time" in name else b["cpu_time"])
    return out, data.get("context", {})


def row(cells):
    return "| " + " | ".join(cells) + " |"


def main():
    native, context = native_results(sys.argv[1])
    with open(sys.argv[2]) as f:
        java = json.load(f)
    ffm = None
    if sys.argv[3] != "-":
        with open(sys.argv[3]) as f:
            ffm = json.load(f)
    machine = sys.argv[5]

    lines = [f"Measured on {machine}; {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz.",
             "", row(["call", "ns/call (median, spread)", "floor ns", "ratio", "goal"]),
             row(["---", "---:", "---:", "---:", "---:"])]
    results = {"machine": machine, "rows": []}

    def add(call, ns, spread, floor, goal):
        ratio = ns / floor if floor else None
        met = "" if goal is None else (" met" if ratio is not None and ratio <= goal else " MISSED")
        lines.append(row([call, f"{ns:.2f} ({spread})", f"{floor:.2f}" if floor else "",
                          f"{ratio:.2f}" if ratio else "", f"{goal}x{met}" if goal else ""]))
        results["rows"].append({"call": call, "ns": ns, "spread": spread, "floor": floor, "ratio": ratio,
                                "goal": goal})

    for name, entry in native.items():
        if name.startswith("query:"):
            query = name[len("query:"):]
            floor = native["floor:" + query]["median"]
            add(query, entry["median"], f"±{entry['cv']:.1f}%", floor, NATIVE_GOAL.get(query, LOOKUP_GOAL))
    for name, entry in java.items():
        if name.startswith("jni:"):
            method = name[len("jni:"):]
            floor = java["floor:" + method]["median"] + native["query:" + JAVA_READER[method]]["median"]
            add(f"TrackdJNI.{method}", entry["median"], f"{entry['min']:.2f}..{entry['max']:.2f}", floor,
                JAVA_GOAL)
    python = None
    if len(sys.argv) > 6 and sys.argv[6] != "-":
        with open(sys.argv[6]) as f:
            python = json.load(f)
        spread = lambda e: f"{e['min']:.0f}..{e['max']:.0f}"  # noqa: E731
        add("zoravovar Tracker.matrix(i)", python["matrix"]["median"], spread(python["matrix"]),
            python["floor:matrix"]["median"], PYTHON_MATRIX_GOAL)
        add(f"zoravovar Tracker.matrices(), {python['sensors']} sensors", python["matrices"]["median"],
            spread(python["matrices"]), python["matrix"]["median"], PYTHON_MATRICES_GOAL)
        add(f"{python['sensors']} calls of Tracker.matrix(i)", python["64 matrix calls"]["median"],
            spread(python["64 matrix calls"]), None, None)
        results["python"] = python
    room_lines = []
    if len(sys.argv) > 7:
        room, _ = native_results(sys.argv[7])
        results["room"] = {}
        for name, entry in room.items():
            if name.startswith("query:"):
                call = name[len("query:"):]
                floor = room["floor:" + call.rsplit(",", 1)[0]]["median"]
                add(call, entry["median"], f"±{entry['cv']:.1f}%", floor, ROOM_FRAME_GOAL)
                pair = entry["median"] / entry["pairs"]
                room_lines.append(f"{call}: {pair:.1f} ns per eye and screen (goal under {ROOM_PAIR_GOAL_NS:.0f} ns"
                                  f"{' met' if pair < ROOM_PAIR_GOAL_NS else ' MISSED'}).")
                results["room"][call] = {"ns per eye and screen": pair}
    for name, entry in native.items():
        if name.startswith("scale:"):
            add(name[len("scale:"):], entry["median"], f"±{entry['cv']:.1f}%", None, None)
    one = native.get("threads:trackdGetMatrix/real_time/threads:1")
    two = native.get("threads:trackdGetMatrix/real_time/threads:2")
    if one and two:
        lines.append("")
        lines.append(f"trackdGetMatrix polls per second: {one['items'] / 1e6:.2f} M on 1 thread, "
                     f"{two['items'] / 1e6:.2f} M summed over 2 threads ({two['items'] / one['items']:.2f}x).")
        results["threads"] = {"one": one["items"], "two": two["items"]}
    lines.append("")
    if room_lines:
        lines.extend(room_lines)
        lines.append("")
    if python:
        load, baseline = python["load_recording"], python["json"]["seconds"]
        speedup = baseline / load["median"]
        native_matrix = native.get("query:trackdGetMatrix", {}).get("median")
        if native_matrix:
            lines.append(f"Tracker.matrices() calls trackdGetMatrix {python['sensors']} times: natively "
                         f"{python['sensors'] * native_matrix:.0f} ns for those alone, "
                         f"{python['sensors'] * native_matrix / python['matrix']['median']:.2f}x one "
                         f"Tracker.matrix(i).")
        lines.append(f"load_recording of {load['frames']} lines ({load['sensors']} sensors): {load['median']:.2f} s "
                     f"(median of 3, {load['min']:.2f}..{load['max']:.2f}; goal under {LOAD_SECONDS_GOAL:g} s"
                     f"{' met' if load['median'] < LOAD_SECONDS_GOAL else ' MISSED'}); Python's json module building "
                     f"the same arrays: {baseline:.2f} s, {speedup:.1f}x slower (goal {LOAD_SPEEDUP_GOAL:g}x"
                     f"{' met' if speedup >= LOAD_SPEEDUP_GOAL else ' MISSED'}); Recording.matrices() "
                     f"for all {load['frames']} frames: {python['recording matrices']['seconds']:.2f} s.")
        for export in ("to_dataframe", "to_hdf5"):
            if export in python:
                took = python[export]
                lines.append(f"Recording.{export}() of the same recording: {took['median']:.2f} s (median of 3, "
                             f"{took['min']:.2f}..{took['max']:.2f}; goal under {EXPORT_SECONDS_GOAL:g} s"
                             f"{' met' if took['median'] < EXPORT_SECONDS_GOAL else ' MISSED'}), "
                             f"{load['median'] and took['median'] / load['median']:.2f}x load_recording.")
        lines.append("")
    if ffm:
        lines.append(f"Pure Java with the Foreign Function and Memory API (JDK 22+), same checks: button "
                     f"{ffm['ffm:button']['median']:.2f} ns beside TrackdJNI.getButton "
                     f"{java['jni:getButton']['median']:.2f} ns; position {ffm['ffm:position']['median']:.2f} ns "
                     f"beside TrackdJNI.getMatrix {java['jni:getMatrix']['median']:.2f} ns (the JNI interface's "
                     f"only way to a position).")
        results["ffm"] = ffm
    else:
        lines.append("FFM row skipped: no JDK of version 22 or newer on this machine.")
    print("\n".join(lines))
    with open(sys.argv[4], "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
