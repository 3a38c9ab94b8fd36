"""Live queries: zoravovar against trackd-sim and raw segments, bit for bit with the C library, and its errors."""
import ast
import errno
import json
import os
import pathlib
import re
import resource
import shutil
import struct
import tempfile

import numpy as np
import pytest

import zoravovar
from conftest import IPC_CREAT, IPC_EXCL, _libc, attachments_of, bits, segments_of_key_zero


def key_text(key):
    return f"0x{key & 0xFFFFFFFF:08x} ({key})"


def test_static_pose_reads_as_documented_and_matches_the_c_library(simulator, clib):
    sim = simulator("--static", "--sensors", "4", "--buttons", "3", "--valuators", "2")
    with zoravovar.Tracker(sim.tracker) as tracker, zoravovar.Controller(sim.controller) as controller:
        assert tracker.sensor_count == 4
        for i in range(4):
            assert tracker.position(i).dtype == np.float32 and tracker.position(i).shape == (3,)
            np.testing.assert_array_equal(tracker.position(i), np.float32([0.5 + i, 1.25 + i, -2 - i]))
            np.testing.assert_array_equal(tracker.angles(i), np.float32([10 + 15 * i, 20 + 10 * i, 30 + 5 * i]))
        expected = clib.matrices(sim.tracker, 4)
        assert tracker.matrices().shape == (4, 4, 4) and tracker.matrices().dtype == np.float32
        np.testing.assert_array_equal(bits(tracker.matrices()), bits(expected))
        for i in range(4):
            np.testing.assert_array_equal(bits(tracker.matrix(i)), bits(expected[i]))
        assert tracker.matrix(0)[3, :3].tolist() == [0.5, 1.25, -2.0]  # row vectors: translation in row 3
        assert controller.button_count == 3 and controller.valuator_count == 2
        assert controller.buttons().dtype == np.int32 and controller.buttons().tolist() == [1, 2, 3]
        assert controller.valuators().dtype == np.float32 and controller.valuators().tolist() == [-0.5, -0.25]
        assert [controller.button(i) for i in range(3)] == [1, 2, 3]
        assert controller.valuator(1) == -0.25


def test_pattern_every_word_checks_out(simulator, clib):
    # At 0.1 Hz the first frame (k = 0) stays in place for ten seconds, long enough to read it twice.
    sim = simulator("--pattern", "--rate", "0.1", "--sensors", "5", "--buttons", "3", "--valuators", "4")
    tracker, controller = zoravovar.Tracker(sim.tracker), zoravovar.Controller(sim.controller)
    for attempt in range(3):
        before = clib.matrices(sim.tracker, 5)
        ours = tracker.matrices()
        if np.array_equal(bits(before), bits(clib.matrices(sim.tracker, 5))):
            break
    np.testing.assert_array_equal(bits(ours), bits(before))
    k = int(tracker.position(0)[0])
    for s in range(5):
        np.testing.assert_array_equal(tracker.position(s), np.float32([1000 * s + k, 1000 * s + 100 + k,
                                                                       1000 * s + 200 + k]))
        np.testing.assert_array_equal(tracker.angles(s), np.float32([2 * k, k, 3 * k]))
    assert controller.buttons().tolist() == [1000 * b + k for b in range(3)]
    assert controller.valuators().tolist() == [1000 * v + k for v in range(4)]


def test_negative_zero_and_nan_angles_match_the_c_library_live_and_recorded(simulator, clib, tmp_path):
    angles = [["-0", "-0", "-0"], ["null", "0", "0"], ["12.5", "null", "-0"], ["null", "null", "null"],
              ["-90", "-0", "1e-45"]]
    sensors = ",".join(f'{{"position":[{i},-0,null],"angles":[{",".join(a)}]}}' for i, a in enumerate(angles))
    recording = tmp_path / "special.jsonl"
    recording.write_text('{"format":"trackd-recording","version":1}\n'
                         f'{{"time":0,"sensors":[{sensors}],"buttons":[],"valuators":[-0.0,null]}}\n')
    sim = simulator("--play", str(recording), "--hold")
    tracker = zoravovar.Tracker(sim.tracker)
    expected = clib.matrices(sim.tracker, len(angles))
    assert np.isnan(expected).any()
    np.testing.assert_array_equal(bits(tracker.matrices()), bits(expected))
    for i in range(len(angles)):
        np.testing.assert_array_equal(bits(tracker.matrix(i)), bits(expected[i]))
    assert bits(tracker.angles(0)).tolist() == [0x80000000] * 3
    assert bits(tracker.position(1))[1] == 0x80000000 and np.isnan(tracker.position(1)[2])
    valuators = zoravovar.Controller(sim.controller).valuators()
    assert bits(valuators)[0] == 0x80000000 and np.isnan(valuators[1])
    # A recording's matrices are the library's own for the same angles, NaN signs included.
    np.testing.assert_array_equal(bits(zoravovar.load_recording(recording).matrices()[0]), bits(expected))


def test_attach_failures_raise_typed_errors_naming_the_key(raw_segment, capfd):
    gone = raw_segment(1308)
    gone.remove()
    with pytest.raises(FileNotFoundError, match=rf"no segment exists for tracker key {re.escape(key_text(gone.key))}"):
        zoravovar.Tracker(gone.key)
    zeros = segments_of_key_zero()
    with pytest.raises(FileNotFoundError, match="IPC_PRIVATE"):
        zoravovar.Controller(0)
    assert segments_of_key_zero() == zeros  # nothing created
    small = raw_segment(1307)
    with pytest.raises(ValueError, match=rf"for key {re.escape(key_text(small.key))} has 1307 bytes, fewer than the 1308"):
        zoravovar.Tracker(small.key)
    for beyond in (2**32, 2**64, 2**100, -2**31 - 1, -2**64):
        with pytest.raises(ValueError, match=f"^{beyond} is not a 32-bit System V key for the tracker segment"):
            zoravovar.Tracker(beyond)
    with pytest.raises(ValueError, match="not a 32-bit System V key for the controller segment"):
        zoravovar.Controller(2**64)
    for no_integer in ("7401", 7401.0, None):
        with pytest.raises(TypeError):
            zoravovar.Tracker(no_integer)
    # Root attaches anything: the refusal is seen from an unprivileged child.
    denied = raw_segment(1308, mode=0o600)
    child = os.fork()
    if child == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            zoravovar.Tracker(denied.key)
        except PermissionError as e:
            os._exit(0 if key_text(denied.key) in str(e) else 2)
        except BaseException:
            os._exit(3)
        os._exit(4)
    assert os.waitpid(child, 0)[1] == 0
    capfd.readouterr()  # the library's own lines on standard error come beside the exceptions


@pytest.fixture
def status_dir():
    """A status folder every user may read, as /run/trackd-mirror is."""
    path = pathlib.Path(tempfile.mkdtemp())
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def test_on_a_render_node_the_hints_name_the_subscriber_its_refusal_and_its_journal(raw_segment, status_dir,
                                                                                      monkeypatch, capfd):
    """The status file a subscriber leaves for its keys: the missing and the refused hints name it."""
    tmp_path = status_dir
    gone = raw_segment(1308)
    gone.remove()
    denied = raw_segment(1308, mode=0o600)
    monkeypatch.setenv("TRACKD_MIRROR_STATUS_DIR", str(tmp_path))
    (tmp_path / "subscribe-huge.json").write_bytes(b"[" * 100000)  # hostile neighbours are passed over
    (tmp_path / "subscribe-bad.json").write_text('{"trackerKey": "7401"}')
    for key, other in ((gone.key, gone.key + 1), (denied.key, denied.key + 1)):
        (tmp_path / f"subscribe-{key}-{other}.json").write_text(json.dumps({
            "role": "subscribe", "name": "cave", "trackerKey": key, "controllerKey": other, "pid": os.getpid(),
            "state": "refusing frames", "lastRefusal": "signed with a different key",
            "lastRefusalTime": "2026-12-09T23:40:01Z", "unit": "trackd-mirror-subscribe.service"}))
    with pytest.raises(FileNotFoundError) as missing:
        zoravovar.Tracker(gone.key)
    assert str(missing.value).endswith(
        f'this host\'s trackd-mirror subscribe for installation "cave" (pid {os.getpid()}) is refusing frames; last '
        'refusal at 2026-12-09T23:40:01Z: signed with a different key; see journalctl -u trackd-mirror-subscribe.service')
    child = os.fork()
    if child == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            zoravovar.Tracker(denied.key)
        except PermissionError as e:
            os._exit(0 if "have trackd-mirror subscribe --group give the segments a group" in str(e) else 2)
        except BaseException:
            os._exit(3)
        os._exit(4)
    assert os.waitpid(child, 0)[1] == 0
    capfd.readouterr()


def test_bad_indices_raise_index_error_naming_the_count(simulator, capfd):
    sim = simulator("--static", "--sensors", "2", "--buttons", "1", "--valuators", "0")
    tracker, controller = zoravovar.Tracker(sim.tracker), zoravovar.Controller(sim.controller)
    for method in (tracker.position, tracker.angles, tracker.matrix):
        for index in (-1, 2, 2**31, 2**40, 2**70, -2**70):
            with pytest.raises(IndexError, match=f"sensor {index} is out of range: .* has 2 sensors"):
                method(index)
    with pytest.raises(IndexError, match="button -1 is out of range: .* has 1 buttons"):
        controller.button(-1)
    with pytest.raises(IndexError, match="has 0 valuators"):
        controller.valuator(0)
    for wrong in ((0.0,), (), (0, 1)):
        with pytest.raises(TypeError):
            tracker.matrix(*wrong)
    with pytest.raises(TypeError):
        tracker.matrix(index=0)
    np.testing.assert_array_equal(tracker.matrix(sensor=np.int64(1)), tracker.matrix(1))
    assert controller.valuators().shape == (0,)
    assert capfd.readouterr().err == ""  # refused before the library is asked: nothing on standard error


def test_segment_removed_while_attached_keeps_its_last_values(simulator):
    sim = simulator("--static", "--sensors", "2")
    tracker = zoravovar.Tracker(sim.tracker)
    before = tracker.matrices()
    sim.stop()  # removes both segments; the attachment keeps the memory
    np.testing.assert_array_equal(tracker.matrices(), before)
    assert tracker.sensor_count == 2
    with pytest.raises(FileNotFoundError):
        zoravovar.Tracker(sim.tracker)


def test_leaving_the_block_marks_closed_and_keeps_the_attachment(simulator):
    sim = simulator("--static", "--sensors", "1")
    with zoravovar.Tracker(sim.tracker) as tracker:
        assert repr(tracker) == f"<zoravovar.Tracker key {key_text(sim.tracker)}, 1 sensors>"
    assert tracker.closed and repr(tracker).endswith(", closed>")
    with pytest.raises(ValueError, match="is closed"):
        tracker.matrix(0)
    with zoravovar.Controller(sim.controller) as controller:
        pass
    with pytest.raises(ValueError, match="is closed"):
        controller.buttons()
    assert zoravovar.Tracker(sim.tracker).sensor_count == 1


def test_docstrings_and_stubs_name_the_whole_interface():
    assert "trackdGetMatrix" in zoravovar.Tracker.matrix.__doc__
    assert "FileNotFoundError" in zoravovar.Tracker.__doc__
    stub = pathlib.Path(zoravovar.__file__).with_suffix(".pyi")
    assert (stub.parent / "py.typed").exists()
    tree = ast.parse(stub.read_text())
    stubbed = {node.name: {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
               for node in tree.body if isinstance(node, ast.ClassDef)}
    stubbed_functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    stubbed_names = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    for name in zoravovar.__all__:
        value = getattr(zoravovar, name)
        if isinstance(value, type):
            public = {n for n in vars(value) if not n.startswith("_") or n in ("__enter__", "__exit__")}
            assert public <= stubbed[name] | {"__init__"}, name
        else:
            assert name in stubbed_functions | stubbed_names, name
        if callable(value):
            assert value.__doc__, name


def test_objects_of_one_segment_share_one_attachment_and_a_new_segment_gets_its_own(simulator):
    sim = simulator("--static", "--sensors", "2", "--buttons", "1")
    first, _ = zoravovar.Tracker(sim.tracker), zoravovar.Controller(sim.controller)
    before = attachments_of(sim.tracker), attachments_of(sim.controller)
    for _ in range(20000):  # the README's idiom in a loop: every object used to map the segment anew
        with zoravovar.Tracker(sim.tracker) as tracker, zoravovar.Controller(sim.controller) as controller:
            tracker.position(0)
            controller.buttons()
    assert (attachments_of(sim.tracker), attachments_of(sim.controller)) == before == (1, 1)
    # trackd started again under the same key: a new segment, attached anew, while the old one keeps its values.
    sim.stop()
    replacement = _libc.shmget(sim.tracker, 4096, IPC_CREAT | IPC_EXCL | 0o600)
    assert replacement >= 0
    try:
        assert zoravovar.Tracker(sim.tracker).sensor_count == 0
        assert first.sensor_count == 2 and attachments_of(sim.tracker) == 2
    finally:
        _libc.shmctl(replacement, 0, None)


def test_an_attach_without_memory_left_says_so_and_blames_no_permission(raw_segment, capfd):
    big = raw_segment(1 << 30)  # reserves nothing until touched
    child = os.fork()
    if child == 0:
        try:
            with open("/proc/self/status") as status:
                mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
            zoravovar.Tracker(big.key)
        except PermissionError:
            os._exit(2)
        except OSError as e:
            os._exit(0 if e.errno == errno.ENOMEM and "no memory or mappings left" in str(e) else 3)
        except BaseException:
            os._exit(4)
        os._exit(5)
    assert os.waitpid(child, 0)[1] == 0
    capfd.readouterr()


def test_headers_claiming_more_than_their_segment_holds_raise_at_once_with_one_message(raw_segment, capfd):
    controller = raw_segment(296)
    tracker = raw_segment(1308)
    for claimed in (10**6, 2**32 - 1):
        # buttons from byte 20, valuators from byte 24, each claiming `claimed` entries of 4 bytes
        controller.write(4, struct.pack("<4I", 20, 24, claimed, claimed))
        tracker.write(4, struct.pack("<3I", claimed, 16, 24))
        c, t = zoravovar.Controller(controller.key), zoravovar.Tracker(tracker.key)
        assert c.button_count == claimed and t.sensor_count == claimed
        with pytest.raises(ValueError, match=f"claims {claimed} buttons, 69 fit in its 296 bytes"):
            c.buttons()
        with pytest.raises(ValueError, match=f"claims {claimed} valuators, 68 fit in its 296 bytes"):
            c.valuators()
        with pytest.raises(ValueError, match=f"claims {claimed} sensors, 53 fit in its 1308 bytes"):
            t.matrices()
        assert capfd.readouterr().err == ""


def test_objects_made_by_new_alone_raise_type_error():
    for face, uses in ((zoravovar.Tracker, (lambda o: o.sensor_count, lambda o: o.position(0), lambda o: o.matrices(),
                                            repr, lambda o: o.close(), lambda o: o.key)),
                       (zoravovar.Controller, (lambda o: o.buttons(), lambda o: o.button(0), lambda o: o.valuators(),
                                               lambda o: o.__enter__())),
                       (zoravovar.Recording, (lambda o: o.time, len, repr, lambda o: o.matrices(),
                                              lambda o: o.names, lambda o: o.sensor_counts))):
        empty = face.__new__(face)
        for use in uses:
            with pytest.raises(TypeError, match="not initialised"):
                use(empty)
    with pytest.raises(TypeError, match="expected a zoravovar.Tracker"):
        zoravovar.Tracker.matrices(zoravovar.Controller.__new__(zoravovar.Controller))
