package calvora.devicedriver.room;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;

/**
 * The installation file (the tracker's calibration, the sensors, the screens) and the room's math, for
 * programs without Java 3D: sensor poses, eye positions and each screen's view and off-axis projection
 * matrices, each computed by the native library {@code libZoravoVARRoom.so} that every face of ZoravoVAR
 * calls, so that they agree to the bit.
 *
 * <p>Conventions. The reader's matrix a method takes is the 16 floats exactly as
 * {@link calvora.devicedriver.TrackdJNI#getMatrix} fills them (the pose in column-vector form, row after
 * row, translation in elements 3, 7 and 11, in the tracker's unit and frame). Every matrix this class gives
 * is a {@code double[16]} acting on column vectors, stored column after column (element
 * {@code [column * 4 + row]}), as OpenGL, JOGL's {@code glUniformMatrix4dv}/{@code glLoadMatrixd} and
 * LWJGL take it with transpose false: {@code clip = projection * view * (x, y, z, 1)}, clip z from -1 to 1.
 * Room coordinates are metres, right-handed, Y up. Output arrays must hold at least 16 (or 3) elements;
 * only the first 16 (or 3) are written, and nothing is written when a method throws.
 *
 * <p>The native part is loaded with {@code System.loadLibrary("ZoravoVARRoomJNI")}, or from the file the
 * system property {@value #LIBRARY_PROPERTY} names. Any thread may query an installation at the same time
 * as another; {@link #close} frees the native room once running queries are done, and every query after it
 * throws {@link IllegalStateException}.
 */
public final class Installation implements AutoCloseable {
    /** System property that names the native library's file to load instead of searching the library path. */
    public static final String LIBRARY_PROPERTY = "calvora.devicedriver.room.library";

    /** Number of elements of a matrix. */
    public static final int MATRIX_LENGTH = 16;

    private static final int SCREEN_NAMES = 0;
    private static final int SENSOR_NAMES = 1;
    private static final int SENSOR_ROLES = 2;

    static {
        String file = System.getProperty(LIBRARY_PROPERTY);
        try {
            if (file != null) {
                System.load(file);
            } else {
                System.loadLibrary("ZoravoVARRoomJNI");
            }
        } catch (UnsatisfiedLinkError e) {
            String where = file != null
                    ? "the file " + file + " named by " + LIBRARY_PROPERTY
                    : "java.library.path=" + System.getProperty("java.library.path");
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(
                    "cannot load libZoravoVARRoomJNI.so from " + where + " (" + e.getMessage() + ")");
            error.initCause(e);
            throw error;
        }
    }

    private final String path;
    private final List<String> screenNames;
    private final List<String> sensorNames;
    private final List<String> sensorRoles;
    private final List<Integer> sensorIndices;
    private long room; // the native room; 0 once closed. Guarded by this.

    private Installation(String path, long room) {
        this.path = path;
        this.room = room;
        this.screenNames = names(room, SCREEN_NAMES);
        this.sensorNames = names(room, SENSOR_NAMES);
        this.sensorRoles = names(room, SENSOR_ROLES);
        List<Integer> indices = new ArrayList<>();
        for (int index : indices(room)) {
            indices.add(index);
        }
        this.sensorIndices = Collections.unmodifiableList(indices);
    }

    private static List<String> names(long room, int which) {
        return Collections.unmodifiableList(Arrays.asList(strings(room, which)));
    }

    /**
     * Loads an installation file.
     *
     * @param path the file; null for the lookup order: {@code $ZORAVOVAR_INSTALLATION} when set and not
     *     empty, else {@code /etc/zoravovar/installation.toml}
     * @return the installation, to be closed
     * @throws FileNotFoundException when the file cannot be opened
     * @throws IOException when it cannot be read
     * @throws IllegalArgumentException for a mistake in the file, with the library's message
     *     {@code "FILE:LINE: field: what is wrong"}, or an empty path or one holding a NUL
     */
    public static Installation load(String path) throws IOException {
        if (path != null && (path.isEmpty() || path.indexOf('\0') >= 0)) {
            throw new IllegalArgumentException("the installation file's path is empty or holds a NUL");
        }
        String[] resolved = new String[1];
        long room = open(path == null ? null : path.getBytes(StandardCharsets.UTF_8), resolved);
        try {
            return new Installation(resolved[0], room);
        } catch (RuntimeException | Error e) { // out of memory for the names: the native room is not lost
            free(room);
            throw e;
        }
    }

    /** Returns the file that was loaded, after the lookup. */
    public String path() {
        return path;
    }

    /** Returns the screens' names in the file's order (unmodifiable): a screen's number is its place here. */
    public List<String> screenNames() {
        return screenNames;
    }

    /** Returns the sensors' names in the file's order (unmodifiable). */
    public List<String> sensorNames() {
        return sensorNames;
    }

    /** Returns each sensor's role in the file's order (unmodifiable): "head", "wand" or "other". */
    public List<String> sensorRoles() {
        return sensorRoles;
    }

    /**
     * Returns each sensor's tracker index in the file's order (unmodifiable): the index
     * {@link calvora.devicedriver.TrackdJNI#getMatrix} takes for it.
     */
    public List<Integer> sensorIndices() {
        return sensorIndices;
    }

    /**
     * Returns the tracker index of the sensor at {@code sensor} in the file's order (the index
     * {@link calvora.devicedriver.TrackdJNI#getMatrix} takes).
     *
     * @throws IndexOutOfBoundsException for a number out of range
     */
    public int sensorIndex(int sensor) {
        if (sensor < 0 || sensor >= sensorIndices.size()) {
            throw new IndexOutOfBoundsException("sensor " + sensor + " is out of range: " + path + " has "
                    + sensorIndices.size() + " sensors");
        }
        return sensorIndices.get(sensor);
    }

    /**
     * Writes a point a sensor carries, in the sensor's own frame, in metres, as the file gives it.
     *
     * @param sensor the sensor's number in {@link #sensorNames()}
     * @param point a head's "left", "right" or "centre" eye, or a wand's "tip"
     * @param offset receives x, y, z; null for a new array
     * @return {@code offset}, or the new array
     * @throws IndexOutOfBoundsException for a sensor number out of range
     * @throws IllegalArgumentException for another point, or one the sensor's role lacks
     */
    public double[] sensorOffset(int sensor, String point, double[] offset) {
        if (sensor < 0 || sensor >= sensorNames.size()) {
            throw new IndexOutOfBoundsException("sensor " + sensor + " is out of range: " + path + " has "
                    + sensorNames.size() + " sensors");
        }
        if (!"tip".equals(point) && !"left".equals(point) && !"right".equals(point) && !"centre".equals(point)) {
            throw new IllegalArgumentException("point is \"" + point + "\": it is \"left\", \"right\", \"centre\" or"
                    + " \"tip\"");
        }
        int which = "tip".equals(point) ? 4 : eyePoint(point);
        double[] out = offset != null ? checkLength(offset, "offset", 3) : new double[3];
        synchronized (this) {
            if (!offset(live(), sensor, which, out)) {
                throw new IllegalArgumentException("sensor \"" + sensorNames.get(sensor) + "\" of role \""
                        + sensorRoles.get(sensor) + "\" has no point \"" + point + "\"");
            }
        }
        return out;
    }

    /**
     * Writes a screen's lower-left, lower-right and upper-left corners in the room, in metres, as the file
     * gives them: 9 doubles, x, y, z of each corner in turn.
     *
     * @param screen the screen's number in {@link #screenNames()}
     * @param corners receives the 9 doubles; null for a new array
     * @return {@code corners}, or the new array
     * @throws IndexOutOfBoundsException for a screen number out of range
     */
    public double[] screenCorners(int screen, double[] corners) {
        checkScreen(screen);
        double[] out = corners != null ? checkLength(corners, "corners", 9) : new double[9];
        synchronized (this) {
            corners(live(), screen, out);
        }
        return out;
    }

    /**
     * Returns the number of the screen named {@code name}.
     *
     * @throws IllegalArgumentException when no screen has the name
     */
    public int screen(String name) {
        int number = screenNames.indexOf(name);
        if (number < 0) {
            throw new IllegalArgumentException("no screen is named \"" + name + "\" in " + path);
        }
        return number;
    }

    /**
     * Writes the room pose for a sensor's reader matrix: the column-vector rigid transform from the sensor's
     * own frame, in metres, to the room.
     *
     * @param reader the 16 floats as {@link calvora.devicedriver.TrackdJNI#getMatrix} fills them
     * @param pose receives the pose, column after column; null for a new array
     * @return {@code pose}, or the new array
     * @throws IllegalArgumentException when {@code reader} holds an element that is not finite
     */
    public double[] roomPose(float[] reader, double[] pose) {
        checkLength(reader, "reader");
        double[] out = pose != null ? checkLength(pose, "pose", MATRIX_LENGTH) : new double[MATRIX_LENGTH];
        synchronized (this) {
            if (!pose(live(), reader, out)) {
                throw new IllegalArgumentException("the reader matrix holds an element that is not finite");
            }
        }
        return out;
    }

    /**
     * Writes where an eye lies in the room, in metres, for the head's reader matrix; the head is the file's
     * first sensor of role "head".
     *
     * @param eye "left", "right" or "centre" (the midpoint of the eyes)
     * @param head the head's 16 floats as {@link calvora.devicedriver.TrackdJNI#getMatrix} fills them
     * @param position receives x, y, z; null for a new array
     * @return {@code position}, or the new array
     * @throws IllegalArgumentException for another eye, a file without a head or a matrix that is not finite
     */
    public double[] eyePosition(String eye, float[] head, double[] position) {
        int point = eyePoint(eye);
        checkLength(head, "head");
        double[] out = position != null ? checkLength(position, "position", 3) : new double[3];
        synchronized (this) {
            int done = eye(live(), point, head, out);
            if (done < 0) {
                throw new IllegalArgumentException(path + " names no sensor of role \"head\"");
            } else if (done == 0) {
                throw new IllegalArgumentException("the head matrix holds an element that is not finite");
            }
        }
        return out;
    }

    /**
     * Writes the view and off-axis projection matrices for an eye looking at a screen, as the generalized
     * perspective projection makes them: the screen's corners land on clip (-1, -1), (1, -1) and (-1, 1).
     *
     * @param screen the screen's number in {@link #screenNames()}
     * @param eye the eye's x, y, z in the room, in metres
     * @param near the near plane's distance from the eye along the screen's normal, metres, above 0
     * @param far the far plane's distance, beyond {@code near}
     * @param view receives the view matrix, column after column
     * @param projection receives the projection matrix, column after column
     * @throws IndexOutOfBoundsException for a screen number out of range
     * @throws IllegalArgumentException for a non-finite eye, {@code near <= 0}, {@code far <= near} or an
     *     eye on or behind the screen's plane
     */
    public void viewProjection(int screen, double[] eye, double near, double far, double[] view,
            double[] projection) {
        checkScreen(screen);
        checkLength(eye, "eye", 3);
        checkLength(view, "view", MATRIX_LENGTH);
        checkLength(projection, "projection", MATRIX_LENGTH);
        synchronized (this) {
            if (matrices(live(), screen, eye, near, far, view, projection)) {
                return;
            }
        }
        String at = "the eye (" + eye[0] + ", " + eye[1] + ", " + eye[2] + ")";
        if (!Double.isFinite(eye[0]) || !Double.isFinite(eye[1]) || !Double.isFinite(eye[2])) {
            throw new IllegalArgumentException(at + " is not finite");
        } else if (!Double.isFinite(near) || !(near > 0)) {
            throw new IllegalArgumentException("near is not a positive distance");
        } else if (!Double.isFinite(far) || !(far > near)) {
            throw new IllegalArgumentException("far is not beyond near");
        }
        throw new IllegalArgumentException(at + " lies on or behind screen \"" + screenNames.get(screen)
                + "\"'s plane, or the matrices are not finite");
    }

    /** As {@link #viewProjection(int, double[], double, double, double[], double[])}, the screen by name. */
    public void viewProjection(String screen, double[] eye, double near, double far, double[] view,
            double[] projection) {
        viewProjection(screen(screen), eye, near, far, view, projection);
    }

    /** Frees the native room; later queries throw {@link IllegalStateException}. A second call does nothing. */
    @Override
    public synchronized void close() {
        if (room != 0) {
            free(room);
            room = 0;
        }
    }

    @Override
    public String toString() {
        return "Installation " + path + ": " + sensorNames.size() + " sensors, " + screenNames.size() + " screens";
    }

    private static int eyePoint(String eye) {
        if ("left".equals(eye)) {
            return 1;
        } else if ("right".equals(eye)) {
            return 2;
        } else if ("centre".equals(eye)) {
            return 3;
        }
        throw new IllegalArgumentException("eye is \"" + eye + "\": it is \"left\", \"right\" or \"centre\"");
    }

    private void checkScreen(int screen) {
        if (screen < 0 || screen >= screenNames.size()) {
            throw new IndexOutOfBoundsException("screen " + screen + " is out of range: " + path + " has "
                    + screenNames.size() + " screens");
        }
    }

    private long live() {
        if (room == 0) {
            throw new IllegalStateException("the installation " + path + " is closed");
        }
        return room;
    }

    private static void checkLength(float[] matrix, String name) {
        if (matrix == null) {
            throw new NullPointerException(name);
        }
        if (matrix.length < MATRIX_LENGTH) {
            throw new IllegalArgumentException(name + " holds " + matrix.length + " elements, not 16");
        }
    }

    private static double[] checkLength(double[] array, String name, int length) {
        if (array == null) {
            throw new NullPointerException(name);
        }
        if (array.length < length) {
            throw new IllegalArgumentException(name + " holds " + array.length + " elements, not " + length);
        }
        return array;
    }

    // The natives take arrays already checked for null and length; they write an output only on success.
    private static native long open(byte[] path, String[] resolved) throws IOException;

    private static native void free(long room);

    private static native String[] strings(long room, int which);

    private static native int[] indices(long room);

    private static native boolean offset(long room, int sensor, int point, double[] offset);

    private static native boolean corners(long room, int screen, double[] corners);

    private static native boolean pose(long room, float[] reader, double[] pose);

    private static native int eye(long room, int point, float[] head, double[] position);

    private static native boolean matrices(long room, int screen, double[] eye, double near, double far,
            double[] view, double[] projection);
}
