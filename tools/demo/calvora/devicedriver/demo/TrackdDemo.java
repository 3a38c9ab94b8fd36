package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.util.Locale;

/**
 * Uses TrackdJNI as an application would: attach, check the status bits, poll at 30 Hz and print each
 * sensor's translation, the buttons and the valuators.
 *
 * <p>Arguments: {@code [--tracker-key K] [--controller-key K] [--seconds S] [--help] [--version]}; without
 * --seconds it polls until stopped.
 */
public final class TrackdDemo {
    private static final int POLLS_PER_SECOND = 30;
    private static final int POLLS_PER_LINE = 6;

    private TrackdDemo() {
    }

    public static void main(String[] args) throws InterruptedException {
        Options options = Options.parse(args, "TrackdDemo",
                "Polls trackd's segments through TrackdJNI as an application would, 30 times a second, and\n"
                + "prints each sensor's position (elements 3, 7 and 11 of its matrix), the buttons and the\n"
                + "valuators five times a second.");
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

        /** A century: the longest run the clock can be trusted with. */
        static final double MAX_SECONDS = 100.0 * 365 * 24 * 3600;

        /** Counts come from trackd unchecked: show at most 64 of anything. */
        static int shown(int count) {
            return Math.max(0, Math.min(count, 64));
        }

        static final String USAGE = " [--tracker-key K] [--controller-key K] [--seconds S] [--help] [--version]";

        static Options parse(String[] args, String program, String description) {
            Options options = new Options();
            for (int i = 0; i < args.length; i++) {
                String value = i + 1 < args.length ? args[i + 1] : null;
                try {
                    switch (args[i]) {
                        case "--help" -> {
                            System.out.println("usage: " + program + USAGE + "\n" + description + "\n\n"
                                    + "  --tracker-key K     System V key of the tracker segment (default 7401;"
                                    + " decimal, 0x hex or 0 octal)\n"
                                    + "  --controller-key K  System V key of the controller segment (default 7402)\n"
                                    + "  --seconds S         stop after S seconds (default: run until stopped)\n"
                                    + "  --version           print the version and exit");
                            System.exit(0);
                        }
                        case "--version" -> {
                            String version = Options.class.getPackage().getImplementationVersion();
                            System.out.println(program + " " + (version == null ? "(version unknown)" : version));
                            System.exit(0);
                        }
                        case "--tracker-key" -> options.trackerKey = Integer.decode(value);
                        case "--controller-key" -> options.controllerKey = Integer.decode(value);
                        case "--seconds" -> {
                            options.seconds = Double.parseDouble(value);
                            if (!(options.seconds >= 0 && options.seconds < MAX_SECONDS)) {
                                throw new IllegalArgumentException("--seconds " + value
                                        + " is not a number of seconds from 0 to a century");
                            }
                        }
                        default -> throw new IllegalArgumentException("unknown option " + args[i]);
                    }
                    i++;
                } catch (NullPointerException | IllegalArgumentException e) {
                    System.err.println(program + ": "
                            + Printable.of(value == null ? args[i] + " needs a value" : e.getMessage())
                            + "\nusage: " + program + USAGE);
                    System.exit(2);
                }
            }
            return options;
        }
    }
}
