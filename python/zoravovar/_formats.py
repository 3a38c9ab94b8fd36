"""A recording in the formats analysts use: a pandas DataFrame, CSV and HDF5 (pandas and h5py imported only
when asked for)."""
import errno
import importlib
import json
import os

import numpy as np

# The per-frame arrays, written to HDF5 under these names; position and angles are (T, N, 3).
FRAME_ARRAYS = ("time", "position", "angles", "buttons", "valuators", "sensor_counts", "button_counts",
                "valuator_counts", "torn", "missed")


def _optional(module, package):
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"zoravovar needs {module} for this, from Debian's {package}: apt-get install {package}",
                          name=module) from error


def _refuse_existing(path, overwrite, how):
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, f"{os.fspath(path)} exists; {how} to replace it", os.fspath(path))


def markers_csv_path(path):
    """Where to_csv(path) writes the markers: session.csv -> session.markers.csv."""
    root, extension = os.path.splitext(os.fspath(path))
    return root + ".markers" + (extension or ".csv")


def to_dataframe(recording, markers=False):
    """The recording as a pandas DataFrame, one row per frame and sensor that frame holds, sensor 0 first.

    Columns: frame (the frame's number from 0, int64), time (float64 seconds), sensor (int32), name (the
    sensor's name from the header, "" when unnamed; categorical), x, y, z (float32 position), angle_x,
    angle_y, angle_z (float32 degrees), torn (bool), missed (uint32), sensor_count, button_count,
    valuator_count (int32, the frame's own numbers), then button_0 ... (int64) and valuator_0 ...
    (float32), the frame's controls repeated on each of its rows (NO_BUTTON and NaN where the frame holds
    fewer than the widest). A frame that holds no sensor keeps one row, of sensor -1 with NaN pose, so
    that its controls are not lost. Every value is the recording's own, bit for bit.

    The markers are a second frame: with markers=True the result is the pair (frames, markers), markers
    holding one row per marker with the columns time (float64) and marker (str), in the file's order.
    """
    pd = _optional("pandas", "python3-pandas")
    frames, widest = recording.position.shape[:2]
    counts = recording.sensor_counts.astype(np.int64)
    if frames and (counts == widest).all() and widest > 0:  # every frame holds every sensor: a reshape
        rows = frames * widest
        frame = np.repeat(np.arange(frames, dtype=np.int64), widest)
        sensor = np.tile(np.arange(widest, dtype=np.int32), frames)
        position = recording.position.reshape(rows, 3)
        angles = recording.angles.reshape(rows, 3)
        each = np.full(frames, widest, dtype=np.int64)
    else:
        each = np.maximum(counts, 1)  # a frame without sensors keeps one row for its controls
        frame = np.repeat(np.arange(frames, dtype=np.int64), each)
        first = np.repeat(np.cumsum(each) - each, each)
        sensor = (np.arange(len(frame), dtype=np.int64) - first).astype(np.int32)
        sensor[np.repeat(counts == 0, each)] = -1
        present = sensor >= 0
        padded = np.full((len(frame), 3), np.nan, dtype=np.float32)
        position, angles = padded, padded.copy()
        at = frame[present] * widest + sensor[present]
        position[present] = recording.position.reshape(-1, 3)[at]
        angles[present] = recording.angles.reshape(-1, 3)[at]
    names = list(recording.names) + [""] * max(0, widest - len(recording.names))
    categories = list(dict.fromkeys(names + [""]))
    codes = np.array([categories.index(n) for n in names[:widest]] + [categories.index("")], dtype=np.int32)
    columns = {
        "frame": frame, "time": recording.time[frame], "sensor": sensor,
        "name": pd.Categorical.from_codes(codes[sensor], categories),  # sensor -1 takes the last code, ""
        "x": position[:, 0], "y": position[:, 1], "z": position[:, 2],
        "angle_x": angles[:, 0], "angle_y": angles[:, 1], "angle_z": angles[:, 2],
        "torn": recording.torn[frame], "missed": recording.missed[frame],
        "sensor_count": recording.sensor_counts[frame], "button_count": recording.button_counts[frame],
        "valuator_count": recording.valuator_counts[frame],
    }
    buttons = np.repeat(recording.buttons, each, axis=0)
    valuators = np.repeat(recording.valuators, each, axis=0)
    for b in range(buttons.shape[1]):
        columns[f"button_{b}"] = buttons[:, b]
    for v in range(valuators.shape[1]):
        columns[f"valuator_{v}"] = valuators[:, v]
    table = pd.DataFrame(columns, copy=False)
    if not markers:
        return table
    return table, markers_dataframe(recording, pd)


def markers_dataframe(recording, pd=None):
    pd = pd or _optional("pandas", "python3-pandas")
    return pd.DataFrame({"time": np.array([t for t, _ in recording.markers], dtype=np.float64),
                         "marker": pd.Series([text for _, text in recording.markers], dtype=object)})


def to_csv(recording, path, overwrite=False):
    """Writes to_dataframe()'s rows to the CSV file `path` (with a header line, NaN as an empty field), and
    the markers, where the recording holds any, to markers_csv_path(path) (session.csv ->
    session.markers.csv; columns time, marker). Floats are written as the shortest decimals that read back
    to the same bits: read them with pandas.read_csv(path, float_precision="round_trip") and float32
    columns as float32. Raises FileExistsError, writing nothing, when a file to be written exists, unless
    overwrite=True. Gives the list of paths written."""
    table, marks = to_dataframe(recording, markers=True)
    paths = [os.fspath(path)] + ([markers_csv_path(path)] if len(marks) else [])
    for each in paths:
        _refuse_existing(each, overwrite, "pass overwrite=True")
    for each, frame in zip(paths, (table, marks)):
        _write_new(each, overwrite, lambda out, frame=frame: frame.to_csv(out, index=False, lineterminator="\n"))
    return paths


def _write_new(path, overwrite, write):
    """Writes a file through write(open file), created anew unless overwrite; removed again when writing fails."""
    with open(path, "w" if overwrite else "x", encoding="utf-8", newline="") as out:
        try:
            write(out)
        except BaseException:
            out.close()
            os.unlink(path)
            raise


def _attribute(value, text):
    """A header value as an HDF5 attribute: strings, numbers and lists of strings (of dtype `text`) as they are,
    anything else as its JSON text."""
    if isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return np.array(value, dtype=text)
    return json.dumps(value)


def to_hdf5(recording, path, overwrite=False):
    """Writes the recording to the HDF5 file `path` with h5py: a dataset per array, named as the
    Recording's attributes (time, position, angles, buttons, valuators, sensor_counts, button_counts,
    valuator_counts, torn, missed), each of the same dtype and shape, bit for bit; "markers", a compound
    dataset of (time float64, text UTF-8 string); and on the file itself the attributes "names" (the
    sensors' names), "source" (the recording's path) and each header field the recording holds
    (Recording.header's names; the installation as installation_path, installation_sha256 and
    installation_content). Raises FileExistsError, writing nothing, when `path` exists, unless
    overwrite=True."""
    h5py = _optional("h5py", "python3-h5py")
    _refuse_existing(path, overwrite, "pass overwrite=True")
    path = os.fspath(path)
    text = h5py.string_dtype("utf-8")
    try:
        with h5py.File(path, "w" if overwrite else "x") as out:
            for name in FRAME_ARRAYS:
                out.create_dataset(name, data=getattr(recording, name))
            marks = np.array([(t, m) for t, m in recording.markers], dtype=[("time", "<f8"), ("text", text)])
            out.create_dataset("markers", data=marks, dtype=[("time", "<f8"), ("text", text)])
            out.attrs["names"] = np.array(list(recording.names), dtype=text)
            out.attrs["source"] = recording.path
            for name, value in recording.header.items():
                if name == "installation" and isinstance(value, dict):
                    for part, given in value.items():
                        if given is not None:
                            out.attrs[f"installation_{part}"] = _attribute(given, text)
                elif value is not None:
                    out.attrs[name] = _attribute(value, text)
    except FileExistsError:
        raise
    except BaseException:
        if os.path.exists(path):
            os.unlink(path)
        raise
