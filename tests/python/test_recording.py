"""Recordings: load_recording against files the monitor makes, bit for bit, and its refusals by line."""
import re
import signal
import socket
import subprocess
import time

import numpy as np
import pytest

import zoravovar
from conftest import TRACKD_MONITOR, bits, shortest

HEADER = '{"format":"trackd-recording","version":1}\n'


def frame_line(time, positions, angles, buttons, valuators):
    sensors = ",".join(f'{{"position":[{",".join(map(shortest, p))}],"angles":[{",".join(map(shortest, a))}]}}'
                       for p, a in zip(positions, angles))
    return (f'{{"time":{time!r},"sensors":[{sensors}],"buttons":{list(map(int, buttons))},'
            f'"valuators":[{",".join(map(shortest, valuators))}]}}\n')


def random_floats(generator, shape):
    """Finite float32 values of every kind (subnormals, -0.0, extremes), from random bit patterns."""
    words = generator.integers(0, 2**32, size=shape, dtype=np.uint64).astype(np.uint32)
    values = words.view(np.float32)
    return np.where(np.isfinite(values), values, np.float32(-0.0))


def test_every_float_reads_back_bit_for_bit_and_through_the_tools(simulator, tmp_path):
    generator = np.random.default_rng(20261209)
    frames, sensors = 40, 3
    position = random_floats(generator, (frames, sensors, 3))
    angles = random_floats(generator, (frames, sensors, 3))
    valuators = random_floats(generator, (frames, 2))
    buttons = generator.integers(-2**31, 2**31, size=(frames, 4))
    crafted = tmp_path / "crafted.jsonl"
    crafted.write_text(HEADER + "".join(frame_line(0.01 * t, position[t], angles[t], buttons[t], valuators[t])
                                        for t in range(frames)))
    loaded = zoravovar.load_recording(crafted)
    assert len(loaded) == frames and loaded.position.shape == (frames, sensors, 3)
    np.testing.assert_array_equal(bits(loaded.position), bits(position))
    np.testing.assert_array_equal(bits(loaded.angles), bits(angles))
    np.testing.assert_array_equal(bits(loaded.valuators), bits(valuators))
    assert loaded.buttons.dtype == np.int64 and (loaded.buttons == buttons).all()
    assert loaded.time.dtype == np.float64 and loaded.time.tolist() == [0.01 * t for t in range(frames)]

    # Replayed by the simulator and recorded by the monitor, every value seen comes back to the bit. trackd's
    # writes take no lock, so a writer stalled halfway through an update (a busy host, a stalled virtual CPU)
    # is recorded as readers saw it: each word then comes from one frame or another, never from none.
    recorded = tmp_path / "recorded.jsonl"
    sim = simulator("--play", str(crafted), "--hold", "--speed", "0.5")
    subprocess.run([TRACKD_MONITOR, "--tracker-key", str(sim.tracker), "--controller-key", str(sim.controller),
                    "--record", str(recorded), "--duration", "1.5"], check=True, capture_output=True, timeout=60)
    again = zoravovar.load_recording(recorded)
    assert len(again) > 0

    def words(r):
        return np.concatenate([bits(r.position).reshape(len(r), -1), bits(r.angles).reshape(len(r), -1),
                               r.buttons.astype(np.uint32), bits(r.valuators)], axis=1)

    crafted_words, recorded_words = words(loaded), words(again)
    for column in range(crafted_words.shape[1]):
        foreign = ~np.isin(recorded_words[:, column], crafted_words[:, column])
        assert not foreign.any(), f"word {column} of recorded frames {np.flatnonzero(foreign)} was never played"
    np.testing.assert_array_equal(recorded_words[-1], crafted_words[-1])  # the held last frame, whole


def test_pattern_recorded_by_the_monitor_loads_with_its_values(simulator, tmp_path):
    sim = simulator("--pattern", "--rate", "200", "--sensors", "2", "--buttons", "2", "--valuators", "1")
    recorded = tmp_path / "pattern.jsonl"
    subprocess.run([TRACKD_MONITOR, "--tracker-key", str(sim.tracker), "--controller-key", str(sim.controller),
                    "--record", str(recorded), "--duration", "1"], check=True, capture_output=True, timeout=60)
    recording = zoravovar.load_recording(str(recorded))
    assert len(recording) >= 20
    assert (np.diff(recording.time) >= 0).all()
    k = recording.position[:, 0, 0]  # sensor 0's x is k, the frame number mod 100
    settled = recording.position[:, 1, 2] == 1200 + k  # the last word of the sensors agrees with the first
    assert settled.mean() > 0.9
    np.testing.assert_array_equal(recording.angles[settled, 1], np.stack([2 * k, k, 3 * k], axis=1)[settled])
    matrices = recording.matrices()
    assert matrices.shape == (len(recording), 2, 4, 4) and matrices.dtype == np.float32
    np.testing.assert_array_equal(matrices[:, :, 3, :3], recording.position)


@pytest.mark.parametrize("content, line, reason", [
    ('{"format":"trackd-recording","version":3}\n', 1, "format version 3 is not one this zoravovar reads (2 at most)"),
    ('{"format":"other"}\n', 1, "not a trackd recording (format other)"),
    (HEADER + '{"time":0,"sensors":[],"buttons":[],"valuators":[]}\n\n{"time":0.1,"sensors":[', 4,
     "not a JSON line"),
    (HEADER + '{"time":0,"sensors":[],"buttons":[4294967296],"valuators":[]}\n', 2,
     "a button is not a 32-bit integer"),
    (HEADER + '{"time":1,"sensors":[],"buttons":[],"valuators":[]}\n'
     '{"time":0.5,"sensors":[],"buttons":[],"valuators":[]}\n', 3, '"time" goes backwards'),
    (HEADER + '{"time":0,"sensors":[{"position":[1,2],"angles":[0,0,0]}],"buttons":[],"valuators":[]}\n', 2,
     "a position is not 3 numbers"),
    (HEADER + '{"time":0,"sensors":[],"buttons":[],"valuators":[1e39]}\n', 2,
     "a number does not fit in a float: '1e39'"),
    # A field nobody reads, nested 200 000 deep, under the 1 MiB a line may hold: once a crash of the interpreter.
    (HEADER + '{"time":0,"sensors":[],"buttons":[],"valuators":[],"x":' + "[" * 200000 + "]" * 200000 + "}\n", 2,
     "arrays and objects nest deeper than 64 levels"),
    ('{"format":"trackd-recording","version":1,"x":' + '{"a":' * 100000 + "1" + "}" * 100001 + "\n", 1,
     "arrays and objects nest deeper than 64 levels"),
    # One frame of 20 000 sensors and 20 000 empty ones once asked for 9.6 GB: the limits of trackd-sim --play.
    (HEADER + frame_line(0, [[0, 0, 0]] * 20000, [[0, 0, 0]] * 20000, [], []) +
     '{"time":0,"sensors":[],"buttons":[],"valuators":[]}\n' * 20000, 2,
     "a frame holds more than 1024 sensors, the most a recording may hold"),
    (HEADER + frame_line(0, [], [], [0] * 4097, []), 2, "a frame holds more than 4096 buttons"),
    (HEADER + frame_line(0, [], [], [], [0] * 4097), 2, "a frame holds more than 4096 valuators"),
])
def test_malformed_recordings_are_refused_naming_the_line(tmp_path, content, line, reason):
    path = tmp_path / "bad.jsonl"
    path.write_text(content)
    with pytest.raises(zoravovar.RecordingError) as refused:
        zoravovar.load_recording(path)
    assert isinstance(refused.value, ValueError)
    assert refused.value.line == line and refused.value.path == str(path)
    assert str(refused.value).startswith(f"{path}:{line}: {reason}")


def test_files_that_are_no_recordings_raise_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        zoravovar.load_recording(tmp_path / "missing.jsonl")
    with pytest.raises(IsADirectoryError):
        zoravovar.load_recording(tmp_path)
    with pytest.raises(ValueError, match="is a device"):
        zoravovar.load_recording("/dev/null")


def test_headerless_and_empty_recordings_load(tmp_path):
    old = tmp_path / "old.jsonl"
    old.write_text('{"time":0.5,"sensors":[{"position":[1,2,3],"angles":[null,0,0]}],"buttons":[7],"valuators":[]}\n')
    recording = zoravovar.load_recording(old)
    assert recording.position.tolist() == [[[1, 2, 3]]] and np.isnan(recording.angles[0, 0, 0])
    assert recording.buttons.tolist() == [[7]] and recording.valuators.shape == (1, 0)
    empty = tmp_path / "empty.jsonl"
    empty.write_text(HEADER)
    nothing = zoravovar.load_recording(empty)
    assert len(nothing) == 0 and nothing.position.shape == (0, 0, 3) and nothing.matrices().shape == (0, 0, 4, 4)


def test_counts_that_change_midway_are_padded(tmp_path):
    path = tmp_path / "restarted.jsonl"
    path.write_text(HEADER +
                    '{"time":0,"sensors":[{"position":[1,1,1],"angles":[0,0,0]}],"buttons":[1],"valuators":[0.5]}\n'
                    '{"time":1,"sensors":[{"position":[2,2,2],"angles":[0,0,0]},'
                    '{"position":[3,3,3],"angles":[90,0,0]}],"buttons":[],"valuators":[0.25,0.75]}\n')
    recording = zoravovar.load_recording(path)
    assert recording.sensor_counts.tolist() == [1, 2]
    assert recording.button_counts.tolist() == [1, 0] and recording.valuator_counts.tolist() == [1, 2]
    assert np.isnan(recording.position[0, 1]).all() and recording.position[1, 1].tolist() == [3, 3, 3]
    assert recording.buttons.tolist() == [[1], [zoravovar.NO_BUTTON]]
    assert recording.valuators[0, 0] == 0.5 and np.isnan(recording.valuators[0, 1])
    matrices = recording.matrices()
    assert np.isnan(matrices[0, 1]).all() and not np.isnan(matrices[1]).any()


def test_the_monitors_sensor_names_come_back_with_the_recording(simulator, tmp_path):
    sim = simulator("--static", "--sensors", "3")
    named = tmp_path / "named.jsonl"
    subprocess.run([TRACKD_MONITOR, "--tracker-key", str(sim.tracker), "--controller-key", str(sim.controller),
                    "--record", str(named), "--duration", "0.3", "--names", "head,wand"],
                   check=True, capture_output=True, timeout=60)
    recording = zoravovar.load_recording(named)
    assert recording.names == ["head", "wand"] and recording.position.shape[1] == 3
    unnamed = tmp_path / "unnamed.jsonl"
    unnamed.write_text(HEADER + frame_line(0, [[0, 0, 0]], [[0, 0, 0]], [], []))
    assert zoravovar.load_recording(unnamed).names == []
    unnamed.write_text('{"format":"trackd-recording","version":1,"sensorNames":["head",""]}\n')
    with pytest.raises(zoravovar.RecordingError, match="sensor 1's name is empty") as refused:
        zoravovar.load_recording(unnamed)
    assert refused.value.line == 1


def test_header_torn_missed_and_markers_load_and_older_files_say_none(tmp_path):
    path = tmp_path / "session.jsonl"
    path.write_text(
        '{"format":"trackd-recording","version":2,"started":"2026-12-09T23:14:56.123456Z","host":"lab-3",'
        '"tool":"trackd-monitor 2.1.0","trackerKey":-2,"controllerKey":4127,"sensorNames":["head"],'
        '"installation":{"path":"/etc/zoravovar/installation.toml","sha256":"' + "ab" * 32 + '","content":"x = 1"},'
        '"later":{"fields":[1]}}\n'
        + frame_line(0, [[0, 0, 0]], [[0, 0, 0]], [], [])
        + '{"time":0.004,"marker":"trial 3 starts"}\n{"time":0.004,"marker":"ü\\n"}\n'
        + frame_line(0.008, [[1, 0, 0]], [[0, 0, 0]], [], [])[:-2] + ',"torn":true}\n'
        + frame_line(0.066, [[2, 0, 0]], [[0, 0, 0]], [], [])[:-2] + ',"missed":6}\n')
    recording = zoravovar.load_recording(path)
    assert recording.torn.dtype == np.bool_ and recording.torn.tolist() == [False, True, False]
    assert recording.missed.dtype == np.uint32 and recording.missed.tolist() == [0, 0, 6]
    assert recording.markers == [(0.004, "trial 3 starts"), (0.004, "ü\n")]
    assert recording.header == {
        "version": 2, "started": "2026-12-09T23:14:56.123456Z", "host": "lab-3", "tool": "trackd-monitor 2.1.0",
        "tracker_key": -2, "controller_key": 4127, "sensor_names": ["head"],
        "installation": {"path": "/etc/zoravovar/installation.toml", "sha256": "ab" * 32, "content": "x = 1"}}
    recording.header["host"] = "changed"  # a copy each time
    recording.markers.clear()
    assert recording.header["host"] == "lab-3" and len(recording.markers) == 2
    old = tmp_path / "old.jsonl"
    old.write_text(frame_line(0, [[0, 0, 0]], [[0, 0, 0]], [], []))
    older = zoravovar.load_recording(old)
    assert older.torn.tolist() == [False] and older.missed.tolist() == [0] and older.markers == []
    assert older.header == {"version": 0, "started": None, "host": None, "tool": None, "tracker_key": None,
                            "controller_key": None, "sensor_names": [], "installation": None}
    path.write_text(HEADER + '{"time":0,"marker":"a\\u0000b"}\n')
    with pytest.raises(zoravovar.RecordingError, match="the marker holds a NUL byte") as refused:
        zoravovar.load_recording(path)
    assert refused.value.line == 2


def test_send_marker_sends_one_datagram_and_refuses_bad_text(tmp_path):
    listening = tmp_path / "markers"
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as receiver:
        receiver.bind(str(listening))
        receiver.settimeout(60)
        for text in ["trial 3 starts", "ü" * 512, ""]:
            zoravovar.send_marker(listening, text)
            assert receiver.recv(4096) == text.encode()
        for text, reason in [("ü" * 512 + "x", "longer than 1024 bytes"), ("a\0b", "holds a NUL byte"),
                             ("\udc80", "not UTF-8")]:
            with pytest.raises(ValueError, match=reason):
                zoravovar.send_marker(str(listening), text)
        with pytest.raises(TypeError):
            zoravovar.send_marker(listening, b"bytes")
        receiver.setblocking(False)
        with pytest.raises(BlockingIOError):
            receiver.recv(4096)  # nothing was sent for the refused texts
    with pytest.raises(ConnectionRefusedError):
        zoravovar.send_marker(listening, "nobody listens")  # the socket file is left, its owner gone
    with pytest.raises(FileNotFoundError):
        zoravovar.send_marker(tmp_path / "none", "nobody there")


def test_markers_sent_from_python_come_back_with_the_recorders_header(simulator, tmp_path):
    sim = simulator("--pattern", "--rate", "120", "--sensors", "2")
    recorded, listening = tmp_path / "marked.jsonl", tmp_path / "markers"
    recorder = subprocess.Popen([TRACKD_MONITOR, "--tracker-key", str(sim.tracker), "--controller-key",
                                 str(sim.controller), "--record", str(recorded), "--markers", str(listening),
                                 "--names", "head,wand", "--duration", "120"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not listening.exists() and recorder.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)  # polling for the socket to appear, not waiting for time to pass
        assert listening.exists(), recorder.stderr.read() if recorder.poll() is not None else "no socket"
        for text in ["trial 1 starts", "Übung 2", "trial 1 ends"]:
            zoravovar.send_marker(listening, text)
    finally:
        recorder.send_signal(signal.SIGINT)
        _, errors = recorder.communicate(timeout=60)
    assert recorder.returncode == 0, errors
    assert not listening.exists()
    recording = zoravovar.load_recording(recorded)
    assert [text for _, text in recording.markers] == ["trial 1 starts", "Übung 2", "trial 1 ends"]
    times = [t for t, _ in recording.markers]
    assert times == sorted(times) and times[0] >= recording.time[0]
    header = recording.header
    assert header["host"] == socket.gethostname() and header["tool"].startswith("trackd-monitor ")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z", header["started"])
    assert header["tracker_key"] == sim.tracker and header["sensor_names"] == recording.names == ["head", "wand"]
