"""A recording resampled to uniform times: positions and valuators linearly, rotations by spherical
interpolation, buttons held; torn lines left out."""
import math

import numpy as np

MOST_TIMES = 1e8  # about 12 days at 90 Hz: beyond it, a rate or a time given by mistake


class Resampled:
    """A recording at uniform times, as Recording.resample(hz) gives it. K times, N sensors:

    time         float64 (K,)       time[0] + k / rate: the first trusted frame's time, then every 1 / rate
                                    seconds up to the last trusted frame's
    position     float64 (K, N, 3)  linear between the trusted frames on either side
    quaternions  float64 (K, N, 4)  w, x, y, z as Recording.quaternions() gives them, spherically
                                    interpolated (the shorter way round) between those frames
    buttons      int64   (K, B)     held: the last trusted frame's at or before each time
    valuators    float64 (K, V)     linear between the trusted frames on either side
    names, rate, markers            the recording's names and markers, and the rate asked for

    A sensor (or valuator) missing from either frame around a time is NaN there; at a frame's own time
    the values are that frame's.
    """

    def __init__(self, rate, time, position, quaternions, buttons, valuators, names, markers):
        self.rate, self.time, self.position, self.quaternions = rate, time, position, quaternions
        self.buttons, self.valuators, self.names, self.markers = buttons, valuators, names, markers

    def __len__(self):
        return len(self.time)

    def __repr__(self):
        return (f"<zoravovar.Resampled {len(self)} times at {self.rate:g} Hz, {self.position.shape[1]} sensors, "
                f"{self.buttons.shape[1]} buttons, {self.valuators.shape[1]} valuators>")


def slerp(start, end, fraction):
    """Spherical interpolation of unit quaternions (..., 4) at fraction (...,), the shorter way round; w >= 0."""
    fraction = fraction[..., None]
    dot = np.sum(start * end, axis=-1, keepdims=True)
    end = np.where(dot < 0, -end, end)
    dot = np.minimum(np.abs(dot), 1.0)
    angle = np.arccos(dot)
    sine = np.sin(angle)
    near = sine < 1e-9  # the same rotation (to float64's precision): the chord is the arc
    safe = np.where(near, 1.0, sine)
    a = np.where(near, 1 - fraction, np.sin((1 - fraction) * angle) / safe)
    b = np.where(near, fraction, np.sin(fraction * angle) / safe)
    out = a * start + b * end
    out /= np.linalg.norm(out, axis=-1, keepdims=True)
    return np.where(out[..., :1] < 0, -out, out)


def resample(recording, rate):
    """The recording at `rate` frames a second, uniform in time: a Resampled (see there). Lines the recorder
    marked torn are left out; rate is a positive number of frames a second."""
    if isinstance(rate, bool) or not isinstance(rate, (int, float, np.integer, np.floating)):
        raise TypeError("rate is a number of frames a second")
    rate = float(rate)
    if not (math.isfinite(rate) and rate > 0):
        raise ValueError(f"rate is {rate!r}: it is a positive number of frames a second")
    trusted = np.flatnonzero(~np.asarray(recording.torn, dtype=bool))
    times = recording.time[trusted]
    if len(trusted):
        span = times[-1] - times[0]
        if span * rate > MOST_TIMES:
            raise ValueError(f"{span:g} s at {rate:g} Hz are more than the {MOST_TIMES:.0e} times resample makes")
        grid = times[0] + np.arange(int(math.floor(span * rate)) + 1, dtype=np.float64) / rate
        grid = grid[grid <= times[-1]]
    else:
        grid = np.zeros(0)
    before = np.searchsorted(times, grid, side="right") - 1  # the last trusted frame at or before each time
    after = np.minimum(before + 1, len(trusted) - 1)
    span = times[after] - times[before]
    fraction = np.where(span > 0, (grid - times[before]) / np.where(span > 0, span, 1.0), 0.0)
    i, j = trusted[before], trusted[after]

    def linear(values):
        start, end = values[i].astype(np.float64), values[j].astype(np.float64)
        shape = fraction.reshape((-1,) + (1,) * (start.ndim - 1))
        return np.where(shape == 0, start, start + shape * (end - start))  # on a frame, its own value

    turns = recording.quaternions()
    sensors = turns.shape[1]
    along = np.repeat(fraction[:, None], sensors, axis=1)
    quaternions = np.where(along[..., None] == 0, turns[i], slerp(turns[i], turns[j], along))
    return Resampled(rate, grid, linear(recording.position), quaternions, recording.buttons[i],
                     linear(recording.valuators), list(recording.names), list(recording.markers))
