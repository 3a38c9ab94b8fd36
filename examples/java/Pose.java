import calvora.devicedriver.TrackdJNI;
import java.util.Locale;

/**
 * Prints a sensor's pose, the buttons and the valuators from trackd's segments. Build and run with the
 * installed jar: {@code javac -cp /usr/share/java/zoravovar.jar Pose.java} and
 * {@code java -cp /usr/share/java/zoravovar.jar:. Pose [TRACKER_KEY CONTROLLER_KEY [SENSOR]]}.
 */
public final class Pose {
    private Pose() {
    }

    public static void main(String[] args) {
        int trackerKey = args.length > 1 ? Integer.decode(args[0]) : TrackdJNI.DEFAULT_TRACKER_KEY;
        int controllerKey = args.length > 1 ? Integer.decode(args[1]) : TrackdJNI.DEFAULT_CONTROLLER_KEY;
        int sensor = args.length > 2 ? Integer.parseInt(args[2]) : 0;

        int[] status = new int[1];
        TrackdJNI.init_trackd_c(trackerKey, controllerKey, status);
        if (status[0] != 0) {
            System.exit(1); // TRACKER_FAILED and/or CONTROLLER_FAILED
        }
        System.out.printf(Locale.ROOT, "%d sensors, %d buttons, %d valuators%n", TrackdJNI.getNumSensors(),
                TrackdJNI.getNumButtons(), TrackdJNI.getNumValuators());

        // Column-vector form, row after row: the position is in elements 3, 7 and 11.
        float[] m = new float[TrackdJNI.MATRIX_LENGTH];
        TrackdJNI.getMatrix(m, sensor);
        System.out.printf(Locale.ROOT, "sensor %d: position %.3f %.3f %.3f%n", sensor, m[3], m[7], m[11]);
        for (int row = 0; row < 4; row++) {
            System.out.printf(Locale.ROOT, "matrix row %d: %9.5f %9.5f %9.5f %9.5f%n", row, m[4 * row],
                    m[4 * row + 1], m[4 * row + 2], m[4 * row + 3]);
        }

        StringBuilder line = new StringBuilder("buttons:");
        for (int i = 0; i < TrackdJNI.getNumButtons(); i++) {
            line.append(' ').append(TrackdJNI.getButton(i));
        }
        line.append("\nvaluators:");
        for (int i = 0; i < TrackdJNI.getNumValuators(); i++) {
            line.append(String.format(Locale.ROOT, " %.3f", TrackdJNI.getValuator(i)));
        }
        System.out.println(line);
    }
}
