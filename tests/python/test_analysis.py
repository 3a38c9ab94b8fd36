"""Recordings for analysis: pandas, CSV and HDF5 to the bit, outputs never replaced unasked, quaternions and
uniform resampling."""
import json
import subprocess
import sys

import h5py
import numpy as np
import pandas as pd
import pytest

import zoravovar
from conftest import bits
from test_recording import frame_line, random_floats

HEADER_V2 = '{"format":"trackd-recording","version":2,"sensorNames":["head","wand"],"host":"lab-3"}\n'
MARKERS = [(0.015, "trial 1 starts"), (0.105, "Übung \"2\", ende\nneue Zeile"), (0.2, "")]
COUNTS = [2] * 5 + [3] * 4 + [0] + [1] * 3  # sensors per frame: trackd restarted with other settings


def flagged(line, torn=False, missed=0):
    extra = (',"torn":true' if torn else "") + (f',"missed":{missed}' if missed else "")
    return line[:-2] + extra + "}\n"


@pytest.fixture
def changing(tmp_path):
    """A recording whose counts change midway, with every kind of float, NaNs, torn and missed lines and
    markers between the frames; gives its path and the values written."""
    generator = np.random.default_rng(20261210)
    frames, widest = len(COUNTS), max(COUNTS)
    position = random_floats(generator, (frames, widest, 3))
    angles = random_floats(generator, (frames, widest, 3))
    position[1, 0, 1] = angles[6, 2, 0] = np.nan
    buttons = generator.integers(-2**31, 2**31, size=(frames, 2))
    valuators = random_floats(generator, (frames, 2))
    valuators[4, 1] = np.nan
    lines, markers = [HEADER_V2], list(MARKERS)
    for t, count in enumerate(COUNTS):
        while markers and markers[0][0] < 0.01 * t:
            lines.append(f'{{"time":{markers[0][0]!r},"marker":{json.dumps(markers.pop(0)[1])}}}\n')
        line = frame_line(0.01 * t, position[t, :count], angles[t, :count], buttons[t, :1 + t % 2],
                          valuators[t, :2 - t % 2])
        lines.append(flagged(line, torn=t in (3, 8), missed=6 if t == 11 else 0))
    lines += [f'{{"time":{m[0]!r},"marker":{json.dumps(m[1])}}}\n' for m in markers]
    path = tmp_path / "changing.jsonl"
    path.write_text("".join(lines), encoding="utf-8")
    return path, position, angles, buttons, valuators


def expected_rows(position, angles, buttons, valuators):
    """The rows to_dataframe gives for the values written by `changing`: (frame, sensor, position, angles,
    buttons, valuators) with a row of sensor -1 for the frame without sensors."""
    rows = [(t, s) for t, count in enumerate(COUNTS) for s in (range(count) if count else [-1])]
    frame = np.array([t for t, _ in rows])
    sensor = np.array([s for _, s in rows])
    pose = np.full((len(rows), 6), np.nan, dtype=np.float32)
    present = sensor >= 0
    pose[present] = np.concatenate([position, angles], axis=2)[frame[present], sensor[present]]
    held = np.array([[buttons[t, 0], buttons[t, 1] if t % 2 else zoravovar.NO_BUTTON] for t in frame])
    analog = np.array([[valuators[t, 0], valuators[t, 1] if t % 2 == 0 else np.nan] for t in frame], np.float32)
    return frame, sensor, pose, held, analog


POSE = ["x", "y", "z", "angle_x", "angle_y", "angle_z"]


def check_table(table, frame, sensor, pose, held, analog):
    assert list(table.columns) == ["frame", "time", "sensor", "name", *POSE, "torn", "missed", "sensor_count",
                                   "button_count", "valuator_count", "button_0", "button_1", "valuator_0",
                                   "valuator_1"]
    assert table["frame"].tolist() == frame.tolist() and table["sensor"].tolist() == sensor.tolist()
    np.testing.assert_array_equal(table["time"].to_numpy(), 0.01 * frame)
    names = {-1: "", 0: "head", 1: "wand", 2: ""}
    assert table["name"].astype(str).tolist() == [names[s] for s in sensor]
    np.testing.assert_array_equal(bits(table[POSE].to_numpy(np.float32)), bits(pose))
    np.testing.assert_array_equal(table[["button_0", "button_1"]].to_numpy(), held)
    np.testing.assert_array_equal(bits(table[["valuator_0", "valuator_1"]].to_numpy(np.float32)), bits(analog))
    assert table["sensor_count"].tolist() == [COUNTS[t] for t in frame]
    assert table["button_count"].tolist() == [1 + t % 2 for t in frame]
    assert table["torn"].tolist() == [t in (3, 8) for t in frame]
    assert table["missed"].tolist() == [6 if t == 11 else 0 for t in frame]


def test_dataframe_csv_and_hdf5_keep_every_value_name_and_count(changing, tmp_path):
    path, position, angles, buttons, valuators = changing
    recording = zoravovar.load_recording(path)
    expected = expected_rows(position, angles, buttons, valuators)
    table, markers = recording.to_dataframe(markers=True)
    check_table(table, *expected)
    assert table["x"].dtype == np.float32 and table["button_0"].dtype == np.int64
    assert list(zip(markers["time"], markers["marker"])) == MARKERS == recording.markers
    assert recording.to_dataframe().equals(table)

    # CSV, read back with pandas to the bit; the markers in a file beside it.
    csv = tmp_path / "out.csv"
    assert recording.to_csv(csv) == [str(csv), str(tmp_path / "out.markers.csv")]
    floats = POSE + ["valuator_0", "valuator_1"]
    again = pd.read_csv(csv, float_precision="round_trip", keep_default_na=False, na_values={c: [""] for c in floats},
                        dtype={**{c: np.float32 for c in floats}, "name": str})
    check_table(again, *expected)
    marks = pd.read_csv(tmp_path / "out.markers.csv", float_precision="round_trip", keep_default_na=False)
    assert list(zip(marks["time"], marks["marker"])) == MARKERS

    # HDF5: each array under its own name, of its own dtype, the header as attributes.
    h5 = tmp_path / "out.h5"
    recording.to_hdf5(h5)
    with h5py.File(h5, "r") as stored:
        for name in ["time", "position", "angles", "buttons", "valuators", "sensor_counts", "button_counts",
                     "valuator_counts", "torn", "missed"]:
            kept, own = stored[name][()], getattr(recording, name)
            assert kept.dtype == own.dtype and kept.shape == own.shape, name
            np.testing.assert_array_equal(kept.view(np.uint8), own.view(np.uint8), err_msg=name)
        assert [(t, m.decode()) for t, m in stored["markers"][()]] == MARKERS
        assert list(stored.attrs["names"]) == ["head", "wand"] and stored.attrs["host"] == "lab-3"
        assert stored.attrs["version"] == 2 and stored.attrs["source"] == str(path)


def test_outputs_are_never_replaced_unless_asked(changing, tmp_path, monkeypatch):
    recording = zoravovar.load_recording(changing[0])
    kept = tmp_path / "kept.h5"
    kept.write_text("the analyst's own")
    for export in (recording.to_hdf5, recording.to_csv):
        with pytest.raises(FileExistsError, match="kept.h5 exists; pass overwrite=True to replace it"):
            export(kept)
    # to_csv checks the markers' file too, before writing either.
    (tmp_path / "new.markers.csv").write_text("theirs")
    with pytest.raises(FileExistsError, match="new.markers.csv exists"):
        recording.to_csv(tmp_path / "new.csv")
    assert not (tmp_path / "new.csv").exists() and kept.read_text() == "the analyst's own"
    recording.to_hdf5(kept, overwrite=True)
    assert h5py.is_hdf5(kept)
    headerless = tmp_path / "old.jsonl"  # no names, no header: nothing but the arrays to write
    headerless.write_text(frame_line(0, [[1, 2, 3]], [[0, 0, 0]], [], []))
    zoravovar.load_recording(headerless).to_hdf5(tmp_path / "old.h5")
    with h5py.File(tmp_path / "old.h5", "r") as old:
        assert old["position"][()].tolist() == [[[1, 2, 3]]] and list(old.attrs["names"]) == []

    def export(*arguments):
        return subprocess.run([sys.executable, "-m", "zoravovar", *arguments], capture_output=True, text=True,
                              timeout=120)

    refused = export("export", str(changing[0]), "--hdf5", str(kept))
    assert refused.returncode == 1 and refused.stderr == f"zoravovar: {kept} exists; pass --overwrite to replace it\n"
    out = tmp_path / "shell.csv"
    written = export("export", str(changing[0]), "--csv", str(out))
    assert written.returncode == 0, written.stderr
    assert pd.read_csv(out)["frame"].iloc[-1] == len(COUNTS) - 1
    assert export("export", str(changing[0]), "--csv", str(out), "--overwrite").returncode == 0
    for usage in (["export", str(changing[0])], ["export", str(changing[0]), "--csv", "a", "--hdf5", "b"], []):
        wrong = export(*usage)
        assert wrong.returncode == 2 and wrong.stderr.startswith("zoravovar: ") and not wrong.stdout
    missing = export("export", str(tmp_path / "missing.jsonl"), "--csv", str(tmp_path / "m.csv"))
    assert missing.returncode == 1 and missing.stderr.startswith("zoravovar: ")
    assert "(--csv OUT | --hdf5 OUT)" in export("--help").stdout and "--overwrite" in export("export", "-h").stdout
    assert export("--version").stdout.startswith("zoravovar ")

    # Without pandas or h5py, the message names the Debian package.
    monkeypatch.setitem(sys.modules, "pandas", None)
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(ImportError, match="apt-get install python3-pandas"):
        recording.to_dataframe()
    with pytest.raises(ImportError, match="apt-get install python3-h5py"):
        recording.to_hdf5(tmp_path / "none.h5")
    assert not (tmp_path / "none.h5").exists()


def matrix_of(q):
    """The reader's row-vector matrix (float64 (..., 4, 4)) of unit quaternions w, x, y, z: M[:3, :3] = R.T."""
    w, x, y, z = np.moveaxis(np.asarray(q, dtype=np.float64), -1, 0)
    rotation = np.stack([np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], -1),
                         np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], -1),
                         np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1)], -2)
    out = np.zeros(rotation.shape[:-2] + (4, 4))
    out[..., :3, :3] = np.swapaxes(rotation, -1, -2)
    out[..., 3, 3] = 1
    return out


def test_quaternions_round_trip_through_matrices_half_turns_included(simulator, tmp_path):
    generator = np.random.default_rng(7)
    axes = generator.normal(size=(2000, 3))
    axes /= np.linalg.norm(axes, axis=1, keepdims=True)
    turns = np.concatenate([generator.uniform(0, 2 * np.pi, 1000), np.full(600, np.pi),  # half turns
                            np.pi + generator.normal(0, 1e-7, 400)])  # and all but half turns
    axes[1000:1003] = np.eye(3)  # half turns about X, Y and Z
    given = np.concatenate([np.cos(turns / 2)[:, None], np.sin(turns / 2)[:, None] * axes], axis=1)
    matrices = matrix_of(given)
    found = zoravovar.quaternions(matrices)
    assert found.shape == (2000, 4) and found.dtype == np.float64
    np.testing.assert_allclose(np.linalg.norm(found, axis=1), 1, atol=1e-12)
    np.testing.assert_allclose(matrix_of(found), matrices, atol=1e-6, rtol=0)
    assert (found[:, 0] >= 0).all()
    same = np.abs(np.sum(found * given, axis=1))
    np.testing.assert_allclose(same, 1, atol=1e-6)
    # float32 matrices as the reader makes them come back within float32's precision.
    np.testing.assert_allclose(matrix_of(zoravovar.quaternions(matrices.astype(np.float32))), matrices, atol=1e-6)
    # The rotation the matrix applies to row vectors, right-handed: a quarter turn about Y takes z to x.
    quarter = zoravovar.quaternions(np.array([[0, 0, -1, 0], [0, 1, 0, 0], [1, 0, 0, 0], [0, 0, 0, 1]], np.float32))
    np.testing.assert_allclose(quarter, [np.sqrt(0.5), 0, np.sqrt(0.5), 0], atol=1e-15)
    assert np.isnan(zoravovar.quaternions(np.full((4, 4), np.nan))).all()
    with pytest.raises(ValueError, match=r"shape \(\.\.\., 4, 4\)"):
        zoravovar.quaternions(np.zeros((3, 3)))

    # Recordings and live sensors use that same conversion, of the matrices they give.
    angles = generator.uniform(-180, 180, size=(30, 2, 3)).astype(np.float32)
    angles[0] = [[180, 0, 0], [0, 180, 0]]
    angles[1] = [[0, 0, 180], [90, 180, -90]]
    path = tmp_path / "turns.jsonl"
    path.write_text('{"format":"trackd-recording","version":1}\n' + "".join(
        frame_line(0.01 * t, np.zeros((2, 3)), angles[t], [], []) for t in range(30)))
    recording = zoravovar.load_recording(path)
    np.testing.assert_array_equal(recording.quaternions(), zoravovar.quaternions(recording.matrices()))
    np.testing.assert_allclose(matrix_of(recording.quaternions()), recording.matrices(), atol=1e-6)
    sim = simulator("--static", "--sensors", "3")
    with zoravovar.Tracker(sim.tracker) as tracker:
        for i in range(3):
            np.testing.assert_array_equal(tracker.quaternion(i), zoravovar.quaternions(tracker.matrix(i)))
        with pytest.raises(IndexError):
            tracker.quaternion(3)


def turn_matrices(y_degrees, x_degrees, z_degrees):
    """The reader's rotation Z x X x Y for row vectors, in float64, as trackdGetMatrix composes it."""
    def rotation(degrees, a, b):
        c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
        m = np.zeros(np.shape(degrees) + (4, 4))
        m[..., :, :] = np.eye(4)
        m[..., a, a], m[..., a, b], m[..., b, a], m[..., b, b] = c, s, -s, c
        return m
    return rotation(z_degrees, 0, 1) @ rotation(x_degrees, 1, 2) @ rotation(y_degrees, 2, 0)


def test_resampling_a_steady_motion_is_exact_and_leaves_torn_lines_out(tmp_path):
    generator = np.random.default_rng(11)
    times = np.cumsum(generator.uniform(0.004, 0.012, 300))  # an uneven rhythm
    start, velocity = np.array([0.5, 1.25, -2.0]), np.array([0.3, -0.1, 0.05])
    rate, x_angle, z_angle = 25.0, 30.0, -20.0  # degrees a second about the sensor's Y, the other two fixed
    torn = np.zeros(len(times), bool)
    torn[[5, 6, 100, 299]] = True
    lines = ['{"format":"trackd-recording","version":1}\n']
    for t, time in enumerate(times):
        position = [start + velocity * time, [9, 9, 9]]
        angles = [[x_angle, 150 + rate * time, z_angle], [0, 0, 0]]
        if torn[t]:
            position, angles = [[1e6, -1e6, 3], [9, 9, 9]], [[123, -45, 6], [0, 0, 0]]
        buttons, valuators = [int(time * 3) % 2], [0.25 - 0.5 * time]
        lines.append(flagged(frame_line(float(time), position, angles, buttons, valuators), torn=torn[t]))
    path = tmp_path / "steady.jsonl"
    path.write_text("".join(lines))
    recording = zoravovar.load_recording(path)
    assert recording.torn.tolist() == torn.tolist()

    resampled = recording.resample(90)
    grid = resampled.time
    assert grid[0] == times[0] and grid[-1] <= times[-2] < grid[-1] + 1 / 90
    np.testing.assert_allclose(np.diff(grid), 1 / 90, rtol=1e-9)
    np.testing.assert_allclose(resampled.position[:, 0], start + velocity * grid[:, None], rtol=0, atol=1e-6)
    np.testing.assert_array_equal(resampled.position[:, 1], np.full((len(grid), 3), 9.0))
    expected = turn_matrices(150 + rate * grid, np.full(len(grid), x_angle), np.full(len(grid), z_angle))
    np.testing.assert_allclose(matrix_of(resampled.quaternions[:, 0]), expected, rtol=0, atol=1e-6)
    np.testing.assert_allclose(resampled.quaternions[:, 1], np.tile([1.0, 0, 0, 0], (len(grid), 1)), atol=1e-15)
    np.testing.assert_allclose(resampled.valuators[:, 0], 0.25 - 0.5 * grid, rtol=0, atol=1e-6)
    trusted = times[~torn]
    held = np.array([int(trusted[np.searchsorted(trusted, g, side="right") - 1] * 3) % 2 for g in grid])
    np.testing.assert_array_equal(resampled.buttons[:, 0], held)
    for rate in (0, -1, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="positive number of frames a second"):
            recording.resample(rate)
