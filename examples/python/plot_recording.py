#!/usr/bin/python3
"""Loads a recording of trackd-monitor --record and plots the head's path (sensor 0) seen from above.

Usage: plot_recording.py RECORDING [PNG] (the PNG is RECORDING with .png by default). Without Debian's
python3-matplotlib it prints the path's extent and skips the plot.
"""
import pathlib
import sys

import numpy as np

import zoravovar


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    try:
        recording = zoravovar.load_recording(argv[1])
    except (OSError, zoravovar.RecordingError) as error:
        sys.exit(f"plot_recording.py: {error}")
    if recording.position.shape[1] == 0:
        sys.exit(f"plot_recording.py: {argv[1]} holds no sensor")
    head = recording.position[:, 0]  # float32 (T, 3): x, y, z of sensor 0 in every frame
    seconds = recording.time[-1] - recording.time[0] if len(recording) else 0.0
    print(f"{argv[1]}: {len(recording)} frames over {seconds:.2f} s; head x from {np.nanmin(head[:, 0]):.3f} "
          f"to {np.nanmax(head[:, 0]):.3f}, z from {np.nanmin(head[:, 2]):.3f} to {np.nanmax(head[:, 2]):.3f}")
    try:
        import matplotlib

        matplotlib.use("Agg")  # to a file, no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        print("plot_recording.py: matplotlib is missing (apt-get install python3-matplotlib); no plot")
        return
    png = pathlib.Path(argv[2] if len(argv) > 2 else pathlib.Path(argv[1]).with_suffix(".png"))
    figure, axes = plt.subplots(figsize=(6, 6))
    path = axes.scatter(head[:, 0], head[:, 2], c=recording.time, s=4, cmap="viridis")
    figure.colorbar(path, ax=axes, label="time (s)")
    axes.set_xlabel("x")
    axes.set_ylabel("z")
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_title(f"Head path from above, {len(recording)} frames")
    figure.savefig(png, dpi=100)
    print(f"plot_recording.py: wrote {png}")


if __name__ == "__main__":
    main(sys.argv)
