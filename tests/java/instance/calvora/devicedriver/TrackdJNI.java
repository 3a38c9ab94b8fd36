package calvora.devicedriver;

import java.util.Arrays;

/** The same native methods declared as instance methods, to show the library serves either form. */
public final class TrackdJNI {
    static {
        System.loadLibrary("ZoravoVAR");
    }

    public native void init_trackd_c(int trackerKey, int controllerKey, int[] status);

    public native int getNumSensors();

    public native void getMatrix(float[] matrix, int sensor);

    public native int getNumButtons();

    public native int getButton(int button);

    public native int getNumValuators();

    public native float getValuator(int valuator);

    /** Prints what the "poll" scenario of the test Probe prints, through instance calls. */
    public static void main(String[] args) {
        TrackdJNI trackd = new TrackdJNI();
        int[] status = new int[1];
        trackd.init_trackd_c(Integer.parseInt(args[1]), Integer.parseInt(args[2]), status);
        System.out.println("status " + status[0]);
        float[] matrix = new float[16];
        Arrays.fill(matrix, 5);
        trackd.getMatrix(matrix, 0);
        System.out.println("sensors " + trackd.getNumSensors() + " buttons " + trackd.getNumButtons()
                + " valuators " + trackd.getNumValuators());
        System.out.println("button 0 " + trackd.getButton(0) + " valuator 0 " + trackd.getValuator(0));
        System.out.println("matrix " + Arrays.toString(matrix));
    }
}
