#!/usr/bin/env python3
"""Turns the mirror benchmark's measurements into its table, with the goals, and a JSON file.

Usage: mirror-report.py MEASUREMENTS OUTPUT_JSON RATE SENSORS SECONDS DEFAULT_POLL_RATE FAST_POLL_RATE
                        PERIODIC_RATE JITTER_US
Each measurement line: NAME POLL_RATE FRAMES P50_US P99_US MAX_US SENDER_CPU RECEIVER_CPU PACKETS_PER_WRITE
SENDER_USER_CPU (CPU in percent of one core). A goal is met only where the row of the default settings
meets it.
"""
import json
import sys

P50_GOAL = 3.0  # times the floor
P99_GOAL_US = 1000.0
CPU_GOAL = 5.0  # percent of a core, each side
FLAT_GOAL = 1.25  # the publisher's packets per write with three subscribers over one
PERIODIC_P99_GOAL_US = 250.0
PERIODIC_P50_GOAL = 1.5  # times the one-way ping
PERIODIC_CPU_GOAL = 2.0  # percent of a core, each side

LABELS = {"floor": "raw UDP, same polling (floor)", "mirror": "trackd-mirror, 1 subscriber",
          "mirror3": "trackd-mirror, 3 subscribers", "ping": "raw UDP one-way ping (floor)",
          "periodic": "trackd-mirror, 1 subscriber, periodic writer"}


def main():
    path, output, rate, sensors, seconds, default_poll, fast_poll, periodic_rate, jitter = sys.argv[1:10]
    rows = []
    with open(path) as f:
        for line in f:
            name, poll, frames, p50, p99, peak, sender, receiver, packets, sender_user = line.split()
            rows.append({"name": name, "poll_rate": int(poll), "frames": int(frames), "p50_us": float(p50),
                         "p99_us": float(p99), "max_us": float(peak), "sender_cpu_percent": float(sender),
                         "receiver_cpu_percent": float(receiver), "packets_per_write": float(packets),
                         "sender_user_cpu_percent": float(sender_user)})
    find = {(r["name"], r["poll_rate"]): r for r in rows}
    floors = {r["poll_rate"]: r["p50_us"] for r in rows if r["name"] == "floor"}
    ping = find[("ping", 0)]
    floors[0] = ping["p50_us"]

    print(f"\nMirror between network namespaces over veth and a bridge: {rate} writes/s of {sensors} sensors at "
          f"random moments, or {periodic_rate} writes/s ±{jitter} µs (periodic), {seconds} s per row; the delay runs "
          "from the write on host A to the same bytes in host B's segment.")
    print("| path | poll Hz | frames seen | p50 µs | p99 µs | max µs | p50 / floor | sender CPU (user) "
          "| receiver CPU | packets per write |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        ratio = r["p50_us"] / (ping["p50_us"] if r["name"] == "periodic" else floors[r["poll_rate"]])
        print(f"| {LABELS[r['name']]} | {r['poll_rate']} | {r['frames']} | {r['p50_us']:.0f} | {r['p99_us']:.0f} | "
              f"{r['max_us']:.0f} | {ratio:.2f}x | {r['sender_cpu_percent']:.1f}% ({r['sender_user_cpu_percent']:.1f}%) "
              f"| {r['receiver_cpu_percent']:.1f}% "
              f"| {r['packets_per_write']:.2f} |")
    slow, fast = find[("mirror", int(default_poll))], find[("mirror", int(fast_poll))]
    three = find[("mirror3", int(default_poll))]
    packets = three["packets_per_write"] / max(slow["packets_per_write"], 0.01)
    cpu = three["sender_cpu_percent"] / max(slow["sender_cpu_percent"], 0.1)
    user = three["sender_user_cpu_percent"] / max(slow["sender_user_cpu_percent"], 0.1)
    goals = [
        (f"p50 within {P50_GOAL:.0f}x the floor", f"{slow['p50_us'] / floors[slow['poll_rate']]:.2f}x at "
         f"{default_poll} Hz, {fast['p50_us'] / floors[fast['poll_rate']]:.2f}x at {fast_poll} Hz",
         max(slow["p50_us"] / floors[slow["poll_rate"]], fast["p50_us"] / floors[fast["poll_rate"]]) <= P50_GOAL),
        ("p99 under 1 ms", f"{slow['p99_us']:.0f} µs at {default_poll} Hz (default), {fast['p99_us']:.0f} µs at "
         f"{fast_poll} Hz", slow["p99_us"] < P99_GOAL_US),
        (f"each side under {CPU_GOAL:.0f}% of a core at the default poll rate",
         f"{slow['sender_cpu_percent']:.1f}% and {slow['receiver_cpu_percent']:.1f}%",
         max(slow["sender_cpu_percent"], slow["receiver_cpu_percent"]) < CPU_GOAL),
        ("publisher flat from 1 to 3 subscribers", f"packets per write {packets:.2f}x, CPU {cpu:.2f}x ({user:.2f}x in user space)",
         packets <= FLAT_GOAL),
    ]
    periodic = find[("periodic", int(default_poll))]
    goals += [
        (f"periodic writer: p99 ≤ {PERIODIC_P99_GOAL_US:.0f} µs", f"{periodic['p99_us']:.0f} µs",
         periodic["p99_us"] <= PERIODIC_P99_GOAL_US),
        (f"periodic writer: p50 within {PERIODIC_P50_GOAL}x the one-way ping",
         f"{periodic['p50_us']:.0f} µs, {periodic['p50_us'] / ping['p50_us']:.2f}x the ping's {ping['p50_us']:.0f} µs",
         periodic["p50_us"] <= PERIODIC_P50_GOAL * ping["p50_us"]),
        (f"periodic writer: each side ≤ {PERIODIC_CPU_GOAL:.0f}% of a core",
         f"{periodic['sender_cpu_percent']:.1f}% and {periodic['receiver_cpu_percent']:.1f}%",
         max(periodic["sender_cpu_percent"], periodic["receiver_cpu_percent"]) <= PERIODIC_CPU_GOAL),
    ]
    print()
    for goal, value, met in goals:
        print(f"- {goal}: {value}, {'met' if met else 'missed'}")
    with open(output, "w") as f:
        json.dump({"rate": int(rate), "sensors": int(sensors), "rows": rows,
                   "goals": [{"goal": g, "value": v, "met": m} for g, v, m in goals]}, f, indent=2)


if __name__ == "__main__":
    main()
