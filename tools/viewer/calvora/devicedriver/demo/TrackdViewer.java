package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import calvora.devicedriver.room.Installation;
import java.awt.AWTError;
import java.awt.GraphicsEnvironment;
import java.awt.HeadlessException;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/**
 * trackd-viewer: draws each sensor's pose as a coordinate frame (X red, Y green, Z blue) in a perspective
 * view from the bridge's column-vector matrices, labelled with its number and name, with its position
 * and angles in a table, the buttons as labelled lamps, the valuators as labelled bars, and a status bar
 * with each segment's key, change rate and health. Drag to orbit the view, turn the wheel to zoom.
 * With {@code --drive} it also drives a trackd-sim of its own (SimulatorDriver): the mouse and keys move
 * and turn the selected sensor, hold buttons and push valuators. {@code --help} lists the options.
 *
 * <p>Its parts: ViewerOptions (the command line), SegmentFollower (the reader), ViewerWindow (the window
 * and its input) and ViewerPainter (the picture).
 */
public final class TrackdViewer {
    /** The tool's name in every message. */
    static final String NAME = "trackd-viewer";
    static final String NO_DISPLAY = "no display: set DISPLAY, or use trackd-monitor";

    private TrackdViewer() {
    }

    /**
     * Why the viewer cannot run here, in one line, or null: the library must load and a display must
     * open. Without a display, the library's classes would throw at the first window.
     */
    static String startProblem() {
        try {
            Class.forName(TrackdJNI.class.getName());  // loads the library
        } catch (ClassNotFoundException | UnsatisfiedLinkError e) {
            return e.getMessage();
        }
        if (GraphicsEnvironment.isHeadless()) {
            return NO_DISPLAY;
        }
        try {
            GraphicsEnvironment.getLocalGraphicsEnvironment().getScreenDevices();
        } catch (AWTError | HeadlessException e) {
            return "cannot open the display " + System.getenv("DISPLAY") + ": set DISPLAY to a running one, or use"
                    + " trackd-monitor";
        }
        return null;
    }

    public static void main(String[] args) throws Exception {
        ViewerOptions options = new ViewerOptions();
        int parsed = options.parse(args, System.out, System.err);
        if (parsed != ToolCommandLine.GO_ON) {
            System.exit(parsed);
        }
        ViewerRoom room = room(options);
        String problem = startProblem();
        if (problem != null) {
            System.err.println(NAME + ": " + Printable.of(problem));
            System.exit(ToolCommandLine.EXIT_FAILURE);
        }
        SimulatorDriver driver = options.drive ? startSimulator(options) : null;
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        if (status[0] == (TrackdJNI.TRACKER_FAILED | TrackdJNI.CONTROLLER_FAILED)) {
            System.err.println(NAME + ": neither segment could be attached: is trackd (or trackd-sim) running, and"
                    + " with these keys?");
            System.exit(ToolCommandLine.EXIT_FAILURE);
        }
        SegmentFollower follower = new SegmentFollower(options.trackerKey, options.controllerKey, status[0]);
        if (driver != null) {
            follower.tracker.drivenWhile(driver::alive);
            follower.controller.drivenWhile(driver::alive);
        }
        follower.start();
        ViewerWindow.open(options, follower, driver, room);
        if (options.duration != null) {
            Thread.sleep((long) (options.duration * 1000));
            System.exit(0);
        }
    }

    /**
     * The room of the installation the options ask for, or null without one; with it, the sensors' names
     * are --names where given, else the file's. Exits with EXIT_BAD_USAGE when a file that was asked for is
     * wrong or unreadable, --names disagrees with it or --screen names no screen of it, as the other tools do.
     */
    private static ViewerRoom room(ViewerOptions options) {
        Installation installation;
        try {
            installation = ViewerRoom.load(options.installation);
        } catch (IOException | IllegalArgumentException e) {
            return badUsage(e.getMessage());
        } catch (UnsatisfiedLinkError e) {
            System.err.println(NAME + ": " + Printable.of(e.getMessage()));
            System.exit(ToolCommandLine.EXIT_FAILURE);
            return null;
        }
        if (installation == null) {
            return options.screen == null ? null : badUsage("--screen needs an installation: --installation FILE, $"
                    + ViewerRoom.ENVIRONMENT + " or /etc/zoravovar/installation.toml");
        }
        String disagreement = ViewerRoom.namesDisagreement(installation, options.names);
        if (disagreement != null) {
            return badUsage(disagreement);
        }
        List<String> names = new ArrayList<>(options.names);
        List<String> fromFile = ViewerRoom.namesByIndex(installation);
        for (int i = 0; i < fromFile.size(); i++) {
            if (i == names.size()) {
                names.add(fromFile.get(i));
            } else if (names.get(i).isEmpty()) {
                names.set(i, fromFile.get(i));
            }
        }
        options.names = names;
        int screen = 0;
        if (options.screen != null) {
            screen = installation.screenNames().indexOf(options.screen);
            if (screen < 0) {
                return badUsage("--screen: no screen is named '" + options.screen + "' in " + installation.path());
            }
        }
        return new ViewerRoom(installation, screen);
    }

    private static ViewerRoom badUsage(String message) {
        System.err.println(NAME + ": " + Printable.of(message));
        System.exit(ToolCommandLine.EXIT_BAD_USAGE);
        return null;
    }

    /** Starts the trackd-sim to drive, or exits when it cannot start. */
    private static SimulatorDriver startSimulator(ViewerOptions options) {
        String simulator = System.getProperty("trackd.sim", "trackd-sim");
        SimulatorDriver driver = null;
        try {
            driver = SimulatorDriver.start(simulator, options.simulatorOptions());
        } catch (SimulatorDriver.StartFailure e) {
            System.exit(e.status);  // trackd-sim has said why
        } catch (IOException e) {
            System.err.println(NAME + ": " + Printable.of("cannot start " + simulator + ": " + e.getMessage()));
            System.exit(ToolCommandLine.EXIT_FAILURE);
        }
        // However the viewer ends, the simulator ends too and removes its segments.
        Runtime.getRuntime().addShutdownHook(new Thread(driver::close, "trackd-sim ending"));
        return driver;
    }
}
