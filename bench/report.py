#!/usr/bin/env python3
"""Combines the native, Java and (where present) FFM benchmark results into one table and one JSON file.

Usage: report.py NATIVE_JSON JAVA_JSON FFM_JSON_OR_- OUTPUT_JSON MACHINE_TEXT
"""
import json
import sys

NATIVE_GOAL = {"trackdGetMatrix": 1.4}
LOOKUP_GOAL = 1.3
JAVA_GOAL = 1.15
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
