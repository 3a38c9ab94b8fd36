"""The installation file and the room's math: zoravovar.Installation against libZoravoVARRoom called through ctypes."""
import ctypes
import os
import re

import numpy as np
import pytest

import zoravovar

ROOM_LIBRARY = os.environ["ZORAVOVAR_ROOM_LIBRARY"]

# Three walls of a cave, 3 m wide, and a Z-up tracker in feet: every part of the calibration counts.
THREE_WALLS = """# Three walls of a cave.
[tracker]
unit = 0.3048
origin = [0.0, 2.5, 0.5]   # the simulator's sensors all lie inside the cave
x_axis = [1.0, 0.0, 0.0]
y_axis = [0.0, 0.0, -1.0]
z_axis = [0.0, 1.0, 0.0]

[[sensor]]
index = 3
name = "head"
role = "head"
left_eye = [-0.032, 0.01, 0.0]
right_eye = [0.032, 0.01, 0.0]

[[sensor]]
index = 1
name = "wand"
role = "wand"
tip = [0.0, 0.0, -0.1]

[[screen]]
name = "front"
lower_left = [-1.5, 0.0, -1.5]
lower_right = [1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, -1.5]

[[screen]]
name = "left"
lower_left = [-1.5, 0.0, 1.5]
lower_right = [-1.5, 0.0, -1.5]
upper_left = [-1.5, 3.0, 1.5]

[[screen]]
name = "right"
lower_left = [1.5, 0.0, -1.5]
lower_right = [1.5, 0.0, 1.5]
upper_left = [1.5, 3.0, -1.5]
"""
CORNERS = {"front": [(-1.5, 0, -1.5), (1.5, 0, -1.5), (-1.5, 3, -1.5)],
           "left": [(-1.5, 0, 1.5), (-1.5, 0, -1.5), (-1.5, 3, 1.5)],
           "right": [(1.5, 0, -1.5), (1.5, 0, 1.5), (1.5, 3, -1.5)]}
EYES = {"left": 1, "right": 2, "centre": 3}  # ZORAVOVAR_ROOM_LEFT_EYE, _RIGHT_EYE, _CENTRE_EYE


class RoomLibrary:
    """libZoravoVARRoom called as a C program calls it: the module must agree with it to the bit."""

    def __init__(self, path):
        lib = ctypes.CDLL(ROOM_LIBRARY)
        lib.zoravovarRoomLoadFile.restype = ctypes.c_void_p
        lib.zoravovarRoomLoadFile.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        lib.zoravovarRoomFree.argtypes = [ctypes.c_void_p]
        lib.zoravovarRoomPose.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        lib.zoravovarRoomSensorPoint.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                                 ctypes.c_void_p]
        lib.zoravovarRoomScreenMatrices.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_double,
                                                    ctypes.c_double, ctypes.c_void_p, ctypes.c_void_p]
        self.lib = lib
        error = ctypes.create_string_buffer(512)
        self.room = lib.zoravovarRoomLoadFile(str(path).encode(), error, len(error))
        assert self.room, error.value

    def close(self):
        self.lib.zoravovarRoomFree(self.room)

    # Each answer as the C library stores it: column after column.
    def pose(self, reader):
        out = np.full(16, 7.0)
        assert self.lib.zoravovarRoomPose(self.room, np.ascontiguousarray(reader).ctypes.data, out.ctypes.data) == 1
        return out

    def point(self, sensor, point, reader):
        out = np.full(3, 7.0)
        reader = np.ascontiguousarray(reader)
        assert self.lib.zoravovarRoomSensorPoint(self.room, sensor, point, reader.ctypes.data, out.ctypes.data) == 1
        return out

    def matrices(self, screen, eye, near, far):
        view, projection, eye = np.full(16, 7.0), np.full(16, 7.0), np.ascontiguousarray(eye, dtype=np.float64)
        assert self.lib.zoravovarRoomScreenMatrices(self.room, screen, eye.ctypes.data, near, far, view.ctypes.data,
                                                    projection.ctypes.data) == 1
        return view, projection


def bits(array):
    """The bit patterns of a float64 array, so that -0.0 differs from 0.0."""
    return np.asarray(array, dtype=np.float64).view(np.uint64)


@pytest.fixture
def three_walls(tmp_path):
    path = tmp_path / "installation.toml"
    path.write_text(THREE_WALLS)
    return path


def test_three_walls_give_the_c_librarys_bits_and_land_on_clip_corners(three_walls, simulator):
    sim = simulator("--static", "--sensors", "4")
    with zoravovar.Tracker(sim.tracker) as tracker:
        heads = [tracker.matrix(i) for i in range(4)]  # the reader's own matrices, turned and moved
    room = zoravovar.Installation(three_walls)
    c = RoomLibrary(three_walls)
    try:
        assert room.screen_names == ["front", "left", "right"]
        assert room.sensor_names == ["head", "wand"] and room.sensor_roles == ["head", "wand"]
        assert room.sensor_indices == [3, 1] and room.path == str(three_walls)
        for head in heads:
            pose = room.room_pose(head)
            assert pose.dtype == np.float64 and pose.shape == (4, 4)
            # m[row, column] of the column-vector matrix; m.T.ravel() is OpenGL's column after column.
            np.testing.assert_array_equal(bits(pose.T.ravel()), bits(c.pose(head)))
            np.testing.assert_array_equal(bits(pose.ravel(order="F")), bits(c.pose(head)))
            assert pose[3].tolist() == [0.0, 0.0, 0.0, 1.0]
            for eye, point in EYES.items():
                position = room.eye_position(eye, head)
                assert position.dtype == np.float64 and position.shape == (3,)
                np.testing.assert_array_equal(bits(position), bits(c.point(0, point, head)))
            eye = room.eye_position("left", head)
            for number, name in enumerate(room.screen_names):
                view, projection = room.view_projection(name, eye, 0.05, 100.0)
                expected_view, expected_projection = c.matrices(number, eye, 0.05, 100.0)
                np.testing.assert_array_equal(bits(view.T.ravel()), bits(expected_view))
                np.testing.assert_array_equal(bits(projection.T.ravel()), bits(expected_projection))
                by_number = room.view_projection(number, list(eye), 0.05, 100.0)
                np.testing.assert_array_equal(bits(by_number[1]), bits(projection))
                # clip = projection @ view @ [x, y, z, 1]: the corners land on the corners of clip space.
                for corner, expected in zip(CORNERS[name], [(-1, -1), (1, -1), (-1, 1)]):
                    clip = projection @ view @ np.array([*corner, 1.0])
                    np.testing.assert_allclose(clip[:2] / clip[3], expected, atol=1e-12)
    finally:
        c.close()


def test_installation_refusals_name_the_file_line_and_what_is_wrong(three_walls, tmp_path, monkeypatch):
    wrong = tmp_path / "wrong.toml"
    wrong.write_text(THREE_WALLS.replace("unit = 0.3048", "unit = -0.3048"))
    with pytest.raises(ValueError, match="^" + re.escape(f"{wrong}:3: tracker.unit: ")):
        zoravovar.Installation(wrong)
    with pytest.raises(FileNotFoundError) as missing:
        zoravovar.Installation(tmp_path / "none.toml")
    assert missing.value.filename == str(tmp_path / "none.toml")
    with pytest.raises(IsADirectoryError):
        zoravovar.Installation(tmp_path)
    monkeypatch.setenv("ZORAVOVAR_INSTALLATION", str(three_walls))  # path=None: the lookup order
    assert zoravovar.Installation().path == str(three_walls)

    room = zoravovar.Installation(three_walls)
    head = np.eye(4, dtype=np.float32)
    eye = room.eye_position("centre", head)
    with pytest.raises(KeyError, match="no screen is named 'floor'"):
        room.view_projection("floor", eye, 0.05, 100.0)
    for number in (3, -1, 2**70):  # negative numbers are not counted from the end
        with pytest.raises(IndexError, match=f"screen {number} is out of range: .* has 3 screens"):
            room.view_projection(number, eye, 0.05, 100.0)
    with pytest.raises(TypeError, match="name .str. or number"):
        room.view_projection(1.0, eye, 0.05, 100.0)
    for near, far, message in ((0.0, 100.0, "near"), (0.05, 0.05, "far"), (0.05, np.nan, "far")):
        with pytest.raises(ValueError, match=message):
            room.view_projection("front", eye, near, far)
    with pytest.raises(ValueError, match="on or behind screen \"front\"'s plane"):
        room.view_projection("front", [0.0, 1.0, -2.0], 0.05, 100.0)
    with pytest.raises(ValueError, match="3 numbers"):
        room.view_projection("front", [0.0, 1.0], 0.05, 100.0)
    with pytest.raises(ValueError, match='"left", "right" or "centre"'):
        room.eye_position("center", head)
    for matrix in (head.astype(np.float64), head.T.copy()[:3], head.tolist()):  # never rounded nor guessed
        with pytest.raises(TypeError, match="float32 \\(4, 4\\) matrix, as Tracker.matrix"):
            room.room_pose(matrix)
    head[3, 0] = np.inf
    with pytest.raises(ValueError, match="not finite"):
        room.room_pose(head)
    headless = tmp_path / "headless.toml"
    headless.write_text(THREE_WALLS.replace('role = "head"\nleft_eye = [-0.032, 0.01, 0.0]\nright_eye = [0.032, 0.01, 0.0]',
                                            'role = "other"'))
    with pytest.raises(ValueError, match="no sensor of role \"head\""):
        zoravovar.Installation(headless).eye_position("left", np.eye(4, dtype=np.float32))

    empty = zoravovar.Installation.__new__(zoravovar.Installation)
    for use in (lambda o: o.screen_names, lambda o: o.room_pose(head), repr,
                lambda o: o.view_projection(0, eye, 0.05, 100.0)):
        with pytest.raises(TypeError, match="not initialised"):
            use(empty)
