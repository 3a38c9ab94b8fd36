"""Markers for a recording: one datagram to trackd-monitor's --markers socket."""
import os
import socket

from ._zoravovar import LONGEST_MARKER


def send_marker(path, text):
    """Sends `text` as a marker to the recorder listening at the Unix datagram socket `path`
    (trackd-monitor --record FILE --markers PATH), which writes it as a line {"time": T, "marker": TEXT} in
    order with the frames, T on the frames' clock when it arrives. text is a str of at most LONGEST_MARKER
    (1024) bytes in UTF-8, holding no NUL: anything else raises ValueError (TypeError when it is no str),
    and nothing is sent. Raises OSError when nobody listens at path (FileNotFoundError when nothing is
    there, ConnectionRefusedError when the socket is a stale one) or the datagram cannot be sent."""
    if not isinstance(text, str):
        raise TypeError(f"a marker's text is a str, not {type(text).__name__}")
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise ValueError(f"the marker is not UTF-8: {error.reason} at character {error.start}") from None
    if len(data) > LONGEST_MARKER:
        raise ValueError(f"the marker is longer than {LONGEST_MARKER} bytes ({len(data)} in UTF-8)")
    if b"\0" in data:
        raise ValueError("the marker holds a NUL byte")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
        sender.sendto(data, os.fspath(path))
