package calvora.devicedriver.test;

import calvora.devicedriver.TrackdJNI;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Polls every TrackdJNI method from several threads while trackd-sim rewrites both segments with
 * --pattern, checking that every value read is one the simulator wrote; then stops the simulator,
 * which removes the segments under the readers, and checks that polling still answers, frozen.
 *
 * <p>Arguments: TRACKD_SIM [SECONDS [THREADS [RATE]]]. Exits 0 when nothing was wrong.
 */
public final class StressMain {
    static final int SENSORS = 4;
    static final int BUTTONS = 8;
    static final int VALUATORS = 4;

    private StressMain() {
    }

    public static void main(String[] args) throws Exception {
        String sim = args[0];
        double seconds = args.length > 1 ? Double.parseDouble(args[1]) : 20;
        int threads = args.length > 2 ? Integer.parseInt(args[2]) : 4;
        String rate = args.length > 3 ? args[3] : "1000";
        int trackerKey = ThreadLocalRandom.current().nextInt(0x10000000, 0x70000000);
        int controllerKey = trackerKey + 1;
        Process simulator = new ProcessBuilder(sim, "--pattern", "--rate", rate, "--sensors", "" + SENSORS,
                "--buttons", "" + BUTTONS, "--valuators", "" + VALUATORS, "--tracker-key", "" + trackerKey,
                "--controller-key", "" + controllerKey).redirectErrorStream(true).start();
        BufferedReader banner = new BufferedReader(
                new InputStreamReader(simulator.getInputStream(), StandardCharsets.UTF_8));
        System.out.println(banner.readLine());

        int[] status = new int[1];
        TrackdJNI.init_trackd_c(trackerKey, controllerKey, status);
        if (status[0] != 0) {
            simulator.destroy();
            throw new IllegalStateException("status word " + status[0]);
        }
        AtomicLong polls = new AtomicLong();
        AtomicLong bad = new AtomicLong();
        runPollers(threads, (long) (seconds * 1e9), polls, bad);
        System.out.printf("live: %d polls on %d threads in %.1f s, %d bad values%n", polls.get(), threads, seconds,
                bad.get());

        simulator.destroy();
        int simulatorExit = simulator.waitFor();
        float[] before = snapshot();
        AtomicLong pollsAfter = new AtomicLong();
        runPollers(threads, 1_000_000_000L, pollsAfter, bad);
        boolean frozen = java.util.Arrays.equals(before, snapshot());
        System.out.printf("removed: trackd-sim exited %d; %d polls afterwards, frozen %b, %d bad values in all%n",
                simulatorExit, pollsAfter.get(), frozen, bad.get());
        System.exit(bad.get() == 0 && frozen && simulatorExit == 0 && pollsAfter.get() > 0 ? 0 : 1);
    }

    private static void runPollers(int threads, long nanos, AtomicLong polls, AtomicLong bad)
            throws InterruptedException {
        long end = System.nanoTime() + nanos;
        List<Thread> pollers = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            Thread poller = new Thread(() -> {
                float[] matrix = new float[16];
                long count = 0;
                long wrong = 0;
                while (System.nanoTime() < end) {
                    wrong += pollOnce(matrix);
                    count++;
                }
                polls.addAndGet(count);
                bad.addAndGet(wrong);
            });
            poller.setUncaughtExceptionHandler((thread, error) -> {
                error.printStackTrace();
                bad.incrementAndGet();
            });
            pollers.add(poller);
            poller.start();
        }
        for (Thread poller : pollers) {
            poller.join();
        }
    }

    /** One round of every method; returns how many values were not ones the simulator writes. */
    static int pollOnce(float[] matrix) {
        int wrong = 0;
        wrong += TrackdJNI.getNumSensors() != SENSORS ? 1 : 0;
        wrong += TrackdJNI.getNumButtons() != BUTTONS ? 1 : 0;
        wrong += TrackdJNI.getNumValuators() != VALUATORS ? 1 : 0;
        for (int s = 0; s < SENSORS; s++) {
            TrackdJNI.getMatrix(matrix, s);
            for (int c = 0; c < 3; c++) {
                wrong += plausible(matrix[3 + 4 * c], s, c) ? 0 : 1;
                double norm = 0;
                for (int k = 0; k < 3; k++) {
                    norm += (double) matrix[4 * c + k] * matrix[4 * c + k];
                }
                wrong += Math.abs(norm - 1) < 1e-5 ? 0 : 1;
            }
            wrong += matrix[12] == 0 && matrix[13] == 0 && matrix[14] == 0 && matrix[15] == 1 ? 0 : 1;
        }
        for (int b = 0; b < BUTTONS; b++) {
            int value = TrackdJNI.getButton(b);
            wrong += value / 1000 == b && value % 1000 < 100 ? 0 : 1;
        }
        for (int v = 0; v < VALUATORS; v++) {
            wrong += plausible(TrackdJNI.getValuator(v), v, 0) ? 0 : 1;
        }
        return wrong;
    }

    /** The simulator's values are 1000 * item + 100 * component + k, k below 100. */
    static boolean plausible(float value, int item, int component) {
        if (value != Math.floor(value) || value < 0) {
            return false;
        }
        int whole = (int) value;
        return whole / 1000 == item && whole % 1000 / 100 == component;
    }

    private static float[] snapshot() {
        float[] values = new float[SENSORS * 16 + BUTTONS + VALUATORS];
        float[] matrix = new float[16];
        for (int s = 0; s < SENSORS; s++) {
            TrackdJNI.getMatrix(matrix, s);
            System.arraycopy(matrix, 0, values, 16 * s, 16);
        }
        for (int b = 0; b < BUTTONS; b++) {
            values[SENSORS * 16 + b] = TrackdJNI.getButton(b);
        }
        for (int v = 0; v < VALUATORS; v++) {
            values[SENSORS * 16 + BUTTONS + v] = TrackdJNI.getValuator(v);
        }
        return values;
    }
}
