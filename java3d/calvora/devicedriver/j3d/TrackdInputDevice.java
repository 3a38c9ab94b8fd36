package calvora.devicedriver.j3d;

import calvora.devicedriver.TrackdJNI;
import javax.media.j3d.InputDevice;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;

/**
 * trackd's sensors as a Java 3D input device: head and hand tracking for a Java 3D application.
 *
 * <p>{@link #initialize()} attaches trackd's segments through {@link TrackdJNI} and makes one
 * {@link Sensor} per tracked sensor, as many as the tracker segment announces then (at most
 * {@value #MAX_SENSORS}). Each poll reads every sensor's pose into its sensor, stamped with the time of
 * the read, together with the installation's buttons: trackd's buttons belong to no particular sensor,
 * so every sensor carries all of them, each as trackd stored it. Java 3D sensors have no valuators;
 * {@link #getValuator(int)} reads them.
 *
 * <p>Head tracking in a Java 3D application:
 *
 * <pre>{@code
 * TrackdInputDevice trackd = new TrackdInputDevice();
 * if (trackd.initialize()) {
 *     PhysicalEnvironment environment = view.getPhysicalEnvironment();
 *     environment.addInputDevice(trackd);
 *     environment.setSensor(0, trackd.getSensor(0));
 *     environment.setHeadIndex(0);
 *     view.setTrackingEnable(true);
 * }
 * }</pre>
 *
 * <p>The poses are {@link TrackdJNI#getMatrix}'s column-vector matrices, which {@link Transform3D} takes
 * element for element; the device adds no arithmetic of its own, except for an optional
 * {@linkplain #setCalibration calibration} from tracker to application coordinates.
 *
 * <p>The bridge's attachments are process-wide: one device serves a process, and a second
 * {@code initialize()} (or any other call of {@code init_trackd_c}) moves every device to the keys given.
 */
public final class TrackdInputDevice implements InputDevice {
    /** The tools' default key of trackd's tracker segment. */
    public static final int DEFAULT_TRACKER_KEY = 7401;
    /** The tools' default key of trackd's controller segment. */
    public static final int DEFAULT_CONTROLLER_KEY = 7402;
    /** The most sensors a device makes, whatever the header announces: trackd's counts come unchecked. */
    public static final int MAX_SENSORS = 64;
    /** The most buttons a sensor carries. */
    public static final int MAX_BUTTONS = 64;

    private static final Sensor[] NO_SENSORS = new Sensor[0];

    private final int trackerKey;
    private final int controllerKey;
    private int processingMode = DEMAND_DRIVEN;
    private Sensor[] sensors = NO_SENSORS;
    private int buttonCount;
    private final float[] matrix = new float[TrackdJNI.MATRIX_LENGTH];
    private final double[] elements = new double[TrackdJNI.MATRIX_LENGTH];
    private final Transform3D read = new Transform3D();
    private volatile Transform3D calibration;

    /** A device for trackd's segments under the tools' default keys, 7401 and 7402. */
    public TrackdInputDevice() {
        this(DEFAULT_TRACKER_KEY, DEFAULT_CONTROLLER_KEY);
    }

    /** A device for trackd's segments under the given System V keys. */
    public TrackdInputDevice(int trackerKey, int controllerKey) {
        this.trackerKey = trackerKey;
        this.controllerKey = controllerKey;
    }

    /**
     * Attaches trackd's segments and makes the sensors. Returns false, after a message on standard
     * error, when the tracker segment cannot be attached; a missing controller segment only means that
     * the sensors carry no buttons.
     */
    @Override
    public synchronized boolean initialize() {
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(trackerKey, controllerKey, status);
        if ((status[0] & TrackdJNI.TRACKER_FAILED) != 0) {
            System.err.printf("TrackdInputDevice: trackd's tracker segment under key 0x%08x (%d) cannot be attached;"
                    + " is trackd running?%n", trackerKey, trackerKey);
            sensors = NO_SENSORS;
            return false;
        }
        buttonCount = (status[0] & TrackdJNI.CONTROLLER_FAILED) != 0 ? 0
                : Math.max(0, Math.min(MAX_BUTTONS, TrackdJNI.getNumButtons()));
        int count = Math.max(0, Math.min(MAX_SENSORS, TrackdJNI.getNumSensors()));
        Sensor[] made = new Sensor[count];
        for (int i = 0; i < count; i++) {
            made[i] = new Sensor(this, Sensor.DEFAULT_SENSOR_READ_COUNT, buttonCount);
        }
        sensors = made;
        return true;
    }

    /** Does nothing: trackd's poses are absolute. Use {@link #setCalibration} to move them. */
    @Override
    public void setNominalPositionAndOrientation() {
    }

    /** Reads every sensor's pose and the buttons into the sensors, stamped with the time of the read. */
    @Override
    public synchronized void pollAndProcessInput() {
        int[] buttons = new int[buttonCount];
        for (int i = 0; i < buttonCount; i++) {
            buttons[i] = TrackdJNI.getButton(i);
        }
        Transform3D toApplication = calibration;
        for (int i = 0; i < sensors.length; i++) {
            TrackdJNI.getMatrix(matrix, i);
            long time = System.currentTimeMillis();
            for (int e = 0; e < elements.length; e++) {
                elements[e] = matrix[e];
            }
            read.set(elements);
            if (toApplication != null) {
                read.mul(toApplication, read);
            }
            sensors[i].setNextSensorRead(time, read, buttons);
        }
    }

    /** Does nothing: trackd is polled, never streamed. */
    @Override
    public void processStreamInput() {
    }

    /** Leaves trackd's segments attached: the library never detaches them, and other code may poll them. */
    @Override
    public void close() {
    }

    @Override
    public synchronized int getProcessingMode() {
        return processingMode;
    }

    /**
     * Chooses how Java 3D polls the device: {@link #DEMAND_DRIVEN} (the default), once per frame on
     * Java 3D's own thread, or {@link #NON_BLOCKING}, continuously on a thread of its own. A poll never
     * blocks, so {@link #BLOCKING} makes no sense for trackd and is refused.
     *
     * @throws IllegalArgumentException for any other mode
     */
    @Override
    public synchronized void setProcessingMode(int mode) {
        if (mode != DEMAND_DRIVEN && mode != NON_BLOCKING) {
            throw new IllegalArgumentException("TrackdInputDevice is polled: DEMAND_DRIVEN or NON_BLOCKING, not "
                    + mode);
        }
        processingMode = mode;
    }

    /** The number of sensors made by {@link #initialize()}; 0 before it or after it failed. */
    @Override
    public synchronized int getSensorCount() {
        return sensors.length;
    }

    @Override
    public synchronized Sensor getSensor(int index) {
        return sensors[index];
    }

    /** The number of valuators trackd announces; 0 when the controller segment is not attached. */
    public int getValuatorCount() {
        return TrackdJNI.getNumValuators();
    }

    /** A valuator's value as trackd stored it; 0.0 for a bad index (compare it with the count first). */
    public float getValuator(int valuator) {
        return TrackdJNI.getValuator(valuator);
    }

    /**
     * Sets the transform from tracker to application coordinates that every later read is multiplied
     * by (calibration x pose). Null or the identity leaves the poses exactly as trackd's.
     */
    public void setCalibration(Transform3D trackerToApplication) {
        if (trackerToApplication == null || isIdentity(trackerToApplication)) {
            calibration = null;
        } else {
            calibration = new Transform3D(trackerToApplication);
        }
    }

    /** The calibration in force: a copy, the identity when none is set. */
    public Transform3D getCalibration() {
        Transform3D current = calibration;
        return current == null ? new Transform3D() : new Transform3D(current);
    }

    /** Multiplying by the identity is skipped, not done: 1 x -0.0 + 0 x y would turn -0.0 into +0.0. */
    private static boolean isIdentity(Transform3D transform) {
        double[] m = new double[16];
        transform.get(m);
        for (int i = 0; i < 16; i++) {
            if (m[i] != (i % 5 == 0 ? 1.0 : 0.0)) {
                return false;
            }
        }
        return true;
    }
}
