package calvora.devicedriver.demo;

import calvora.devicedriver.j3d.HeadTracking;
import calvora.devicedriver.j3d.SensorFollower;
import calvora.devicedriver.j3d.TrackdInputDevice;
import calvora.devicedriver.j3d.TrackedScreen;
import com.sun.j3d.utils.geometry.ColorCube;
import com.sun.j3d.utils.geometry.Text2D;
import com.sun.j3d.utils.universe.SimpleUniverse;
import java.awt.Color;
import java.awt.Font;
import java.awt.GraphicsConfiguration;
import java.awt.Point;
import java.awt.Rectangle;
import java.awt.Robot;
import java.io.File;
import java.io.IOException;
import java.util.Locale;
import javax.imageio.ImageIO;
import javax.media.j3d.Appearance;
import javax.media.j3d.Billboard;
import javax.media.j3d.BoundingSphere;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.ColoringAttributes;
import javax.media.j3d.GeometryArray;
import javax.media.j3d.J3DGraphics2D;
import javax.media.j3d.LineArray;
import javax.media.j3d.PolygonAttributes;
import javax.media.j3d.Shape3D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.swing.JFrame;
import javax.vecmath.Color3f;
import javax.vecmath.Point3d;
import javax.vecmath.Point3f;
import javax.vecmath.Vector3d;

/**
 * The README's head-tracking recipe, unchanged, with labels: the view's eye follows trackd's sensor 0 as
 * the head, a small cube is held by sensor 1, a cube stands in front of the screen and a large one behind
 * it over a floor grid, and a white frame marks the screen's edge, which stays put however the head moves.
 * The window fills the screen, which stands for the wall of the recipe.
 */
public final class TrackdJava3dDemo {
    private static final String PROGRAM = "TrackdJava3dDemo";
    private static final String USAGE = " [--tracker-key K] [--controller-key K] [--duration S] [--screenshot FILE]"
            + " [--help] [--version]";
    private static final Color3f WHITE = new Color3f(1, 1, 1);
    private static final Color3f GREY = new Color3f(0.35f, 0.35f, 0.35f);
    /** A century: the longest run the clock can be trusted with. */
    private static final double MAX_SECONDS = 100.0 * 365 * 24 * 3600;

    private TrackdJava3dDemo() {
    }

    /** The options: keys, for the device's system properties, how long to run and where to keep a picture. */
    static final class Options {
        double seconds;
        String screenshot;

        static Options parse(String[] args) {
            Options options = new Options();
            for (int i = 0; i < args.length; i++) {
                String value = i + 1 < args.length ? args[i + 1] : null;
                try {
                    switch (args[i]) {
                        case "--help":
                            System.out.println("usage: " + PROGRAM + USAGE + "\n"
                                    + "A head-tracked Java 3D scene set up by the README's recipe: the eye\n"
                                    + "follows trackd's sensor 0, sensor 1 holds a small cube, and the screen\n"
                                    + "stands for a wall 2.4 m wide whose lower edge is 0.3 m above the floor,\n"
                                    + "1 m in front of the tracker's origin. Needs a display with OpenGL.\n\n"
                                    + "  --tracker-key K     System V key of the tracker segment (default 7401;"
                                    + " decimal, 0x hex or 0 octal)\n"
                                    + "  --controller-key K  System V key of the controller segment (default 7402)\n"
                                    + "  --duration S        stop after S seconds (default: run until the window"
                                    + " closes)\n"
                                    + "  --screenshot FILE   before stopping, write the window's picture to FILE as"
                                    + " PNG\n"
                                    + "                      (needs --duration)\n"
                                    + "  --version           print the version and exit");
                            System.exit(0);
                            break;
                        case "--version":
                            String version = Options.class.getPackage().getImplementationVersion();
                            System.out.println(PROGRAM + " " + (version == null ? "(version unknown)" : version));
                            System.exit(0);
                            break;
                        case "--tracker-key":
                            System.setProperty(TrackdInputDevice.TRACKER_KEY_PROPERTY,
                                    Integer.toString(Integer.decode(value)));
                            break;
                        case "--controller-key":
                            System.setProperty(TrackdInputDevice.CONTROLLER_KEY_PROPERTY,
                                    Integer.toString(Integer.decode(value)));
                            break;
                        case "--duration":
                            options.seconds = Double.parseDouble(value);
                            if (!(options.seconds > 0 && options.seconds < MAX_SECONDS)) {
                                throw new IllegalArgumentException("--duration " + value
                                        + " is not a number of seconds above 0 and below a century");
                            }
                            break;
                        case "--screenshot":
                            options.screenshot = value;
                            if (value.isEmpty()) {
                                throw new IllegalArgumentException("--screenshot needs a file name");
                            }
                            break;
                        default:
                            throw new IllegalArgumentException("unknown option " + args[i]);
                    }
                    i++;
                } catch (NullPointerException e) {
                    usageError(args[i] + " needs a value");
                } catch (IllegalArgumentException e) {
                    usageError(e instanceof NumberFormatException ? args[i] + " " + value + " is not a number"
                            : e.getMessage());
                }
            }
            if (options.screenshot != null && options.seconds == 0) {
                usageError("--screenshot needs --duration");
            }
            return options;
        }

        private static void usageError(String message) {
            System.err.println(PROGRAM + ": " + Printable.of(message) + "\nusage: " + PROGRAM + USAGE);
            System.exit(2);
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
        Options options = Options.parse(args);
        try {
            run(options);
        } catch (Exception | LinkageError | java.awt.AWTError e) {
            System.err.println(PROGRAM + ": " + Printable.of(e.getMessage() == null ? e.toString() : e.getMessage()));
            System.exit(1);
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

    private static TransformGroup cube(double halfEdge, Vector3d at) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        TransformGroup group = new TransformGroup(place);
        group.addChild(new ColorCube(halfEdge));
        return group;
    }

    private static TransformGroup labelled(TransformGroup cube, String text, Vector3d at, double height) {
        cube.addChild(label(text, at, height));
        return cube;
    }

    /** White text in the x-y plane, its lower-left corner at the point, its letters about so high in metres. */
    private static TransformGroup label(String text, Vector3d at, double height) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        // Text2D makes a 32-pixel font 0.125 m high.
        place.setScale(height / 0.125);
        TransformGroup group = new TransformGroup(place);
        Text2D letters = new Text2D(text, WHITE, Font.SANS_SERIF, 32, Font.BOLD);
        // Readable from behind too: the hand turns its label about.
        letters.getAppearance().setPolygonAttributes(new PolygonAttributes(PolygonAttributes.POLYGON_FILL,
                PolygonAttributes.CULL_NONE, 0));
        group.addChild(letters);
        return group;
    }

    /** A group that turns what it holds to face the eye, wherever the hand turns it. */
    private static TransformGroup facingTheEye(TransformGroup held, Vector3d at) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        TransformGroup turned = new TransformGroup();
        turned.setCapability(TransformGroup.ALLOW_TRANSFORM_WRITE);
        turned.addChild(held);
        Billboard billboard = new Billboard(turned, Billboard.ROTATE_ABOUT_POINT, new Point3f());
        billboard.setSchedulingBounds(new BoundingSphere(new Point3d(), Double.MAX_VALUE));
        TransformGroup group = new TransformGroup(place);
        group.addChild(turned);
        group.addChild(billboard);
        return group;
    }

    private static Shape3D lines(double[] ends, Color3f colour) {
        LineArray lines = new LineArray(ends.length / 3, GeometryArray.COORDINATES);
        lines.setCoordinates(0, ends);
        Appearance look = new Appearance();
        look.setColoringAttributes(new ColoringAttributes(colour, ColoringAttributes.FASTEST));
        return new Shape3D(lines, look);
    }

    /** The screen's edge, 2 cm inside it, in the screen's plane: wherever the head is, it stays put. */
    private static Shape3D outline(TrackedScreen wall) {
        Point3d[] corners = {inside(wall, 0, 0), inside(wall, 1, 0), inside(wall, 1, 1), inside(wall, 0, 1)};
        double[] ends = new double[24];
        for (int edge = 0; edge < 4; edge++) {
            Point3d from = corners[edge];
            Point3d to = corners[(edge + 1) % 4];
            double[] line = {from.x, from.y, from.z, to.x, to.y, to.z};
            System.arraycopy(line, 0, ends, 6 * edge, 6);
        }
        return lines(ends, WHITE);
    }

    /** A point of the screen 2 cm in from its edges: (0, 0) near the lower-left corner, (1, 1) the upper-right. */
    private static Point3d inside(TrackedScreen wall, double across, double up) {
        double inset = 0.02 / wall.getUnitInMetres();
        Vector3d right = new Vector3d();
        right.sub(wall.getLowerRight(), wall.getLowerLeft());
        Vector3d upwards = new Vector3d();
        upwards.sub(wall.getUpperLeft(), wall.getLowerLeft());
        Point3d point = wall.getLowerLeft();
        point.scaleAdd(across + (across == 0 ? 1 : -1) * inset / right.length(), right, point);
        point.scaleAdd(up + (up == 0 ? 1 : -1) * inset / upwards.length(), upwards, point);
        return point;
    }

    /** The floor behind the screen, a line every half metre, for depth. */
    private static Shape3D floor() {
        int across = 21;
        int deep = 21;
        double[] ends = new double[(across + deep) * 6];
        int n = 0;
        for (int i = 0; i < across; i++) {
            double x = -5 + 0.5 * i;
            double[] line = {x, 0, -1, x, 0, -11};
            System.arraycopy(line, 0, ends, n, 6);
            n += 6;
        }
        for (int i = 0; i < deep; i++) {
            double z = -1 - 0.5 * i;
            double[] line = {-5, 0, z, 5, 0, z};
            System.arraycopy(line, 0, ends, n, 6);
            n += 6;
        }
        return lines(ends, GREY);
    }
}
