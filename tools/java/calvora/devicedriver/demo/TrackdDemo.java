package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.util.Locale;

/**
 * Uses TrackdJNI as an application would: attach, check the status bits, poll at 30 Hz and print each
 * sensor's translation, the buttons and the valuators.
 *
 * <p>Arguments: {@code [--tracker-key K] [--controller-key K] [--seconds S]}; without --seconds it polls
 * until stopped.
 */
public final class TrackdDemo {
    private static final int POLLS_PER_SECOND = 30;
    private static final int POLLS_PER_LINE = 6;

    private TrackdDemo() {
    }

    public static void main(String[] args) throws InterruptedException {
        Options options = Options.parse(args, "TrackdDemo");
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        boolean tracker = (status[0] & TrackdJNI.TRACKER_FAILED) == 0;
        boolean controller = (status[0] & TrackdJNI.CONTROLLER_FAILED) == 0;
        System.out.printf("TrackdDemo: tracker key %d %s, controller key %d %s%n", options.trackerKey,
                tracker ? "attached" : "NOT attached", options.controllerKey, controller ? "attached" : "NOT attached");
        if (!tracker && !controller) {
            System.exit(1);
        }
        float[] matrix = new float[TrackdJNI.MATRIX_LENGTH];
        long start = System.nanoTime();
        long periodNanos = 1_000_000_000L / POLLS_PER_SECOND;
        for (long poll = 0; options.seconds <= 0 || poll < (long) (options.seconds * POLLS_PER_SECOND); poll++) {
            StringBuilder line = new StringBuilder(String.format(Locale.ROOT, "t=%5.2fs",
                    (System.nanoTime() - start) / 1e9));
            if (tracker) {
                int sensors = Options.shown(TrackdJNI.getNumSensors());
                for (int i = 0; i < sensors; i++) {
                    TrackdJNI.getMatrix(matrix, i);
                    line.append(String.format(Locale.ROOT, "  sensor %d (%6.3f, %6.3f, %6.3f)", i, matrix[3],
                            matrix[7], matrix[11]));
                }
            }
            if (controller) {
                line.append("  buttons");
                for (int i = 0; i < Options.shown(TrackdJNI.getNumButtons()); i++) {
                    line.append(' ').append(TrackdJNI.getButton(i));
                }
                line.append("  valuators");
                for (int i = 0; i < Options.shown(TrackdJNI.getNumValuators()); i++) {
                    line.append(String.format(Locale.ROOT, " %6.3f", TrackdJNI.getValuator(i)));
                }
            }
            if (poll % POLLS_PER_LINE == 0) {
                System.out.println(line);
            }
            long wait = start + (poll + 1) * periodNanos - System.nanoTime();
            if (wait > 0) {
                Thread.sleep(wait / 1_000_000, (int) (wait % 1_000_000));
            }
        }
    }

    /** The keys and run time shared by the demo and the viewer. */
    static final class Options {
        int trackerKey = 7401;
        int controllerKey = 7402;
        double seconds;

        /** Counts come from trackd unchecked: show at most 64 of anything. */
        static int shown(int count) {
            return Math.max(0, Math.min(count, 64));
        }

        static Options parse(String[] args, String program) {
            Options options = new Options();
            for (int i = 0; i < args.length; i++) {
                String value = i + 1 < args.length ? args[i + 1] : null;
                try {
                    switch (args[i]) {
                        case "--tracker-key" -> options.trackerKey = Integer.decode(value);
                        case "--controller-key" -> options.controllerKey = Integer.decode(value);
                        case "--seconds" -> options.seconds = Double.parseDouble(value);
                        default -> throw new IllegalArgumentException("unknown option " + args[i]);
                    }
                    i++;
                } catch (NullPointerException | IllegalArgumentException e) {
                    System.err.println(program + ": " + (value == null ? args[i] + " needs a value" : e.getMessage())
                            + "\nusage: " + program + " [--tracker-key K] [--controller-key K] [--seconds S]");
                    System.exit(2);
                }
            }
            return options;
        }
    }
}
