package calvora.devicedriver.j3d;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import calvora.devicedriver.TrackdJNI;
import calvora.devicedriver.room.Installation;
import com.sun.j3d.utils.universe.ConfigContainer;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.net.URL;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ThreadLocalRandom;
import javax.media.j3d.InputDevice;
import javax.media.j3d.PhysicalEnvironment;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.vecmath.Vector3d;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The Java 3D input device against trackd-sim holding a pose, headless, in a real virtual machine. */
class TrackdInputDeviceTest {
    private static Process simulator;
    private static int trackerKey;
    private static int controllerKey;

    /** Poses with a -0.0 and a NaN in them: a multiplication by the identity would change both. */
    private static final String POSES = "{\"time\":0,\"buttons\":[1,2,3],\"valuators\":[0.5,-0.25],\"sensors\":["
            + "{\"position\":[-0.0,null,1.5],\"angles\":[10,20,30]},"
            + "{\"position\":[0.5,1.25,-2],\"angles\":[25,30,35]},"
            + "{\"position\":[1,2,3],\"angles\":[0,-0.0,90]}]}\n";

    @BeforeAll
    static void startSimulator() throws Exception {
        Path recording = Files.createTempFile("trackd-j3d", ".jsonl");
        Files.writeString(recording, POSES);
        recording.toFile().deleteOnExit();
        for (int attempt = 0; attempt < 20 && simulator == null; attempt++) {
            trackerKey = ThreadLocalRandom.current().nextInt(0x10000000, 0x70000000);
            controllerKey = trackerKey + 1;
            Process started = new ProcessBuilder(System.getProperty("trackd.sim"), "--play", recording.toString(),
                    "--hold", "--tracker-key", Integer.toString(trackerKey),
                    "--controller-key", Integer.toString(controllerKey)).start();
            String banner = new BufferedReader(new InputStreamReader(started.getInputStream(), StandardCharsets.UTF_8))
                    .readLine();
            if (banner != null && banner.startsWith("trackd-sim: tracker key")) {
                simulator = started;
            }
        }
        assertTrue(simulator != null, "trackd-sim did not start");
    }

    @AfterAll
    static void stopSimulator() throws Exception {
        simulator.destroy();
        assertEquals(0, simulator.waitFor());
    }

    private static double[] elements(Transform3D transform) {
        double[] m = new double[16];
        transform.get(m);
        return m;
    }

    private static long[] bits(double[] values) {
        long[] bits = new long[values.length];
        for (int i = 0; i < values.length; i++) {
            bits[i] = Double.doubleToRawLongBits(values[i]);
        }
        return bits;
    }

    private static double[] bridgeMatrix(int sensor) {
        float[] m = new float[16];
        TrackdJNI.getMatrix(m, sensor);
        double[] widened = new double[16];
        for (int i = 0; i < 16; i++) {
            widened[i] = m[i];
        }
        return widened;
    }

    /** A device initialised for the simulator's keys, closed after each test. */
    private TrackdInputDevice device;

    @AfterEach
    void closeDevice() {
        if (device != null) {
            device.close();
        }
    }

    private TrackdInputDevice initialised() {
        device = new TrackdInputDevice(trackerKey, controllerKey);
        assertTrue(device.initialize());
        return device;
    }

    @Test
    void eachSensorReadsTheBridgesPoseBitForBitWithTheButtons() {
        TrackdInputDevice device = initialised();
        assertEquals(3, device.getSensorCount());
        long before = System.currentTimeMillis();
        device.pollAndProcessInput();
        for (int i = 0; i < 3; i++) {
            Sensor sensor = device.getSensor(i);
            Transform3D read = new Transform3D();
            sensor.lastRead(read);
            assertArrayEquals(bits(bridgeMatrix(i)), bits(elements(read)), "sensor " + i);
            assertTrue(sensor.lastTime() >= before);
            int[] buttons = new int[3];
            sensor.lastButtons(buttons);
            assertArrayEquals(new int[] {1, 2, 3}, buttons);
        }
        assertEquals(2, device.getValuatorCount());
        assertEquals(-0.25f, device.getValuator(1));

        // The identity calibration leaves every element as it was; a translation moves the position only.
        device.setCalibration(new Transform3D());
        device.pollAndProcessInput();
        Transform3D read = new Transform3D();
        device.getSensor(2).lastRead(read);
        assertArrayEquals(bits(bridgeMatrix(2)), bits(elements(read)));
        Transform3D shift = new Transform3D();
        shift.setTranslation(new Vector3d(1, 0, 0));
        device.setCalibration(shift);
        device.pollAndProcessInput();
        device.getSensor(2).lastRead(read);
        assertEquals(bridgeMatrix(2)[3] + 1, elements(read)[3], 1e-12);
        assertEquals(bridgeMatrix(2)[7], elements(read)[7]);
    }

    @Test
    void aPhysicalEnvironmentPollsItAsTheHeadTracker() {
        TrackdInputDevice device = initialised();
        device.setProcessingMode(InputDevice.NON_BLOCKING);
        assertThrows(IllegalArgumentException.class, () -> device.setProcessingMode(InputDevice.BLOCKING));
        assertEquals(InputDevice.NON_BLOCKING, device.getProcessingMode());
        PhysicalEnvironment environment = new PhysicalEnvironment();
        environment.addInputDevice(device);
        environment.setSensor(0, device.getSensor(0));
        environment.setHeadIndex(0);
        // What Java 3D's input scheduler does each frame, by the same public interfaces.
        java.util.Enumeration<?> devices = environment.getAllInputDevices();
        while (devices.hasMoreElements()) {
            ((InputDevice) devices.nextElement()).pollAndProcessInput();
        }
        Sensor head = environment.getSensor(environment.getHeadIndex());
        assertSame(device.getSensor(0), head);
        Transform3D pose = new Transform3D();
        head.lastRead(pose);
        assertArrayEquals(bits(bridgeMatrix(0)), bits(elements(pose)));
        device.setNominalPositionAndOrientation();
        device.close();
        assertEquals(3, TrackdJNI.getNumButtons(), "close() leaves the segments attached");
    }

    @Test
    void withoutATrackerSegmentInitializeIsFalseAndNothingThrows() throws Exception {
        int missing = trackerKey + 2;
        TrackdInputDevice absent = new TrackdInputDevice(missing, missing + 1);
        assertFalse(absent.initialize());
        assertEquals(0, absent.getSensorCount());
        absent.pollAndProcessInput();
        absent.close();
        initialised();
    }
    @Test
    void aUnitInMetresScalesThePositionsOnly() {
        TrackdInputDevice device = initialised();
        device.setUnitInMetres(0.3048);
        device.pollAndProcessInput();
        double[] read = elements(lastRead(device, 1));
        double[] bridge = bridgeMatrix(1);
        for (int i = 0; i < 16; i++) {
            double expected = i == 3 || i == 7 || i == 11 ? bridge[i] * 0.3048 : bridge[i];
            assertEquals(expected, read[i], 1e-12, "element " + i);
        }
        assertThrows(IllegalArgumentException.class, () -> device.setUnitInMetres(0));
        assertThrows(IllegalArgumentException.class, () -> device.setUnitInMetres(Double.NaN));
    }

    private static Transform3D lastRead(TrackdInputDevice device, int sensor) {
        Transform3D read = new Transform3D();
        device.getSensor(sensor).lastRead(read);
        return read;
    }

    private static URL config(String text) throws IOException {
        Path file = Files.createTempFile("trackd-j3d", ".cfg");
        file.toFile().deleteOnExit();
        Files.writeString(file, text);
        return file.toUri().toURL();
    }

    /** Java 3D makes the device from a configuration file by introspection, sets it and initialises it. */
    @Test
    void aConfigurationFileMakesSetsAndInitialisesTheDevice() throws IOException {
        ConfigContainer container = new ConfigContainer(config(
                "(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n"
                + "(DeviceProperty trackd TrackerKey " + trackerKey + ")\n"
                + "(DeviceProperty trackd ControllerKey \"0x" + Integer.toHexString(controllerKey) + "\")\n"
                + "(DeviceProperty trackd ProcessingMode NON_BLOCKING)\n"
                + "(DeviceProperty trackd UnitInMetres 0.01)\n"
                + "(NewSensor head trackd 0)\n"));
        device = (TrackdInputDevice) container.getNamedInputDevices().get("trackd");
        assertEquals(trackerKey, device.getTrackerKey());
        assertEquals(controllerKey, device.getControllerKey());
        assertEquals(InputDevice.NON_BLOCKING, device.getProcessingMode());
        assertEquals(0.01, device.getUnitInMetres());
        assertEquals(3, device.getSensorCount(), "Java 3D initialised the device");
        assertSame(device.getSensor(0), container.getNamedSensors().get("head"));
        assertThrows(IllegalStateException.class, () -> device.TrackerKey(new Object[] {1.0}));
    }

    /**
     * With the installation file, from a configuration file, every read is the room library's pose in the room
     * to the bit; a unit or calibration beside it, and a file with a mistake, are refused, saying why.
     */
    @Test
    void anInstallationFileGivesTheRoomLibrarysPosesAndNoUnitBesideIt() throws Exception {
        Path file = Files.createTempFile("trackd-j3d", ".toml");
        file.toFile().deleteOnExit();
        Files.writeString(file, String.join("\n", "[tracker]", "unit = 0.3048", "origin = [0.5, 0.0, -1.0]",
                "x_axis = [1.0, 0.0, 0.0]", "y_axis = [0.0, 0.0, -1.0]", "z_axis = [0.0, 1.0, 0.0]", ""));
        String keys = "(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n"
                + "(DeviceProperty trackd TrackerKey " + trackerKey + ")\n"
                + "(DeviceProperty trackd ControllerKey " + controllerKey + ")\n";
        ConfigContainer container = new ConfigContainer(config(keys
                + "(DeviceProperty trackd Installation \"" + file + "\")\n"));
        device = (TrackdInputDevice) container.getNamedInputDevices().get("trackd");
        device.pollAndProcessInput();
        float[] reader = new float[16];
        try (Installation room = Installation.load(file.toString())) {
            for (int sensor = 1; sensor < 3; sensor++) {
                TrackdJNI.getMatrix(reader, sensor);
                double[] pose = room.roomPose(reader, null);
                double[] transposed = new double[16];
                for (int i = 0; i < 16; i++) {
                    transposed[i] = pose[(i % 4) * 4 + i / 4];
                }
                assertArrayEquals(bits(transposed), bits(elements(lastRead(device, sensor))), "sensor " + sensor);
            }
        }
        TrackdInputDevice withRoom = device;
        assertThrows(IllegalStateException.class, () -> withRoom.setUnitInMetres(0.3048));
        assertThrows(IllegalStateException.class, () -> withRoom.setCalibration(new Transform3D(new double[] {
            0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1})));
        IllegalArgumentException both = assertThrows(IllegalArgumentException.class, () -> new ConfigContainer(config(
                "(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n(DeviceProperty trackd UnitInMetres"
                + " 0.3048)\n(DeviceProperty trackd Installation \"" + file + "\")\n")));
        assertTrue(both.getMessage().contains("Installation: the device has a unit of 0.3048 m already"),
                both.getMessage());
        Files.writeString(file, "[tracker]\nunit = -1.0\n");
        IllegalArgumentException mistake = assertThrows(IllegalArgumentException.class, () -> new ConfigContainer(
                config("(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n(DeviceProperty trackd"
                        + " Installation \"" + file + "\")\n")));
        assertTrue(mistake.getMessage().contains("Installation: " + file + ":2:"), mistake.getMessage());
    }

    @Test
    void aBadPropertyValueOrSensorIndexIsRefusedNamingIt() throws Exception {
        String[][] cases = {
            {"TrackerKey 74.5", "TrackerKey: 74.5 is not a System V key"},
            {"TrackerKey \"seventy\"", "TrackerKey: \"seventy\" is not a System V key"},
            {"ControllerKey 5000000000", "ControllerKey: 5.0E9 does not fit a 32-bit key"},
            {"ControllerKey 1 2", "ControllerKey takes one value, not 2"},
            {"ProcessingMode BLOCKING", "ProcessingMode: \"BLOCKING\" is not DEMAND_DRIVEN or NON_BLOCKING"},
            {"UnitInMetres -1", "UnitInMetres: -1.0 is not a length in metres above 0"},
            {"UnitInMetres feet", "UnitInMetres: \"feet\" is not a length in metres"},
        };
        for (String[] bad : cases) {
            IllegalArgumentException refused = assertThrows(IllegalArgumentException.class, () -> new ConfigContainer(
                    config("(NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)\n"
                            + "(DeviceProperty trackd " + bad[0] + ")\n")), bad[0]);
            assertTrue(refused.getMessage().contains(bad[1]), refused.getMessage());
        }
        // A sensor the device does not have is named with the count (its file leaves a device initialised,
        // so it runs in a virtual machine of its own).
        assertEquals(List.of("refused: TrackdInputDevice has no sensor 99: it has 3 (0 to 2, as trackd's tracker"
                + " segment announced when the device was initialised; a NewSensor command names one by its index)"),
                lines(probe("sensor-out-of-range")[0]));
        TrackdInputDevice unattached = new TrackdInputDevice(trackerKey, controllerKey);
        IllegalArgumentException none = assertThrows(IllegalArgumentException.class, () -> unattached.getSensor(0));
        assertTrue(none.getMessage().startsWith("TrackdInputDevice has no sensor 0: it has none"), none.getMessage());
    }

    private static List<String> lines(String text) {
        return text.lines().toList();
    }

    /** A scenario of DeviceProbe in a virtual machine of its own: its standard error holds the library's lines too. */
    private static String[] probe(String scenario) throws Exception {
        Process process = new ProcessBuilder(ProcessHandle.current().info().command().orElse("java"), "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("java.class.path"), DeviceProbe.class.getName(), scenario).start();
        process.getOutputStream().close();
        CompletableFuture<String> out = CompletableFuture.supplyAsync(() -> read(process.getInputStream()));
        CompletableFuture<String> err = CompletableFuture.supplyAsync(() -> read(process.getErrorStream()));
        assertEquals(0, process.waitFor(), err.join());
        return new String[] {out.join(), err.join()};
    }

    private static String read(java.io.InputStream stream) {
        try {
            return new String(stream.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }

    /** The bridge holds one pair of segments a process: a device for other keys waits until the first is closed. */
    @Test
    void aSecondDeviceForOtherKeysIsRefusedAndNeverMovesTheFirst() throws Exception {
        String[] seen = probe("two-devices");
        assertEquals(List.of(
                "first initialised true",
                "second refused: TrackdInputDevice: refused for keys " + "%KEYS%",
                "first reads 100.0 101.0 102.0",
                "same keys initialised true with 3",
                "second refused again",
                "second initialised after both closed true",
                "second reads 200.0; the closed first keeps 100.0 101.0 102.0"),
                lines(seen[0]).stream().map(line -> line.startsWith("second refused: ")
                        ? line.replaceFirst("for keys .*", "for keys %KEYS%") : line).toList());
        assertTrue(seen[0].contains("another TrackdInputDevice of this process reads trackd's segments under keys"),
                seen[0]);
        assertEquals("", seen[1], "nothing on standard error");
    }

    /** A sensor trackd stops announcing keeps its own last pose, never another's, and the drop is said once. */
    @Test
    void sensorsThatTrackdStopsAnnouncingKeepTheirOwnLastPose() throws Exception {
        String[] seen = probe("sensor-drop");
        assertEquals(List.of(
                "three sensors 1.0 2.0 3.0; buttons [1, 2, 3]",
                "one sensor 10.0 2.0 3.0; buttons [7, 2, 3]",
                "three again 10.0 20.0 3.0; buttons [7, 2, 9]"), lines(seen[0]));
        assertEquals(List.of(
                "TrackdInputDevice: trackd now announces 1 button; buttons 1 to 2 keep their last values until trackd"
                        + " announces them again",
                "TrackdInputDevice: trackd now announces 1 sensor; sensors 1 to 2 keep their last values until trackd"
                        + " announces them again",
                "TrackdInputDevice: trackd now announces 3 buttons; all 3 are read again",
                "TrackdInputDevice: trackd now announces 3 sensors; all 3 are read again"), lines(seen[1]));
    }
}
