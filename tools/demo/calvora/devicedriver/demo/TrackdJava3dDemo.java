package calvora.devicedriver.demo;

import static calvora.devicedriver.demo.Java3dDemoShapes.cube;
import static calvora.devicedriver.demo.Java3dDemoShapes.facingTheEye;
import static calvora.devicedriver.demo.Java3dDemoShapes.floor;
import static calvora.devicedriver.demo.Java3dDemoShapes.inside;
import static calvora.devicedriver.demo.Java3dDemoShapes.label;
import static calvora.devicedriver.demo.Java3dDemoShapes.labelled;
import static calvora.devicedriver.demo.Java3dDemoShapes.outline;

import calvora.devicedriver.TrackdJNI;
import calvora.devicedriver.j3d.HeadTracking;
import calvora.devicedriver.j3d.SensorFollower;
import calvora.devicedriver.j3d.TrackdInputDevice;
import calvora.devicedriver.j3d.TrackedScreen;
import com.sun.j3d.utils.universe.SimpleUniverse;
import java.awt.Color;
import java.awt.Font;
import java.awt.GraphicsConfiguration;
import java.awt.Point;
import java.awt.Rectangle;
import java.awt.Robot;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.util.Locale;
import javax.imageio.ImageIO;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.J3DGraphics2D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.swing.JFrame;
import javax.vecmath.Point3d;
import javax.vecmath.Vector3d;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;

/**
 * The README's head-tracking recipe, unchanged, with labels: the view's eye follows trackd's sensor 0 as
 * the head, a small cube is held by sensor 1, a cube stands in front of the screen and a large one behind
 * it over a floor grid, and a white frame marks the screen's edge, which stays put however the head moves.
 * The window fills the screen, which stands for the wall of the recipe.
 */
public final class TrackdJava3dDemo {
    /** The program's name in every message. */
    static final String PROGRAM = "TrackdJava3dDemo";

    private TrackdJava3dDemo() {
    }

    /** The options: keys, for the device's system properties, how long to run and where to keep a picture. */
    @Command(name = PROGRAM, sortOptions = false, abbreviateSynopsis = true, usageHelpWidth = 100, description = {
        "A head-tracked Java 3D scene set up by the README's recipe: the eye follows trackd's sensor 0, sensor 1"
            + " holds a small cube, and the screen stands for a wall 2.4 m wide whose lower edge is 0.3 m above"
            + " the floor, 1 m in front of the tracker's origin. Needs a display with OpenGL."},
    exitCodeList = {"0:the window was closed, or --duration ended it", "1:a failure at run time: no display",
        "2:bad usage: an unknown option, a value out of range"},
    footer = {"Five seconds of the scene, then a picture of it (with the class path of the README's Java 3D"
        + " section):",
        PROGRAM + " --duration 5 --screenshot scene.png"})
    static final class Options {
        @Option(names = "--tracker-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
                description = "System V key of the tracker segment (default " + TrackdJNI.DEFAULT_TRACKER_KEY
                        + ")")
        Integer trackerKey;

        @Option(names = "--controller-key", paramLabel = "KEY", converter = ToolCommandLine.KeyConverter.class,
                description = "System V key of the controller segment (default " + TrackdJNI.DEFAULT_CONTROLLER_KEY
                        + ")")
        Integer controllerKey;

        @Option(names = "--duration", paramLabel = "SECONDS",
                description = "stop after this many seconds (default: run until the window closes)")
        double seconds;

        @Option(names = "--screenshot", paramLabel = "FILE",
                description = "before stopping, write the window's picture to FILE as PNG (needs --duration)")
        String screenshot;

        @Option(names = {"-h", "--help"}, usageHelp = true, description = "print this help and exit")
        boolean help;

        @Option(names = "--version", versionHelp = true, description = "print the version and exit")
        boolean version;

        /** Reads the command line: ToolCommandLine.GO_ON, or the status to exit with. */
        int parse(String[] args, PrintStream out, PrintStream err) {
            return ToolCommandLine.parse(this, args, out, err, this::check);
        }

        private void check(CommandLine line) {
            if (line.getParseResult().hasMatchedOption("--duration")
                    && !(seconds > 0 && seconds < ToolCommandLine.LONGEST_SECONDS)) {
                throw new ParameterException(line, "--duration " + ToolCommandLine.given(line, "--duration")
                        + " is not a number of seconds above 0 and below a century");
            }
            if (screenshot != null && screenshot.isEmpty()) {
                throw new ParameterException(line, "--screenshot needs a file name");
            }
            if (screenshot != null && seconds == 0) {
                throw new ParameterException(line, "--screenshot needs --duration");
            }
        }

        /** The keys given go to the device as its system properties; those not given stay as they are. */
        void setKeyProperties() {
            if (trackerKey != null) {
                System.setProperty(TrackdInputDevice.TRACKER_KEY_PROPERTY, Integer.toString(trackerKey));
            }
            if (controllerKey != null) {
                System.setProperty(TrackdInputDevice.CONTROLLER_KEY_PROPERTY, Integer.toString(controllerKey));
            }
        }
    }

    /** A canvas that writes where the head is over each frame. */
    static final class LabelledCanvas extends Canvas3D {
        private static final long serialVersionUID = 1L;
        private transient TrackdInputDevice trackd;
        private final transient Transform3D head = new Transform3D();
        private final transient Vector3d at = new Vector3d();
        private final Font font = new Font(Font.SANS_SERIF, Font.BOLD, 18);

        LabelledCanvas(GraphicsConfiguration display) {
            super(display);
        }

        void label(TrackdInputDevice device) {
            trackd = device;
        }

        @Override
        public void postRender() {
            String text;
            if (trackd != null && getView().getTrackingEnable() && trackd.getSensorCount() > 0) {
                trackd.getSensor(0).lastRead(head);
                head.get(at);
                text = String.format(Locale.ROOT, "head (sensor 0) at x %.2f, y %.2f, z %.2f m: the eye follows it",
                        at.x, at.y, at.z);
            } else {
                text = "no head tracking: the eye stays in front of the screen (see standard error)";
            }
            J3DGraphics2D overlay = getGraphics2D();
            overlay.setFont(font);
            overlay.setColor(Color.WHITE);
            overlay.drawString(text, 24, 36);
            overlay.flush(false);
        }
    }

    /**
     * Runs the demo; after any error it says what went wrong and exits with status 1, for Java 3D's threads
     * and the window's would keep the virtual machine running with nothing to show.
     */
    public static void main(String[] args) {
        Options options = new Options();
        int parsed = options.parse(args, System.out, System.err);
        if (parsed != ToolCommandLine.GO_ON) {
            System.exit(parsed);
        }
        options.setKeyProperties();
        try {
            run(options);
        } catch (Exception | LinkageError | java.awt.AWTError e) {
            System.err.println(PROGRAM + ": " + Printable.of(e.getMessage() == null ? e.toString() : e.getMessage()));
            System.exit(ToolCommandLine.EXIT_FAILURE);
        }
    }

    private static void run(Options options) throws Exception {
        GraphicsConfiguration display = SimpleUniverse.getPreferredConfiguration();
        LabelledCanvas canvas = new LabelledCanvas(display);
        SimpleUniverse universe = new SimpleUniverse(canvas);

        // Where the screen's image is in tracker coordinates, and the tracker's unit in metres.
        TrackedScreen wall = new TrackedScreen(
                new Point3d(-1.2, 0.3, -1.0),   // lower-left corner
                new Point3d(1.2, 0.3, -1.0),    // lower-right corner
                new Point3d(-1.2, 2.1, -1.0),   // upper-left corner
                1.0);                           // trackd measures in metres
        TrackdInputDevice trackd = new TrackdInputDevice();                   // keys 7401 and 7402
        HeadTracking.enable(universe.getViewer().getView(), trackd, wall, 0);  // sensor 0 is the head
        canvas.label(trackd);

        BranchGroup scene = new BranchGroup();
        scene.addChild(labelled(cube(0.1, new Vector3d(-0.4, 1.3, -0.6)), "0.4 m in front of the screen",
                new Vector3d(-0.1, -0.13, 0.1), 0.015));
        scene.addChild(labelled(cube(0.3, new Vector3d(0.5, 1.5, -3.0)), "2 m behind the screen",
                new Vector3d(-0.3, 0.34, 0.3), 0.08));
        TransformGroup hand = cube(0.05, new Vector3d());
        hand.addChild(facingTheEye(label("hand (sensor 1)", new Vector3d(-0.04, 0, 0), 0.012),
                new Vector3d(0, 0.09, 0)));
        scene.addChild(hand);
        scene.addChild(new SensorFollower(trackd, 1, hand));        // sensor 1 is the hand
        scene.addChild(outline(wall));
        scene.addChild(label("the screen's edge: it stays put as the head moves",
                new Vector3d(inside(wall, 0.02, 0.02)), 0.05));
        scene.addChild(floor());
        universe.addBranchGraph(scene);

        JFrame frame = new JFrame("trackd in Java 3D: head-coupled perspective");
        frame.setUndecorated(true);
        frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
        frame.add(canvas);
        frame.setBounds(display.getBounds());
        frame.setVisible(true);
        if (options.seconds > 0) {
            Thread.sleep((long) (options.seconds * 1000));
            if (options.screenshot != null) {
                Point corner = canvas.getLocationOnScreen();
                Rectangle area = new Rectangle(corner.x, corner.y, canvas.getWidth(), canvas.getHeight());
                File file = new File(options.screenshot);
                if (!ImageIO.write(new Robot(display.getDevice()).createScreenCapture(area), "png", file)) {
                    throw new IOException("no PNG writer for " + file);
                }
                System.out.println(PROGRAM + ": wrote " + Printable.of(file.toString()));
            }
            System.exit(0);
        }
    }
}
