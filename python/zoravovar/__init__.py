"""zoravovar: trackd's live poses, buttons and valuators as numpy arrays, and its recordings as arrays.

    import zoravovar
    with zoravovar.Tracker() as tracker:          # trackd's tracker segment, key 7401
        head = tracker.matrix(0)                  # float32 (4, 4), as trackdGetMatrix gives it
    recording = zoravovar.load_recording("session.jsonl")
    path = recording.position[:, 0]               # float32 (T, 3): sensor 0's path

Live queries go through libZoravoVAR's exported functions; recordings are read with the reader that
trackd-sim --play uses. help(zoravovar.Tracker), help(zoravovar.Controller) and
help(zoravovar.load_recording) say more.
"""

from ._zoravovar import (
    DEFAULT_CONTROLLER_KEY,
    DEFAULT_TRACKER_KEY,
    NO_BUTTON,
    Controller,
    Recording,
    RecordingError,
    Tracker,
    __version__,
    library_version,
    load_recording,
)

__all__ = [
    "DEFAULT_CONTROLLER_KEY",
    "DEFAULT_TRACKER_KEY",
    "NO_BUTTON",
    "Controller",
    "Recording",
    "RecordingError",
    "Tracker",
    "__version__",
    "library_version",
    "load_recording",
]
