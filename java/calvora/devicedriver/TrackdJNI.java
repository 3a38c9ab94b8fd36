package calvora.devicedriver;

/**
 * Live data of a trackd tracking daemon, read from its two System V shared-memory segments through the
 * native library {@code libZoravoVAR.so}.
 *
 * <p>Call {@link #init_trackd_c} once with the keys of trackd's tracker and controller segments, check
 * the status word, then poll as often as needed, from any thread: every call reads the segment at that
 * moment. No method throws; problems are reported on standard error in lines beginning "ERROR".
 *
 * <p>The library is loaded with {@code System.loadLibrary("ZoravoVAR")}, which searches
 * {@code java.library.path}. To load a particular file instead, set the system property
 * {@value #LIBRARY_PROPERTY} to its absolute path.
 */
public final class TrackdJNI {
    /** System property that names the library file to load instead of searching the library path. */
    public static final String LIBRARY_PROPERTY = "calvora.devicedriver.library";

    /** Bit of the status word set when the tracker segment could not be attached. */
    public static final int TRACKER_FAILED = 1;

    /** Bit of the status word set when the controller segment could not be attached. */
    public static final int CONTROLLER_FAILED = 2;

    /** Number of elements {@link #getMatrix} fills. */
    public static final int MATRIX_LENGTH = 16;

    /** The System V key of trackd's tracker segment that the tools and examples use unless told: 0x00001ce9. */
    public static final int DEFAULT_TRACKER_KEY = 7401;

    /** The System V key of trackd's controller segment that the tools and examples use unless told: 0x00001cea. */
    public static final int DEFAULT_CONTROLLER_KEY = 7402;

    static {
        String file = System.getProperty(LIBRARY_PROPERTY);
        try {
            if (file != null) {
                System.load(file);
            } else {
                System.loadLibrary("ZoravoVAR");
            }
        } catch (UnsatisfiedLinkError e) {
            String where = file != null
                    ? "the file " + file + " named by " + LIBRARY_PROPERTY
                    : "java.library.path=" + System.getProperty("java.library.path");
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(
                    "cannot load libZoravoVAR.so from " + where + " (" + e.getMessage() + ")");
            error.initCause(e);
            throw error;
        }
    }

    private TrackdJNI() {
    }

    /**
     * Attaches trackd's tracker and controller segments. Both are always attempted, the tracker first,
     * and a later call replaces both attachments.
     *
     * @param trackerKey System V key of the tracker segment
     * @param controllerKey System V key of the controller segment
     * @param status its element 0 receives the status word: 0 when both segments are attached, plus
     *     {@link #TRACKER_FAILED} and/or {@link #CONTROLLER_FAILED} for each that could not be; the
     *     other elements are left alone
     */
    public static native void init_trackd_c(int trackerKey, int controllerKey, int[] status);

    /** Returns the number of sensors trackd announces, or 0 when the tracker segment is not attached. */
    public static native int getNumSensors();

    /**
     * Fills elements 0 to 15 of {@code matrix} with the sensor's pose in column-vector form, row after
     * row: the rotation in the upper-left 3x3 block, the translation in elements 3, 7 and 11, elements
     * 12 to 14 zero and element 15 one. Elements from 16 on are left alone. With a bad sensor index, an
     * unattached tracker segment or an array shorter than 16 the array is left as it was.
     *
     * @param matrix at least {@link #MATRIX_LENGTH} elements
     * @param sensor index from 0 to {@link #getNumSensors()} - 1
     */
    public static native void getMatrix(float[] matrix, int sensor);

    /** Returns the number of buttons trackd announces, or 0 when the controller segment is not attached. */
    public static native int getNumButtons();

    /**
     * Returns the button's value as trackd stored it (not reduced to 0 or 1); 0 for a bad index, which
     * cannot be told from a released button: compare the index with {@link #getNumButtons()} first.
     */
    public static native int getButton(int button);

    /** Returns the number of valuators trackd announces, or 0 when the controller segment is not attached. */
    public static native int getNumValuators();

    /**
     * Returns the valuator's value unchanged; 0.0 for a bad index, which cannot be told from a centred
     * valuator: compare the index with {@link #getNumValuators()} first.
     */
    public static native float getValuator(int valuator);
}
