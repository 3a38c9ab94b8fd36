package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;

/** The viewer's command line, read by picocli as ToolCommandLine reads the Java tools'. */
@Command(name = TrackdViewer.NAME, sortOptions = false, abbreviateSynopsis = true, usageHelpWidth = 100, description = {
    "Shows trackd's segments in a window: each tracked sensor as a coordinate frame (X red, Y green, Z blue)"
        + " labelled with its number and name, its position and angles in a table, the buttons as lamps"
        + " and the valuators as bars, and each segment's health and change rate (measured as"
        + " trackd-monitor measures it) in a status bar. When trackd replaces a segment, the viewer"
        + " attaches the new one. Drag to orbit the view, turn the wheel to zoom. Needs a display; without"
        + " one, trackd-monitor shows the same in a terminal.", "",
    "With --drive it starts a trackd-sim of its own under the keys (trackd-sim --interactive --commands) and"
        + " drives it: click a sensor or press its number to select it; drag to move it over the floor,"
        + " shift-drag to raise or lower it, ctrl-drag to turn it; the wheel rolls it (shift-wheel zooms,"
        + " right-drag orbits); hold the space bar or z x c v b n m, or click a lamp, to hold buttons 0 to 7;"
        + " / selects the next valuator and - + push it; r resets the sensor to its start pose. The status"
        + " bar says the same. Closing the window ends the simulator, which removes its segments. The"
        + " options marked 'with --drive' are trackd-sim's, passed on, with its defaults; trackd-sim --help"
        + " tells them."},
    exitCodeList = {"0:the window was closed, or --duration ended it",
        "1:a failure at run time: no display, the library not found, a trackd-sim of its own that fails",
        "2:bad usage: an unknown option, a value out of range, equal keys"},
    footer = {"The segments under the default keys:", "trackd-viewer",
        "Sensors named, closing after a minute:", "trackd-viewer --names head,wand --duration 60",
        "A simulator of its own, driven with the mouse, recording the session:",
        "trackd-viewer --drive --record session.jsonl"})
final class ViewerOptions {
    static final int LONGEST_NAME = 32;
    /** Where each group of options starts: {option, heading, ...}. */
    static final String[] GROUPS = {"--tracker-key", "Segments", "--names", "Showing", "--drive",
        "Driving a trackd-sim of its own"};

    @Option(names = "--tracker-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
            description = "System V key of the tracker segment (default 0x00001ce9 (7401))")
    int trackerKey = TrackdJNI.DEFAULT_TRACKER_KEY;

    @Option(names = "--controller-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
            description = "System V key of the controller segment (default 0x00001cea (7402))")
    int controllerKey = TrackdJNI.DEFAULT_CONTROLLER_KEY;

    @Option(names = "--names", paramLabel = "NAME,...",
            description = "names of sensors 0, 1, ... in order, such as head,wand: shown beside their numbers"
                    + " (1 to 32 characters each, no comma, none twice)")
    String namesText;

    @Option(names = "--installation", paramLabel = "FILE",
            description = "the installation file (default $ZORAVOVAR_INSTALLATION, else"
                    + " /etc/zoravovar/installation.toml where it exists): its sensors' names, and the room"
                    + " shown instead of the tracker's coordinates, in metres, with the screens' outlines and"
                    + " both eyes of the head; with --drive passed on too")
    String installation;

    @Option(names = "--screen", paramLabel = "NAME",
            description = "the screen whose frustum is drawn for each eye (default: the installation's first)")
    String screen;

    @Option(names = "--duration", paramLabel = "SECONDS", converter = SecondsConverter.class,
            description = "close the window after this many seconds (default: when closed)")
    Double duration;

    @Option(names = "--drive", description = "start a trackd-sim of its own and drive it with the mouse and keys")
    boolean drive;

    @Option(names = "--sensors", paramLabel = "N", description = "with --drive: number of sensors")
    String sensors;

    @Option(names = "--buttons", paramLabel = "N", description = "with --drive: number of buttons")
    String buttons;

    @Option(names = "--valuators", paramLabel = "N", description = "with --drive: number of valuators")
    String valuators;

    @Option(names = "--head", paramLabel = "X,Y,Z",
            description = "with --drive: start position of sensor 0, the head (default: at eye height)")
    String head;

    @Option(names = "--wand", paramLabel = "X,Y,Z",
            description = "with --drive: start position of sensor 1, the wand (default: in front of the head)")
    String wand;

    @Option(names = "--valuator-step", paramLabel = "STEP",
            description = "with --drive: how far - and + push a valuator")
    String valuatorStep;

    @Option(names = "--rate", paramLabel = "HZ", description = "with --drive: updates per second")
    String rate;

    @Option(names = "--record", paramLabel = "FILE",
            description = "with --drive: write each change to FILE, for trackd-sim --play")
    String record;

    @Option(names = "--overwrite", description = "with --record: replace FILE if it exists")
    boolean overwrite;

    @Option(names = "--replace", description = "with --drive: remove segments that already exist under the keys")
    boolean replace;

    @Option(names = {"-h", "--help"}, usageHelp = true, description = "print this help and exit")
    boolean help;

    @Option(names = "--version", versionHelp = true, description = "print the version and exit")
    boolean version;

    /** The sensors' names from --names. */
    List<String> names = List.of();

    /**
     * Reads the command line: ToolCommandLine.GO_ON, or the status to exit with (0 after --help or --version,
     * EXIT_BAD_USAGE after a message on `err`).
     */
    int parse(String[] args, PrintStream out, PrintStream err) {
        return ToolCommandLine.parse(this, GROUPS, args, out, err, this::check);
    }

    /** The options passed on to the driven trackd-sim. */
    List<String> simulatorOptions() {
        List<String> passed = new ArrayList<>(List.of("--tracker-key", Integer.toString(trackerKey),
                "--controller-key", Integer.toString(controllerKey)));
        String[][] valued = {{"--sensors", sensors}, {"--buttons", buttons}, {"--valuators", valuators},
            {"--head", head}, {"--wand", wand}, {"--valuator-step", valuatorStep}, {"--rate", rate},
            {"--record", record}, {"--installation", drive ? installation : null}};
        for (String[] option : valued) {
            if (option[1] != null) {
                passed.add(option[0]);
                passed.add(option[1]);
            }
        }
        if (overwrite) {
            passed.add("--overwrite");
        }
        if (replace) {
            passed.add("--replace");
        }
        return passed;
    }

    private void check(CommandLine line) {
        if (!drive && (simulatorOptions().size() > 4)) {
            throw new ParameterException(line, "the options marked 'with --drive' need --drive");
        }
        if (trackerKey == controllerKey) {
            throw new ParameterException(line, "--controller-key: the tracker and controller keys must differ");
        }
        if (namesText != null) {
            names = List.of(namesText.split(",", -1));
            String problem = namesProblem(names);
            if (problem != null) {
                throw new ParameterException(line, "--names: " + problem);
            }
        }
    }

    /** Why `names` cannot name sensors, as trackd-monitor judges them, or null when they can. */
    static String namesProblem(List<String> names) {
        for (int i = 0; i < names.size(); i++) {
            String name = names.get(i);
            if (name.isEmpty()) {
                return "sensor " + i + "'s name is empty";
            }
            if (name.codePoints().anyMatch(Character::isISOControl)) {
                return "sensor " + i + "'s name holds a control character";
            }
            if (name.codePointCount(0, name.length()) > LONGEST_NAME) {
                return "the sensor name '" + name + "' is longer than " + LONGEST_NAME + " characters";
            }
            if (names.subList(0, i).contains(name)) {
                return "the sensor name '" + name + "' is given twice";
            }
        }
        return null;
    }

    /** A number of seconds above 0 that the clock can hold, up to a century, as the other tools take it. */
    static final class SecondsConverter implements ITypeConverter<Double> {
        @Override
        public Double convert(String text) {
            double value;
            try {
                value = Double.parseDouble(text);
            } catch (NumberFormatException e) {
                value = Double.NaN;
            }
            if (!(value > 0 && value <= ToolCommandLine.LONGEST_SECONDS)) {
                throw new TypeConversionException(
                        "'" + text + "' is not a number of seconds above 0 and up to a century");
            }
            return value;
        }
    }
}
