import calvora.devicedriver.TrackdJNI;

/** A Java program run with the installed jar only: prints the status word and sensor 0's translation. */
public final class Consumer {
    private Consumer() {
    }

    public static void main(String[] args) {
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(Integer.parseInt(args[0]), Integer.parseInt(args[1]), status);
        float[] matrix = new float[TrackdJNI.MATRIX_LENGTH];
        TrackdJNI.getMatrix(matrix, 0);
        System.out.println("status " + status[0] + ", sensor 0 at " + matrix[3] + " " + matrix[7] + " " + matrix[11]);
        System.exit(status[0]);
    }
}
