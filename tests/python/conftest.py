"""Fixtures for the Python module's tests: simulators under fresh keys, raw segments, and the C library itself."""
import ctypes
import os
import random
import signal
import subprocess

import numpy as np
import pytest

TRACKD_SIM = os.environ["TRACKD_SIM"]
TRACKD_MONITOR = os.environ["TRACKD_MONITOR"]
LIBRARY = os.environ["ZORAVOVAR_LIBRARY"]

IPC_CREAT, IPC_EXCL, IPC_RMID = 0o1000, 0o2000, 0
_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmat.restype = ctypes.c_void_p
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]


def fresh_key():
    return random.randint(0x10000000, 0x6FFFFFFF)


class RawSegment:
    """A System V segment made by the test itself, for what no simulator makes (too small, no permission)."""

    def __init__(self, size, mode=0o600):
        for _ in range(100):
            self.key = fresh_key()
            self.id = _libc.shmget(self.key, size, IPC_CREAT | IPC_EXCL | mode)
            if self.id >= 0:
                return
        raise OSError(ctypes.get_errno(), "shmget failed")

    def write(self, offset, data):
        """Writes bytes into the segment through an attachment of the test's own, detached again after."""
        address = _libc.shmat(self.id, None, 0)
        if address in (None, ctypes.c_void_p(-1).value):
            raise OSError(ctypes.get_errno(), "shmat failed")
        ctypes.memmove(address + offset, data, len(data))
        _libc.shmdt(address)

    def remove(self):
        _libc.shmctl(self.id, IPC_RMID, None)


@pytest.fixture
def raw_segment():
    made = []

    def make(size, mode=0o600):
        made.append(RawSegment(size, mode))
        return made[-1]

    yield make
    for segment in made:
        segment.remove()


class Simulator:
    def __init__(self, *options):
        self.tracker, self.controller = fresh_key(), None
        self.controller = self.tracker + 1
        self.process = subprocess.Popen(
            [TRACKD_SIM, "--tracker-key", str(self.tracker), "--controller-key", str(self.controller), *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.banner = self.process.stdout.readline()  # printed once both segments exist
        if not self.banner.startswith("trackd-sim: tracker key"):
            raise RuntimeError("trackd-sim did not start: " + self.banner + self.process.stderr.read())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.communicate(timeout=60)


@pytest.fixture
def simulator():
    """Starts trackd-sim with the given options under fresh keys; stopped (and its segments removed) after."""
    started = []

    def start(*options):
        started.append(Simulator(*options))
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


class CLibrary:
    """libZoravoVAR called directly, as a C program calls it: what the module must agree with to the bit."""

    def __init__(self):
        lib = ctypes.CDLL(LIBRARY)
        lib.trackdInitTrackerReader.restype = ctypes.c_void_p
        lib.trackdInitTrackerReader.argtypes = [ctypes.c_int]
        lib.trackdGetMatrix.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
        self.lib = lib

    def matrices(self, key, sensors):
        handle = self.lib.trackdInitTrackerReader(key)
        assert handle
        out = np.full((sensors, 4, 4), 7, dtype=np.float32)
        for i in range(sensors):
            assert self.lib.trackdGetMatrix(handle, i, out[i].ctypes.data) == 1
        return out


@pytest.fixture(scope="session")
def clib():
    return CLibrary()


def bits(array):
    """The bit patterns of a float32 array, so that -0.0 differs from 0.0 and a NaN equals itself."""
    return np.asarray(array, dtype=np.float32).view(np.uint32)


def shortest(value):
    """A float32 as the monitor writes it: the shortest decimal that reads back as it, null for NaN."""
    value = np.float32(value)
    return "null" if not np.isfinite(value) else np.format_float_positional(value, unique=True, trim="-")


def attachments_of(key):
    """How many mappings of this process show a System V segment under the key."""
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if f"/SYSV{key & 0xFFFFFFFF:08x}" in line.split())


def segments_of_key_zero():
    with open("/proc/sysvipc/shm") as table:
        return sum(1 for line in table.readlines()[1:] if line.split()[0] == "0")
