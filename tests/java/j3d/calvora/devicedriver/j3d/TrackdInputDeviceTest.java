package calvora.devicedriver.j3d;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import calvora.devicedriver.TrackdJNI;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.ThreadLocalRandom;
import javax.media.j3d.InputDevice;
import javax.media.j3d.PhysicalEnvironment;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.vecmath.Vector3d;
import org.junit.jupiter.api.AfterAll;
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

    @Test
    void eachSensorReadsTheBridgesPoseBitForBitWithTheButtons() {
        TrackdInputDevice device = new TrackdInputDevice(trackerKey, controllerKey);
        assertTrue(device.initialize());
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
        TrackdInputDevice device = new TrackdInputDevice(trackerKey, controllerKey);
        assertTrue(device.initialize());
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
        TrackdInputDevice device = new TrackdInputDevice(missing, missing + 1);
        assertFalse(device.initialize());
        assertEquals(0, device.getSensorCount());
        device.pollAndProcessInput();
        device.close();
        assertTrue(new TrackdInputDevice(trackerKey, controllerKey).initialize());
    }
}
