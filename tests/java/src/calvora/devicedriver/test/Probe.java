package calvora.devicedriver.test;

import calvora.devicedriver.TrackdJNI;
import java.util.Arrays;

/** Runs one scenario against TrackdJNI in a fresh virtual machine and prints what it saw, a line a result. */
public final class Probe {
    private Probe() {
    }

    public static void main(String[] args) {
        switch (args[0]) {
            case "init" -> {
                int[] status = {7, 8, 9};
                TrackdJNI.init_trackd_c(Integer.parseInt(args[1]), Integer.parseInt(args[2]), status);
                System.out.println("status " + Arrays.toString(status));
            }
            case "unattached" -> {
                if (args.length > 1) {
                    TrackdJNI.init_trackd_c(Integer.parseInt(args[1]), Integer.parseInt(args[1]), new int[1]);
                }
                printPolls(0);
            }
            case "bad-arrays" -> {
                int trackerKey = Integer.parseInt(args[1]);
                int controllerKey = Integer.parseInt(args[2]);
                TrackdJNI.init_trackd_c(trackerKey, controllerKey, null);
                System.out.println("after null status: sensors " + TrackdJNI.getNumSensors() + " buttons "
                        + TrackdJNI.getNumButtons());
                TrackdJNI.init_trackd_c(trackerKey, controllerKey, new int[0]);
                System.out.println("after empty status: sensors " + TrackdJNI.getNumSensors() + " buttons "
                        + TrackdJNI.getNumButtons());
                TrackdJNI.getMatrix(null, 0);
                float[] shortMatrix = new float[15];
                Arrays.fill(shortMatrix, 5);
                TrackdJNI.getMatrix(shortMatrix, 0);
                System.out.println("short matrix " + Arrays.toString(shortMatrix));
            }
            case "poll" -> {
                int[] status = new int[1];
                TrackdJNI.init_trackd_c(Integer.parseInt(args[1]), Integer.parseInt(args[2]), status);
                System.out.println("status " + status[0]);
                printPolls(0);
            }
            case "reinit" -> {
                int times = Integer.parseInt(args[1]);
                int trackerKey = Integer.parseInt(args[2]);
                int[] status = new int[1];
                for (int i = 0; i < times; ++i) {
                    TrackdJNI.init_trackd_c(trackerKey, Integer.parseInt(args[3]), status);
                }
                System.out.println("status " + status[0]);
                printPolls(0);
                TrackdJNI.init_trackd_c(trackerKey, Integer.parseInt(args[4]), status);
                System.out.println("status " + status[0]);
                printPolls(0);
            }
            default -> throw new IllegalArgumentException("unknown scenario " + args[0]);
        }
    }

    static void printPolls(int sensor) {
        float[] matrix = new float[16];
        Arrays.fill(matrix, 5);
        TrackdJNI.getMatrix(matrix, sensor);
        System.out.println("sensors " + TrackdJNI.getNumSensors() + " buttons " + TrackdJNI.getNumButtons()
                + " valuators " + TrackdJNI.getNumValuators());
        System.out.println("button 0 " + TrackdJNI.getButton(0) + " valuator 0 " + TrackdJNI.getValuator(0));
        System.out.println("matrix " + Arrays.toString(matrix));
    }
}
