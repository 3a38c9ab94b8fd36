#!/usr/bin/python3
"""Loads a recording of trackd-monitor --record and plots the head's path (sensor 0) seen from above.

Usage: plot_recording.py RECORDING [--output PNG] [--overwrite]. The PNG is RECORDING with .png by
default; an existing file is never replaced without --overwrite. Without Debian's python3-matplotlib it
prints the path's extent and skips the plot.
"""
import argparse
import pathlib
import sys

import numpy as np

import zoravovar

PROGRAM = "plot_recording.py"


def main(argv):
    parser = argparse.ArgumentParser(prog=PROGRAM, description="Plots the head's path (sensor 0) seen from above.")
    parser.add_argument("recording", metavar="RECORDING", help="a file trackd-monitor --record wrote")
    parser.add_argument("--output", metavar="PNG", help="where to write the plot (default: RECORDING with .png)")
    parser.add_argument("--overwrite", action="store_true", help="replace PNG if it exists")
    arguments = parser.parse_args(argv[1:])
    png = pathlib.Path(arguments.output or pathlib.Path(arguments.recording).with_suffix(".png"))
    if png.exists() and not arguments.overwrite:  # said before the work, not after it
        sys.exit(f"{PROGRAM}: {png} exists; pass --overwrite to replace it")
    try:
        recording = zoravovar.load_recording(arguments.recording)
    except (OSError, zoravovar.RecordingError) as error:
        sys.exit(f"{PROGRAM}: {error}")
    if recording.position.shape[1] == 0:
        sys.exit(f"{PROGRAM}: {arguments.recording} holds no sensor")
    head = recording.position[:, 0]  # float32 (T, 3): x, y, z of sensor 0 in every frame
    seconds = recording.time[-1] - recording.time[0] if len(recording) else 0.0
    print(f"{arguments.recording}: {len(recording)} frames over {seconds:.2f} s; head x from "
          f"{np.nanmin(head[:, 0]):.3f} to {np.nanmax(head[:, 0]):.3f}, z from {np.nanmin(head[:, 2]):.3f} "
          f"to {np.nanmax(head[:, 2]):.3f}")
    try:
        import matplotlib

        matplotlib.use("Agg")  # to a file, no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"{PROGRAM}: matplotlib is missing (apt-get install python3-matplotlib); no plot")
        return
    figure, axes = plt.subplots(figsize=(6, 6))
    path = axes.scatter(head[:, 0], head[:, 2], c=recording.time, s=4, cmap="viridis")
    figure.colorbar(path, ax=axes, label="time (s)")
    axes.set_xlabel("x")
    axes.set_ylabel("z")
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_title(f"Head path from above, {len(recording)} frames")
    try:
        # Created anew unless --overwrite: a file made meanwhile is not replaced either.
        with open(png, "wb" if arguments.overwrite else "xb") as out:
            figure.savefig(out, dpi=100, format="png")
    except FileExistsError:
        sys.exit(f"{PROGRAM}: {png} exists; pass --overwrite to replace it")
    except OSError as error:
        sys.exit(f"{PROGRAM}: {error}")
    print(f"{PROGRAM}: wrote {png}")


if __name__ == "__main__":
    main(sys.argv)
