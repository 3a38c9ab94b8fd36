#!/usr/bin/python3
"""zoravovar beside its floors, against a simulator with 64 sensors and a recording of one hour.

Usage: pythonBench.py TRACKER_KEY CONTROLLER_KEY RECORDING OUTPUT_JSON (with PYTHONPATH naming the build's
python folder, which holds zoravovar and zoravovar_floor).
"""
import importlib.util
import json
import os
import statistics
import sys
import time
import timeit

import numpy as np

import zoravovar
import zoravovar_floor


def per_call_ns(*calls, repeat=9, seconds=0.1):
    """For each (function, args): median, min and max ns per call over `repeat` rounds, each of as many calls
    as fill about `seconds`. The calls take turns within every round, so that a busy machine slows all alike."""
    timers = [timeit.Timer("f(*a)", globals={"f": function, "a": args}) for function, args in calls]
    numbers = [max(1, int(seconds / max(t.timeit(100) / 100, 1e-9))) for t in timers]
    rounds = [[] for _ in calls]
    for _ in range(repeat):
        for timer, number, runs in zip(timers, numbers, rounds):
            runs.append(timer.timeit(number) / number * 1e9)
    return [{"median": statistics.median(r), "min": min(r), "max": max(r)} for r in rounds]


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


def median_of_3(run):
    """Median, min and max seconds of three runs of run()."""
    runs = []
    for _ in range(3):
        start = time.perf_counter()
        run()
        runs.append(time.perf_counter() - start)
    return {"median": statistics.median(runs), "min": min(runs), "max": max(runs)}


def exports(loaded, folder):
    """Recording.to_dataframe and Recording.to_hdf5 of the loaded recording (HDF5 into `folder`, removed after),
    where Debian's python3-pandas and python3-h5py are installed."""
    results = {}
    if importlib.util.find_spec("pandas") is None:
        print("pythonBench.py: pandas is missing (apt-get install python3-pandas); to_dataframe not measured",
              file=sys.stderr)
    else:
        results["to_dataframe"] = median_of_3(loaded.to_dataframe)
        results["to_dataframe"]["rows"] = len(loaded.to_dataframe())
    if importlib.util.find_spec("h5py") is None:
        print("pythonBench.py: h5py is missing (apt-get install python3-h5py); to_hdf5 not measured",
              file=sys.stderr)
    else:
        target = os.path.join(folder, "hour.h5")
        results["to_hdf5"] = median_of_3(lambda: loaded.to_hdf5(target, overwrite=True))
        results["to_hdf5"]["bytes"] = os.path.getsize(target)
        os.unlink(target)
    return results


def main():
    # The controller key (argv[2]) is the run-bench convention; only the tracker is measured here.
    tracker_key, recording, output = int(sys.argv[1]), sys.argv[3], sys.argv[4]
    tracker = zoravovar.Tracker(tracker_key)
    results = {"sensors": tracker.sensor_count}
    every = range(tracker.sensor_count)
    (results["floor:matrix"], results["matrix"], results["matrices"],
     results["64 matrix calls"]) = per_call_ns((zoravovar_floor.fresh_matrix, ()), (tracker.matrix, (0,)),
                                               (tracker.matrices, ()), (lambda: [tracker.matrix(i) for i in every], ()))

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
    results.update(exports(loaded, os.path.dirname(os.path.abspath(output))))
    with open(output, "w") as out:
        json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
