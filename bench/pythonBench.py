#!/usr/bin/python3
"""zoravovar beside its floors, against a simulator with 64 sensors and a recording of one hour.

Usage: pythonBench.py TRACKER_KEY CONTROLLER_KEY RECORDING OUTPUT_JSON (with PYTHONPATH naming the build's
python folder, which holds zoravovar and zoravovar_floor).
"""
import json
import statistics
import sys
import time
import timeit

import numpy as np

import zoravovar
import zoravovar_floor


def per_call_ns(function, *args, repeat=9, seconds=0.2):
    """Median, min and max of `repeat` runs, each of as many calls as fill about `seconds`."""
    timer = timeit.Timer(lambda: function(*args))
    number = max(1, int(seconds / max(timer.timeit(100) / 100, 1e-9)))
    runs = [t / number * 1e9 for t in timer.repeat(repeat=repeat, number=number)]
    return {"median": statistics.median(runs), "min": min(runs), "max": max(runs)}


def with_json(path):
    """The same arrays as load_recording's, built with Python's own json module, reading line by line."""
    times, position, angles, buttons, valuators = [], [], [], [], []
    loads = json.loads
    with open(path) as lines:
        for text in lines:
            line = loads(text)
            if "format" in line:
                continue
            times.append(line["time"])
            for sensor in line["sensors"]:
                position.extend(sensor["position"])
                angles.extend(sensor["angles"])
            buttons.extend(line["buttons"])
            valuators.extend(line["valuators"])
    frames = len(times)
    nan = float("nan")
    return (np.array(times), np.array([nan if v is None else v for v in position], np.float32).reshape(frames, -1, 3),
            np.array([nan if v is None else v for v in angles], np.float32).reshape(frames, -1, 3),
            np.array(buttons, np.int64).reshape(frames, -1),
            np.array([nan if v is None else v for v in valuators], np.float32).reshape(frames, -1))


def main():
    tracker_key, controller_key, recording, output = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    tracker = zoravovar.Tracker(tracker_key)
    results = {"sensors": tracker.sensor_count}
    results["floor:matrix"] = per_call_ns(zoravovar_floor.fresh_matrix)
    results["matrix"] = per_call_ns(tracker.matrix, 0)
    results["matrices"] = per_call_ns(tracker.matrices)
    results["64 matrix calls"] = per_call_ns(lambda: [tracker.matrix(i) for i in range(64)], repeat=5)

    runs = []
    for _ in range(3):
        start = time.perf_counter()
        loaded = zoravovar.load_recording(recording)
        runs.append(time.perf_counter() - start)
    results["load_recording"] = {"median": statistics.median(runs), "min": min(runs), "max": max(runs),
                                 "frames": len(loaded), "sensors": loaded.position.shape[1]}
    start = time.perf_counter()
    arrays = with_json(recording)
    results["json"] = {"seconds": time.perf_counter() - start}
    assert arrays[1].shape == loaded.position.shape and (arrays[3] == loaded.buttons).all()
    start = time.perf_counter()
    loaded.matrices()
    results["recording matrices"] = {"seconds": time.perf_counter() - start}
    with open(output, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
