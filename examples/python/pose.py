#!/usr/bin/python3
"""Prints a sensor's pose, the buttons and the valuators from trackd's segments, as the C example does.

Usage: pose.py [TRACKER_KEY CONTROLLER_KEY [SENSOR]] (keys 7401 and 7402 by default; hex as 0x1ce9).
"""
import sys

import zoravovar


def main(argv):
    tracker_key = int(argv[1], 0) if len(argv) > 2 else zoravovar.DEFAULT_TRACKER_KEY
    controller_key = int(argv[2], 0) if len(argv) > 2 else zoravovar.DEFAULT_CONTROLLER_KEY
    sensor = int(argv[3]) if len(argv) > 3 else 0
    try:
        tracker, controller = zoravovar.Tracker(tracker_key), zoravovar.Controller(controller_key)
    except OSError as error:  # FileNotFoundError without trackd, PermissionError without its group
        sys.exit(f"pose.py: {error}")
    with tracker, controller:
        print(f"{zoravovar.library_version()}: {tracker.sensor_count} sensors, {controller.button_count} buttons, "
              f"{controller.valuator_count} valuators")
        position, angles = tracker.position(sensor), tracker.angles(sensor)
        print(f"sensor {sensor}: position {position[0]:.3f} {position[1]:.3f} {position[2]:.3f}")
        print(f"angles X Y Z in degrees: {angles[0]:.3f} {angles[1]:.3f} {angles[2]:.3f}")
        for row, values in enumerate(tracker.matrix(sensor)):  # for row vectors: the translation is row 3
            print(f"matrix row {row}: " + " ".join(f"{value:9.5f}" for value in values))
        print("buttons:" + "".join(f" {button}" for button in controller.buttons()))
        print("valuators:" + "".join(f" {valuator:.3f}" for valuator in controller.valuators()))


if __name__ == "__main__":
    main(sys.argv)
