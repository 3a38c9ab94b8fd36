"""zoravovar: trackd's live poses, buttons and valuators as numpy arrays, its recordings as arrays (and as
pandas, CSV and HDF5), markers for a recording, and the installation file's room math.

    import zoravovar
    with zoravovar.Tracker() as tracker:          # trackd's tracker segment, key 7401
        head = tracker.matrix(0)                  # float32 (4, 4), as trackdGetMatrix gives it
    recording = zoravovar.load_recording("session.jsonl")
    path = recording.position[:, 0]               # float32 (T, 3): sensor 0's path
    table = recording.to_dataframe()              # pandas: one row per frame and sensor
    uniform = recording.resample(90)              # 90 Hz: positions linear, rotations spherical
    zoravovar.send_marker("/run/user/1000/markers", "trial 3 starts")  # to trackd-monitor --markers
    room = zoravovar.Installation()               # $ZORAVOVAR_INSTALLATION or /etc/zoravovar/installation.toml
    eye = room.eye_position("left", head)         # float64 (3,), room metres
    view, projection = room.view_projection("front", eye, 0.05, 100.0)

Matrices of the room act on column vectors and index as numpy does, m[row, column]:
clip = projection @ view @ [x, y, z, 1]. OpenGL takes them column after column: m.T.ravel() (or
m.ravel(order="F")) with transpose False. Tracker.matrix(i) is the reader's, for row vectors: hand it to
Installation.room_pose or eye_position, never to OpenGL as it is.

Live queries go through libZoravoVAR's exported functions, the room through libZoravoVARRoom's; recordings are read with the reader that
trackd-sim --play uses. help(zoravovar.Tracker), help(zoravovar.Controller) and
help(zoravovar.load_recording) and help(zoravovar.Installation) say more. python3 -m zoravovar export
RECORDING --csv OUT (or --hdf5 OUT) exports a recording from the shell.
"""


def _check_interpreter():
    """Fails at import, in one line, where this interpreter cannot run the native part or lacks numpy."""
    import sys
    import sysconfig

    from . import _built

    built = "zoravovar is built for %s (Python %s with numpy %s)" % (
        _built.INTERPRETER, _built.PYTHON_VERSION, _built.NUMPY_VERSION)
    here = "this is %s (Python %d.%d" % (sys.executable or "an unknown interpreter", *sys.version_info[:2])
    fix = ("run it with %s, or in a venv made by %s -m venv --system-site-packages"
           % (_built.INTERPRETER, _built.INTERPRETER))
    if sysconfig.get_config_var("SOABI") != _built.SOABI:
        raise ImportError("%s; %s, another ABI): %s" % (built, here, fix))
    try:
        import numpy
    except ImportError:
        raise ImportError("%s; %s without numpy): %s" % (built, here, fix)) from None
    if numpy.__version__.split(".")[0] != _built.NUMPY_VERSION.split(".")[0]:
        raise ImportError("%s; %s with numpy %s): %s" % (built, here, numpy.__version__, fix))


_check_interpreter()
del _check_interpreter

from ._zoravovar import (  # noqa: E402 (after the check, which names what is wrong)
    DEFAULT_CONTROLLER_KEY,
    DEFAULT_TRACKER_KEY,
    LONGEST_MARKER,
    NO_BUTTON,
    Controller,
    Installation,
    Recording,
    RecordingError,
    Tracker,
    __version__,
    library_version,
    load_recording,
    quaternions,
)
from ._formats import markers_csv_path, to_csv, to_dataframe, to_hdf5
from ._marker import send_marker
from ._resample import Resampled, resample

# The formats and resampling are methods of Recording, written in Python over its arrays.
Recording.to_dataframe = to_dataframe
Recording.to_csv = to_csv
Recording.to_hdf5 = to_hdf5
Recording.resample = resample
del to_csv, to_dataframe, to_hdf5, resample

__all__ = [
    "DEFAULT_CONTROLLER_KEY",
    "DEFAULT_TRACKER_KEY",
    "LONGEST_MARKER",
    "NO_BUTTON",
    "Controller",
    "Installation",
    "Recording",
    "RecordingError",
    "Resampled",
    "Tracker",
    "__version__",
    "library_version",
    "load_recording",
    "markers_csv_path",
    "quaternions",
    "send_marker",
]
