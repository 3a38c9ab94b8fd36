package calvora.devicedriver.j3d;

import calvora.devicedriver.test.Segment;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.vecmath.Vector3d;

/** Runs one scenario of the Java 3D device against real segments in a fresh virtual machine, a line a result. */
public final class DeviceProbe {
    private static final int SENSOR_COUNT_AT = 4;
    private static final int BUTTON_COUNT_AT = 12;

    private DeviceProbe() {
    }

    public static void main(String[] args) {
        switch (args[0]) {
            case "two-devices" -> twoDevices();
            case "sensor-drop" -> sensorDrop();
            case "sensor-out-of-range" -> sensorOutOfRange();
            default -> throw new IllegalArgumentException("unknown scenario " + args[0]);
        }
    }

    /** Sensor i of each segment at x = base + i: every read says whose segment it came from. */
    private static Segment tracker(int sensors, float base) {
        Segment tracker = Segment.tracker(sensors);
        for (int i = 0; i < sensors; i++) {
            tracker.putSensor(i, base + i, 0, 0, 0, 0, 0);
        }
        return tracker;
    }

    private static String xs(TrackdInputDevice device) {
        StringBuilder line = new StringBuilder();
        Transform3D read = new Transform3D();
        Vector3d at = new Vector3d();
        for (int i = 0; i < device.getSensorCount(); i++) {
            device.getSensor(i).lastRead(read);
            read.get(at);
            line.append(i == 0 ? "" : " ").append(at.x);
        }
        return line.toString();
    }

    /** A configuration file asking for a sensor beyond the three that trackd announces. */
    private static void sensorOutOfRange() {
        try (Segment tracker = tracker(3, 100); Segment controller = Segment.controller(2, 0)) {
            java.nio.file.Path file = java.nio.file.Files.createTempFile("trackd-j3d", ".cfg");
            try {
                java.nio.file.Files.writeString(file, "(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n"
                        + "(DeviceProperty trackd TrackerKey " + tracker.key + ")\n"
                        + "(DeviceProperty trackd ControllerKey " + controller.key + ")\n"
                        + "(NewSensor head trackd 0)\n(NewSensor wand trackd 99)\n");
                new com.sun.j3d.utils.universe.ConfigContainer(file.toUri().toURL());
                System.out.println("accepted");
            } catch (IllegalArgumentException e) {
                System.out.println("refused: " + e.getMessage());
            } finally {
                java.nio.file.Files.delete(file);
            }
        } catch (java.io.IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }

    private static void twoDevices() {
        try (Segment trackerA = tracker(3, 100); Segment controllerA = Segment.controller(2, 0);
                Segment trackerB = tracker(1, 200); Segment controllerB = Segment.controller(2, 0)) {
            TrackdInputDevice first = new TrackdInputDevice(trackerA.key, controllerA.key);
            System.out.println("first initialised " + first.initialize());
            TrackdInputDevice second = new TrackdInputDevice(trackerB.key, controllerB.key);
            try {
                second.initialize();
                System.out.println("second initialised");
            } catch (IllegalStateException e) {
                System.out.println("second refused: " + e.getMessage());
            }
            for (int i = 0; i < 3; i++) {
                first.pollAndProcessInput();
            }
            System.out.println("first reads " + xs(first));
            TrackdInputDevice same = new TrackdInputDevice(trackerA.key, controllerA.key);
            System.out.println("same keys initialised " + same.initialize() + " with " + same.getSensorCount());
            same.pollAndProcessInput();
            first.close();
            try {
                second.initialize();
                System.out.println("second initialised while a device for the first keys is open");
            } catch (IllegalStateException e) {
                System.out.println("second refused again");
            }
            same.close();
            System.out.println("second initialised after both closed " + second.initialize());
            second.pollAndProcessInput();
            first.pollAndProcessInput();
            System.out.println("second reads " + xs(second) + "; the closed first keeps " + xs(first));
            second.close();
        }
    }

    private static void sensorDrop() {
        try (Segment tracker = tracker(3, 1); Segment controller = Segment.controller(3, 0)) {
            for (int b = 0; b < 3; b++) {
                controller.putButton(b, b + 1);
            }
            TrackdInputDevice device = new TrackdInputDevice(tracker.key, controller.key);
            device.initialize();
            device.pollAndProcessInput();
            System.out.println("three sensors " + xs(device) + buttons(device.getSensor(0)));
            tracker.putInt(SENSOR_COUNT_AT, 1);
            controller.putInt(BUTTON_COUNT_AT, 1);
            // Beyond the announced count, records that change must not be read.
            tracker.putSensor(0, 10, 0, 0, 0, 0, 0);
            tracker.putSensor(1, 20, 0, 0, 0, 0, 0);
            controller.putButton(0, 7);
            controller.putButton(2, 9);
            for (int i = 0; i < 5; i++) {
                device.pollAndProcessInput();
            }
            System.out.println("one sensor " + xs(device) + buttons(device.getSensor(0)));
            tracker.putInt(SENSOR_COUNT_AT, 3);
            controller.putInt(BUTTON_COUNT_AT, 3);
            device.pollAndProcessInput();
            device.pollAndProcessInput();
            System.out.println("three again " + xs(device) + buttons(device.getSensor(1)));
            device.close();
        }
    }

    private static String buttons(Sensor sensor) {
        int[] values = new int[sensor.getSensorButtonCount()];
        sensor.lastButtons(values);
        return "; buttons " + java.util.Arrays.toString(values);
    }
}
