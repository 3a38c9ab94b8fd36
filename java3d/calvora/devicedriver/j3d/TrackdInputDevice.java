package calvora.devicedriver.j3d;

import calvora.devicedriver.TrackdJNI;
import calvora.devicedriver.room.Installation;
import java.io.IOException;
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
 * <p>For head-coupled perspective use {@link HeadTracking#enable}, which also tells Java 3D where the
 * screen is; for a hand, {@link SensorFollower}. Java 3D's configuration files create the device by
 * name, {@code (NewDevice trackd calvora.devicedriver.j3d.TrackdInputDevice)}, and set it with
 * {@code DeviceProperty}: {@link #TrackerKey}, {@link #ControllerKey}, {@link #ProcessingMode},
 * {@link #UnitInMetres} and {@link #Installation}.
 *
 * <p>The poses are {@link TrackdJNI#getMatrix}'s column-vector matrices, which {@link Transform3D} takes
 * element for element; the device adds no arithmetic of its own, except for an optional
 * {@linkplain #setCalibration calibration} from tracker to application coordinates and an optional
 * {@linkplain #setUnitInMetres unit}, which scales the positions into Java 3D's metres. With an
 * {@linkplain #setInstallation installation} instead, the poses are the sensors' poses in the room, as the
 * room library computes them from the file's unit, origin and axes: Java 3D's tracker base is then the
 * room, in metres.
 *
 * <p>When trackd announces fewer sensors than the device made, the missing ones keep their own last
 * pose until they return; the change is said once on standard error. Buttons alike.
 *
 * <p>The bridge holds one pair of segments for the whole process. Devices for the same keys share it;
 * a device for other keys is refused at {@code initialize()} while one is initialised, until that one
 * is {@linkplain #close() closed}. Code that calls {@link TrackdJNI#init_trackd_c} itself with other keys
 * moves every device to them.
 */
public final class TrackdInputDevice implements InputDevice {
    /** The tools' default key of trackd's tracker segment. */
    public static final int DEFAULT_TRACKER_KEY = TrackdJNI.DEFAULT_TRACKER_KEY;
    /** The tools' default key of trackd's controller segment. */
    public static final int DEFAULT_CONTROLLER_KEY = TrackdJNI.DEFAULT_CONTROLLER_KEY;
    /** System property read by {@link #TrackdInputDevice()} for the tracker segment's key. */
    public static final String TRACKER_KEY_PROPERTY = "calvora.devicedriver.j3d.trackerKey";
    /** System property read by {@link #TrackdInputDevice()} for the controller segment's key. */
    public static final String CONTROLLER_KEY_PROPERTY = "calvora.devicedriver.j3d.controllerKey";
    /** The most sensors a device makes, whatever the header announces: trackd's counts come unchecked. */
    public static final int MAX_SENSORS = 64;
    /** The most buttons a sensor carries. */
    public static final int MAX_BUTTONS = 64;

    private static final Sensor[] NO_SENSORS = new Sensor[0];
    /** Element 15 of every matrix the bridge writes; the bridge leaves the array alone when it cannot. */
    private static final int LAST_ELEMENT = 15;

    /** The keys the bridge's process-wide attachments serve, and how many initialised devices use them. */
    private static final Object ATTACHMENT = new Object();
    private static int attachedTrackerKey;
    private static int attachedControllerKey;
    private static int attachedDevices;
    private static boolean attachedController;

    private int trackerKey;
    private int controllerKey;
    private boolean initialized;
    private boolean controllerAttached;
    private int processingMode = DEMAND_DRIVEN;
    private Sensor[] sensors = NO_SENSORS;
    private int[] buttons = new int[0];
    private int announcedSensors;
    private int announcedButtons;
    private final float[] matrix = new float[TrackdJNI.MATRIX_LENGTH];
    private final double[] elements = new double[TrackdJNI.MATRIX_LENGTH];
    private final Transform3D read = new Transform3D();
    private volatile Transform3D calibration;
    private volatile double unitInMetres = 1.0;
    private volatile Installation installation;
    private final double[] roomPose = new double[Installation.MATRIX_LENGTH];

    /**
     * A device for trackd's segments under the keys named by the system properties
     * {@value #TRACKER_KEY_PROPERTY} and {@value #CONTROLLER_KEY_PROPERTY}, by default the tools' 7401 and
     * 7402. Java 3D's configuration files make devices with this constructor.
     *
     * @throws IllegalArgumentException when a property holds no key
     */
    public TrackdInputDevice() {
        this(keyProperty(TRACKER_KEY_PROPERTY, DEFAULT_TRACKER_KEY),
                keyProperty(CONTROLLER_KEY_PROPERTY, DEFAULT_CONTROLLER_KEY));
    }

    /** A device for trackd's segments under the given System V keys. */
    public TrackdInputDevice(int trackerKey, int controllerKey) {
        this.trackerKey = trackerKey;
        this.controllerKey = controllerKey;
    }

    /** The key of the tracker segment the device reads. */
    public synchronized int getTrackerKey() {
        return trackerKey;
    }

    /** The key of the controller segment the device reads. */
    public synchronized int getControllerKey() {
        return controllerKey;
    }

    /**
     * Attaches trackd's segments and makes the sensors. Returns false, after a message on standard
     * error, when the tracker segment cannot be attached; a missing controller segment only means that
     * the sensors carry no buttons. A device already initialised returns true and keeps its sensors.
     *
     * @throws IllegalStateException when another initialised device reads other keys: the bridge serves
     *     one pair of segments per process
     */
    @Override
    public synchronized boolean initialize() {
        if (initialized) {
            return true;
        }
        synchronized (ATTACHMENT) {
            if (attachedDevices > 0) {
                if (attachedTrackerKey != trackerKey || attachedControllerKey != controllerKey) {
                    throw new IllegalStateException(String.format("TrackdInputDevice: refused for keys %d and %d:"
                            + " another TrackdInputDevice of this process reads trackd's segments under keys %d and %d,"
                            + " and the bridge serves one pair of segments per process; close() that device first",
                            trackerKey, controllerKey, attachedTrackerKey, attachedControllerKey));
                }
            } else {
                // A failed attach empties the bridge's handles: only ever done while no device reads them.
                int[] status = new int[1];
                TrackdJNI.init_trackd_c(trackerKey, controllerKey, status);
                if ((status[0] & TrackdJNI.TRACKER_FAILED) != 0) {
                    System.err.printf("TrackdInputDevice: trackd's tracker segment under key 0x%08x (%d) cannot be"
                            + " attached; is trackd running?%n", trackerKey, trackerKey);
                    sensors = NO_SENSORS;
                    return false;
                }
                attachedTrackerKey = trackerKey;
                attachedControllerKey = controllerKey;
                attachedController = (status[0] & TrackdJNI.CONTROLLER_FAILED) == 0;
            }
            attachedDevices++;
            controllerAttached = attachedController;
        }
        // An unattached segment's queries each write an error line: the controller's are not made then.
        announcedButtons = controllerAttached ? TrackdJNI.getNumButtons() : 0;
        announcedSensors = TrackdJNI.getNumSensors();
        buttons = new int[Math.max(0, Math.min(MAX_BUTTONS, announcedButtons))];
        Sensor[] made = new Sensor[Math.max(0, Math.min(MAX_SENSORS, announcedSensors))];
        for (int i = 0; i < made.length; i++) {
            made[i] = new Sensor(this, Sensor.DEFAULT_SENSOR_READ_COUNT, buttons.length);
        }
        sensors = made;
        initialized = true;
        return true;
    }

    /** Does nothing: trackd's poses are absolute. Use {@link #setCalibration} to move them. */
    @Override
    public void setNominalPositionAndOrientation() {
    }

    /**
     * Reads every sensor's pose and the buttons into the sensors, stamped with the time of the read. A
     * sensor or button that trackd no longer announces keeps its last value; nothing is read before
     * {@link #initialize()} or after {@link #close()}.
     */
    @Override
    public synchronized void pollAndProcessInput() {
        if (!initialized) {
            return;
        }
        int buttonsNow = controllerAttached ? TrackdJNI.getNumButtons() : 0;
        if (buttonsNow != announcedButtons) {
            announce("button", "buttons", announcedButtons = buttonsNow, buttons.length);
        }
        for (int i = 0; i < Math.min(buttons.length, buttonsNow); i++) {
            buttons[i] = TrackdJNI.getButton(i);
        }
        int sensorsNow = TrackdJNI.getNumSensors();
        if (sensorsNow != announcedSensors) {
            announce("sensor", "sensors", announcedSensors = sensorsNow, sensors.length);
        }
        Transform3D toApplication = calibration;
        double unit = unitInMetres;
        Installation room = installation;
        for (int i = 0; i < Math.min(sensors.length, sensorsNow); i++) {
            matrix[LAST_ELEMENT] = 0.0f;
            TrackdJNI.getMatrix(matrix, i);
            if (matrix[LAST_ELEMENT] != 1.0f) {
                continue;  // gone since the count was read: the sensor keeps its own last pose
            }
            long time = System.currentTimeMillis();
            if (room != null) {
                if (!inRoom(room)) {
                    continue;  // not finite: the sensor keeps its own last pose
                }
            } else {
                for (int e = 0; e < elements.length; e++) {
                    elements[e] = matrix[e];
                }
                read.set(elements);
                if (toApplication != null) {
                    read.mul(toApplication, read);
                }
                if (unit != 1.0) {
                    scaleTranslation(read, unit);
                }
            }
            sensors[i].setNextSensorRead(time, read, buttons);
        }
    }

    /** The matrix just read as a room pose, into {@code read}; false when the reader's matrix is not finite. */
    private boolean inRoom(Installation room) {
        try {
            room.roomPose(matrix, roomPose);
        } catch (IllegalArgumentException e) {
            return false;
        }
        // The room library's matrices are stored column after column, Transform3D's row after row.
        for (int row = 0; row < 4; row++) {
            for (int column = 0; column < 4; column++) {
                elements[row * 4 + column] = roomPose[column * 4 + row];
            }
        }
        read.set(elements);
        return true;
    }

    /** Says once, when trackd's count changes, which of the device's sensors or buttons it reads. */
    private static void announce(String singular, String plural, int announced, int made) {
        String what;
        if (announced >= made) {
            what = announced == made ? "all " + made + " are read again"
                    : "this device reads the " + made + " it made when initialised";
        } else {
            int first = Math.max(0, announced);
            what = made - first == 1 ? singular + " " + first + " keeps its last value"
                    : plural + " " + first + " to " + (made - 1) + " keep their last values";
            what += " until trackd announces them again";
        }
        System.err.printf("TrackdInputDevice: trackd now announces %d %s; %s%n", announced,
                announced == 1 ? singular : plural, what);
    }

    /** Does nothing: trackd is polled, never streamed. */
    @Override
    public void processStreamInput() {
    }

    /**
     * Stops reading: the sensors keep their last reads, and another device may then be initialised for
     * other keys. The segments stay attached: the library never detaches them, and other code may poll
     * them. A closed device can be initialised again.
     */
    @Override
    public synchronized void close() {
        if (!initialized) {
            return;
        }
        initialized = false;
        synchronized (ATTACHMENT) {
            attachedDevices--;
        }
    }

    @Override
    public synchronized int getProcessingMode() {
        return processingMode;
    }

    /**
     * Chooses how Java 3D polls the device: {@link #DEMAND_DRIVEN} (the default), whenever a sensor is
     * read, or {@link #NON_BLOCKING}, continuously on Java 3D's input thread. A poll never blocks, so
     * {@link #BLOCKING} makes no sense for trackd and is refused. Java 3D takes the mode when the device is
     * added to a physical environment.
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

    /**
     * One of the sensors made by {@link #initialize()}. Java 3D's configuration files ask for them by index:
     * {@code (NewSensor wand trackd 1)}.
     *
     * @throws IllegalArgumentException when the device has no sensor of that index, naming the index and
     *     how many sensors it has
     */
    @Override
    public synchronized Sensor getSensor(int index) {
        if (index < 0 || index >= sensors.length) {
            String has = sensors.length == 0 ? "none (it is not initialised, or trackd's tracker segment under key "
                    + trackerKey + " could not be attached)"
                    : sensors.length + " (0 to " + (sensors.length - 1) + ", as trackd's tracker segment announced"
                    + " when the device was initialised; a NewSensor command names one by its index)";
            throw new IllegalArgumentException("TrackdInputDevice has no sensor " + index + ": it has " + has);
        }
        return sensors[index];
    }

    /** The number of valuators trackd announces; 0 when the controller segment is not attached. */
    public synchronized int getValuatorCount() {
        return initialized && controllerAttached ? TrackdJNI.getNumValuators() : 0;
    }

    /** A valuator's value as trackd stored it; 0.0 for a bad index (compare it with the count first). */
    public synchronized float getValuator(int valuator) {
        return initialized && controllerAttached ? TrackdJNI.getValuator(valuator) : 0.0f;
    }

    /**
     * Sets the transform from tracker to application coordinates that every later read is multiplied
     * by (calibration x pose), in the tracker's unit. Null or the identity leaves the poses exactly as
     * trackd's.
     */
    public void setCalibration(Transform3D trackerToApplication) {
        if (trackerToApplication != null && !isIdentity(trackerToApplication)) {
            refuseWithInstallation("a calibration");
        }
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

    /**
     * Sets the length of the tracker's unit in metres (0.3048 for feet, 0.01 for centimetres): every later
     * read's position is multiplied by it, after the calibration, for Java 3D measures its physical world
     * in metres. 1, the default, leaves the poses exactly as trackd's.
     *
     * @throws IllegalArgumentException unless the unit is finite and positive
     * @throws IllegalStateException for a unit other than 1 while the device has an installation, which
     *     gives the unit itself
     */
    public void setUnitInMetres(double metres) {
        if (!(metres > 0 && metres < Double.POSITIVE_INFINITY)) {
            throw new IllegalArgumentException("UnitInMetres: " + metres + " is not a length in metres above 0");
        }
        if (metres != 1.0) {
            refuseWithInstallation("a unit");
        }
        unitInMetres = metres;
    }

    /**
     * Hands every later read as the sensor's pose in the room of the installation file: the tracker's
     * unit, origin and axes from the file applied by the room library, so that the poses are those that
     * {@link Installation#roomPose} gives every other program, in metres. Java 3D's tracker base is then
     * the room: {@code TrackerBaseToImagePlate} takes room coordinates, and {@link HeadTracking#enable(
     * javax.media.j3d.View, TrackdInputDevice, Installation, String...)} sets it so. Null goes back to
     * trackd's poses. The installation must stay open while the device reads.
     *
     * @throws IllegalStateException when a calibration or a unit other than 1 is set: the file gives both
     */
    public void setInstallation(Installation room) {
        synchronized (this) {
            if (room != null && (calibration != null || unitInMetres != 1.0)) {
                throw new IllegalStateException("Installation: the device has " + (calibration != null
                        ? "a calibration" : "a unit of " + unitInMetres + " m") + " already, and the installation "
                        + room.path() + " gives both: set one or the other");
            }
            installation = room;
        }
    }

    /** The installation whose room the poses are in, or null when they are trackd's. */
    public Installation getInstallation() {
        return installation;
    }

    private void refuseWithInstallation(String what) {
        Installation room = installation;
        if (room != null) {
            throw new IllegalStateException("TrackdInputDevice: " + what + " is refused: the device takes the"
                    + " tracker's unit and calibration from the installation " + room.path());
        }
    }

    /** The length of the tracker's unit in metres; 1 unless {@link #setUnitInMetres} changed it. */
    public double getUnitInMetres() {
        return unitInMetres;
    }

    /**
     * Java 3D configuration files: {@code (DeviceProperty trackd TrackerKey 7401)}, the tracker segment's
     * key as a number or a string such as {@code "0x1ce9"}. Set before the device is initialised.
     *
     * @throws IllegalArgumentException when the value is no key
     */
    public synchronized void TrackerKey(Object[] args) {
        int key = keyArgument("TrackerKey", args);
        requireUninitialized("TrackerKey");
        trackerKey = key;
    }

    /**
     * Java 3D configuration files: {@code (DeviceProperty trackd ControllerKey 7402)}, the controller
     * segment's key as a number or a string such as {@code "0x1cea"}. Set before the device is initialised.
     *
     * @throws IllegalArgumentException when the value is no key
     */
    public synchronized void ControllerKey(Object[] args) {
        int key = keyArgument("ControllerKey", args);
        requireUninitialized("ControllerKey");
        controllerKey = key;
    }

    /**
     * Java 3D configuration files: {@code (DeviceProperty trackd ProcessingMode NON_BLOCKING)} or
     * {@code DEMAND_DRIVEN}; see {@link #setProcessingMode}.
     *
     * @throws IllegalArgumentException for any other value
     */
    public void ProcessingMode(Object[] args) {
        Object value = single("ProcessingMode", args);
        if ("DEMAND_DRIVEN".equals(value)) {
            setProcessingMode(DEMAND_DRIVEN);
        } else if ("NON_BLOCKING".equals(value)) {
            setProcessingMode(NON_BLOCKING);
        } else {
            throw new IllegalArgumentException("ProcessingMode: " + describe(value) + " is not DEMAND_DRIVEN or"
                    + " NON_BLOCKING (trackd is polled, so BLOCKING makes no sense)");
        }
    }

    /**
     * Java 3D configuration files: {@code (DeviceProperty trackd UnitInMetres 0.3048)}, the length of the
     * tracker's unit in metres; see {@link #setUnitInMetres}.
     *
     * @throws IllegalArgumentException unless the value is a number above 0
     */
    public void UnitInMetres(Object[] args) {
        Object value = single("UnitInMetres", args);
        if (!(value instanceof Double)) {
            throw new IllegalArgumentException("UnitInMetres: " + describe(value) + " is not a length in metres");
        }
        setUnitInMetres((Double) value);
    }

    /**
     * Java 3D configuration files: {@code (DeviceProperty trackd Installation "/etc/zoravovar/installation.toml")},
     * the installation file whose unit and calibration the device applies; see {@link #setInstallation}. The
     * file stays loaded as long as the device.
     *
     * @throws IllegalArgumentException when the value is no path, or the file cannot be read or has a mistake,
     *     with the room library's {@code FILE:LINE:} message
     */
    public void Installation(Object[] args) {
        Object value = single("Installation", args);
        if (!(value instanceof String)) {
            throw new IllegalArgumentException("Installation: " + describe(value) + " is not a file's path (give it"
                    + " in double quotes)");
        }
        Installation room;
        try {
            room = Installation.load((String) value);
        } catch (IOException | IllegalArgumentException e) {
            throw new IllegalArgumentException("Installation: " + e.getMessage(), e);
        }
        try {
            setInstallation(room);
        } catch (IllegalStateException e) {
            room.close();
            throw e;
        }
    }

    private void requireUninitialized(String property) {
        if (initialized) {
            throw new IllegalStateException(property + ": the device is initialised already; set its keys before");
        }
    }

    private static Object single(String property, Object[] args) {
        if (args == null || args.length != 1) {
            throw new IllegalArgumentException(property + " takes one value, not " + (args == null ? 0 : args.length));
        }
        return args[0];
    }

    private static String describe(Object value) {
        return value instanceof String ? "\"" + value + "\"" : String.valueOf(value);
    }

    /** A System V key: any 32-bit pattern, written signed or unsigned. */
    private static int keyArgument(String property, Object[] args) {
        Object value = single(property, args);
        long key;
        if (value instanceof Double) {
            double number = (Double) value;
            key = (long) number;
            if (key != number) {
                throw new IllegalArgumentException(property + ": " + value + " is not a System V key (an integer)");
            }
        } else if (value instanceof String) {
            try {
                key = Long.decode(((String) value).trim());
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException(property + ": " + describe(value) + " is not a System V key", e);
            }
        } else {
            throw new IllegalArgumentException(property + ": " + describe(value) + " is not a System V key");
        }
        if (key < Integer.MIN_VALUE || key > 0xFFFFFFFFL) {
            throw new IllegalArgumentException(property + ": " + describe(value) + " does not fit a 32-bit key");
        }
        return (int) key;
    }

    private static int keyProperty(String property, int fallback) {
        String value = System.getProperty(property);
        return value == null ? fallback : keyArgument(property, new Object[] {value});
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

    private void scaleTranslation(Transform3D transform, double unit) {
        transform.get(elements);
        elements[3] *= unit;
        elements[7] *= unit;
        elements[11] *= unit;
        transform.set(elements);
    }
}
