package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.io.PrintStream;
import java.util.Locale;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;

/**
 * Uses TrackdJNI as an application would: attach, check the status bits, poll at 30 Hz and print each
 * sensor's translation, the buttons and the valuators.
 *
 * <p>Arguments: {@code [--tracker-key K] [--controller-key K] [--seconds S] [--help] [--version]}; without
 * --seconds it polls until stopped.
 */
public final class TrackdDemo {
    /** The program's name in every message. */
    static final String NAME = "TrackdDemo";
    private static final int POLLS_PER_SECOND = 30;
    private static final int POLLS_PER_LINE = 6;

    private TrackdDemo() {
    }

    public static void main(String[] args) throws InterruptedException {
        Options options = new Options();
        int parsed = options.parse(args, System.out, System.err);
        if (parsed != ToolCommandLine.GO_ON) {
            System.exit(parsed);
        }
        run(options);
    }

    /** Attaches, then polls and prints until the time is up; exits 1 when neither segment is attached. */
    private static void run(Options options) throws InterruptedException {
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        boolean tracker = (status[0] & TrackdJNI.TRACKER_FAILED) == 0;
        boolean controller = (status[0] & TrackdJNI.CONTROLLER_FAILED) == 0;
        System.out.printf(NAME + ": tracker key %d %s, controller key %d %s%n", options.trackerKey,
                tracker ? "attached" : "NOT attached", options.controllerKey, controller ? "attached" : "NOT attached");
        if (!tracker && !controller) {
            System.exit(ToolCommandLine.EXIT_FAILURE);
        }
        float[] matrix = new float[TrackdJNI.MATRIX_LENGTH];
        long start = System.nanoTime();
        long periodNanos = 1_000_000_000L / POLLS_PER_SECOND;
        for (long poll = 0; options.seconds <= 0 || poll < (long) (options.seconds * POLLS_PER_SECOND); poll++) {
            StringBuilder line = new StringBuilder(String.format(Locale.ROOT, "t=%5.2fs",
                    (System.nanoTime() - start) / 1e9));
            if (tracker) {
                int sensors = SegmentFollower.shown(TrackdJNI.getNumSensors());
                for (int i = 0; i < sensors; i++) {
                    TrackdJNI.getMatrix(matrix, i);
                    line.append(String.format(Locale.ROOT, "  sensor %d (%6.3f, %6.3f, %6.3f)", i, matrix[3],
                            matrix[7], matrix[11]));
                }
            }
            if (controller) {
                line.append("  buttons");
                for (int i = 0; i < SegmentFollower.shown(TrackdJNI.getNumButtons()); i++) {
                    line.append(' ').append(TrackdJNI.getButton(i));
                }
                line.append("  valuators");
                for (int i = 0; i < SegmentFollower.shown(TrackdJNI.getNumValuators()); i++) {
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

    /** The demo's command line, read by picocli as ToolCommandLine reads the Java tools'. */
    @Command(name = NAME, sortOptions = false, abbreviateSynopsis = true, usageHelpWidth = 100, description = {
        "Polls trackd's segments through TrackdJNI as an application would, 30 times a second, and prints each"
            + " sensor's position (elements 3, 7 and 11 of its matrix), the buttons and the valuators five times"
            + " a second."},
    exitCodeList = {"0:--seconds ended it, or a signal", "1:neither segment could be attached",
        "2:bad usage: an unknown option, a value out of range"},
    footer = {"Ten seconds of the segments under the default keys, with zoravovar.jar, zoravovar-demo.jar and"
        + " picocli.jar in CLASSPATH:", "java calvora.devicedriver.demo.TrackdDemo --seconds 10"})
    static final class Options {
        @Option(names = "--tracker-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
                description = "System V key of the tracker segment (default " + TrackdJNI.DEFAULT_TRACKER_KEY
                        + ")")
        int trackerKey = TrackdJNI.DEFAULT_TRACKER_KEY;

        @Option(names = "--controller-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
                description = "System V key of the controller segment (default " + TrackdJNI.DEFAULT_CONTROLLER_KEY
                        + ")")
        int controllerKey = TrackdJNI.DEFAULT_CONTROLLER_KEY;

        @Option(names = "--seconds", paramLabel = "SECONDS",
                description = "stop after this many seconds (default: run until stopped)")
        double seconds;

        @Option(names = {"-h", "--help"}, usageHelp = true, description = "print this help and exit")
        boolean help;

        @Option(names = "--version", versionHelp = true, description = "print the version and exit")
        boolean version;

        /** Reads the command line: ToolCommandLine.GO_ON, or the status to exit with. */
        int parse(String[] args, PrintStream out, PrintStream err) {
            return ToolCommandLine.parse(this, args, out, err, this::check);
        }

        private void check(CommandLine line) {
            if (!(seconds >= 0 && seconds < ToolCommandLine.LONGEST_SECONDS)) {
                throw new ParameterException(line, "--seconds " + ToolCommandLine.given(line, "--seconds")
                        + " is not a number of seconds from 0 to a century");
            }
        }
    }
}
