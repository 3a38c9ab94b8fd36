package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.awt.AWTError;
import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Font;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.GraphicsEnvironment;
import java.awt.HeadlessException;
import java.awt.RenderingHints;
import java.awt.event.KeyAdapter;
import java.awt.event.KeyEvent;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.awt.event.MouseWheelEvent;
import java.awt.geom.Line2D;
import java.awt.geom.Point2D;
import java.io.IOException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.Locale;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.SwingUtilities;
import javax.swing.Timer;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;

/**
 * trackd-viewer: draws each sensor's pose as a coordinate frame (X red, Y green, Z blue) in a perspective
 * view from the bridge's column-vector matrices, labelled with its number and name, with its position
 * and angles in a table, the buttons as labelled lamps, the valuators as labelled bars, and a status bar
 * with each segment's key, change rate and health. Drag to orbit the view, turn the wheel to zoom.
 * With {@code --drive} it also drives a trackd-sim of its own (SimulatorDriver): the mouse and keys move
 * and turn the selected sensor, hold buttons and push valuators. {@code --help} lists the options.
 */
public final class TrackdViewer extends JComponent {
    private static final long serialVersionUID = 1L;

    /** The point the view orbits, in trackd's units: head height above the origin. */
    static final double TARGET_Y = 1.3;
    /** The starting distance of the eye from the target: the eye sits at (0, 1.3, 2.5), looking along -Z. */
    static final double EYE_Z = 2.5;
    /** Focal length as a fraction of the view's height. */
    static final double FOCAL = 0.9;
    static final double AXIS_LENGTH = 0.15;
    static final double GRID_STEP = 0.2;
    static final int GRID_LINES = 5;
    static final Color[] AXIS_COLORS = {Color.RED, Color.GREEN, Color.BLUE};
    static final String[] AXIS_NAMES = {"X", "Y", "Z"};
    static final Color LAMP_ON = Color.YELLOW;
    static final Color LAMP_OFF = new Color(60, 60, 60);
    static final Color BAR = new Color(80, 160, 255);
    static final Color TEXT = Color.LIGHT_GRAY;
    static final Color GRID = new Color(45, 45, 45);
    static final int LAMP_SIZE = 16;
    static final int STATUS_HEIGHT = 20;
    static final int BAR_LENGTH = 100;
    static final int TABLE_Y = 50;
    static final Font FONT = new Font(Font.MONOSPACED, Font.PLAIN, 11);
    /** The window's size when it opens: the status bar's text fits it. */
    static final Dimension DEFAULT_SIZE = new Dimension(900, 650);
    static final String HINT = "drag: orbit, wheel: zoom";
    static final int FRAME_MILLIS = 33;
    static final double DEGREES_PER_PIXEL = 0.4;
    static final double ZOOM_PER_NOTCH = 1.1;
    /** Driving: how far from a sensor's drawn origin a click selects it, and the wheel's turn a notch. */
    static final int PICK_PIXELS = 15;
    static final double WHEEL_DEGREES = 5;
    /** Driving: the keys that hold buttons 1 to 7, as in trackd-sim's terminal face; the space bar holds 0. */
    static final String BUTTON_KEYS = "zxcvbnm";
    /** Driving: the selected sensor has a ring of this radius about its origin, clear of its label. */
    static final Color SELECTED = Color.ORANGE;
    static final int RING = 9;
    /** Driving: what each input does, shown in the status bar; each line fits the window at its default size. */
    static final List<String> DRIVE_HINTS = List.of(
            "driving: click a sensor or press 0-9 to select it | drag: move it over the floor | shift-drag: up, down",
            "ctrl-drag: turn it | wheel: roll it | r: reset it | right-drag: orbit the view | shift-wheel: zoom",
            "hold space, z x c v b n m or click a lamp: buttons 0 to 7 | /: next valuator | - +: push it");

    /**
     * What one frame shows: matrices in column-vector form, 16 floats each, the sensors' names (sensor i's
     * is names[i]; those beyond the list stay numbered) and one status line per segment.
     */
    record Scene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status,
            List<String> hints, int selected) {
        Scene(float[][] matrices, int[] buttons, float[] valuators) {
            this(matrices, buttons, valuators, List.of(), List.of());
        }

        Scene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status) {
            this(matrices, buttons, valuators, names, status, List.of(), -1);
        }
    }

    /** Where the eye looks from: turned by yaw about Y and raised by pitch, at a distance from the target. */
    record Camera(double yawDegrees, double pitchDegrees, double distance) {
        static final Camera START = new Camera(0, 0, EYE_Z);

        Camera orbit(double yawBy, double pitchBy) {
            return new Camera(yawDegrees + yawBy, Math.max(-85, Math.min(85, pitchDegrees + pitchBy)), distance);
        }

        Camera zoom(double factor) {
            return new Camera(yawDegrees, pitchDegrees, Math.max(0.3, Math.min(20, distance * factor)));
        }
    }

    private transient Scene scene = new Scene(new float[0][], new int[0], new float[0]);
    private transient Camera camera = Camera.START;
    private transient Point2D dragFrom;
    /** Driving: the simulator driven, or null when only viewing. */
    private final transient SimulatorDriver driver;
    private transient int selected;
    private transient int valuator;
    private transient boolean orbiting;
    /** Driving: the button a click on its lamp holds, or -1, and the keys held down. */
    private transient int lampHeld = -1;
    private final transient Set<Integer> keysHeld = new HashSet<>();

    TrackdViewer() {
        this(null);
    }

    TrackdViewer(SimulatorDriver driver) {
        this.driver = driver;
        MouseAdapter mouse = new MouseAdapter() {
            @Override
            public void mousePressed(MouseEvent event) {
                dragFrom = event.getPoint();
                orbiting = driver == null || !SwingUtilities.isLeftMouseButton(event);
                if (!orbiting) {
                    pressAt(event.getX(), event.getY());
                }
            }

            @Override
            public void mouseReleased(MouseEvent event) {
                if (lampHeld >= 0) {
                    driver.button(lampHeld, 0);
                    lampHeld = -1;
                }
            }

            @Override
            public void mouseDragged(MouseEvent event) {
                if (dragFrom == null) {
                    return;
                }
                double dx = event.getX() - dragFrom.getX();
                double dy = event.getY() - dragFrom.getY();
                dragFrom = event.getPoint();
                if (orbiting) {
                    camera = camera.orbit(-dx * DEGREES_PER_PIXEL, dy * DEGREES_PER_PIXEL);
                    repaint();
                } else if (lampHeld < 0) {
                    drag(dx, dy, event.isShiftDown(), event.isControlDown());
                }
            }

            @Override
            public void mouseWheelMoved(MouseWheelEvent event) {
                if (driver != null && !event.isShiftDown()) {
                    driver.turn(selected, 0, 0, -event.getPreciseWheelRotation() * WHEEL_DEGREES);
                    return;
                }
                camera = camera.zoom(Math.pow(ZOOM_PER_NOTCH, event.getPreciseWheelRotation()));
                repaint();
            }
        };
        addMouseListener(mouse);
        addMouseMotionListener(mouse);
        addMouseWheelListener(mouse);
        if (driver != null) {
            setFocusable(true);
            addKeyListener(new KeyAdapter() {
                @Override
                public void keyPressed(KeyEvent event) {
                    // A held key repeats its press: only the first counts.
                    if (keysHeld.add(event.getKeyCode())) {
                        keyDown(event.getKeyCode(), event.getKeyChar());
                    }
                }

                @Override
                public void keyReleased(KeyEvent event) {
                    keysHeld.remove(event.getKeyCode());
                    int button = buttonOfKey(event.getKeyCode());
                    if (button >= 0 && button < scene.buttons().length) {
                        driver.button(button, 0);
                    }
                }
            });
        }
    }

    void show(Scene next) {
        scene = driver == null ? next : new Scene(next.matrices(), next.buttons(), next.valuators(), next.names(),
                next.status(), DRIVE_HINTS, selected);
        repaint();
    }

    int selected() {
        return selected;
    }

    /** Driving: a press on a lamp holds its button; one near a sensor's drawn origin selects the sensor. */
    private void pressAt(int x, int y) {
        requestFocusInWindow();
        Scene now = scene;
        int height = getHeight();
        for (int button = 0; button < now.buttons().length; button++) {
            int lampY = lampY(height, now);
            if (x >= lampX(button) && x < lampX(button) + LAMP_SIZE && y >= lampY && y < lampY + LAMP_SIZE) {
                lampHeld = button;
                driver.button(button, 1);
                return;
            }
        }
        double nearest = PICK_PIXELS;
        for (int sensor = 0; sensor < now.matrices().length; sensor++) {
            float[] m = now.matrices()[sensor];
            Point2D origin = project(m[3], m[7], m[11], getWidth(), height, camera);
            if (origin != null && origin.distance(x, y) <= nearest) {
                nearest = origin.distance(x, y);
                select(sensor);
            }
        }
    }

    private void select(int sensor) {
        if (sensor < scene.matrices().length) {
            selected = sensor;
            show(scene);
        }
    }

    /** Driving: a drag of dx, dy pixels moves the selected sensor, raises it (shift) or turns it (ctrl). */
    private void drag(double dx, double dy, boolean shift, boolean control) {
        if (control) {
            driver.turn(selected, -dy * DEGREES_PER_PIXEL, -dx * DEGREES_PER_PIXEL, 0);
        } else if (shift) {
            driver.move(selected, 0, -dy * unitsPerPixel(camera, getHeight()), 0);
        } else {
            double[] by = floorMove(dx, dy, camera, getHeight());
            driver.move(selected, by[0], 0, by[2]);
        }
    }

    /** Driving: what a key does; buttons are held until the key is released. */
    private void keyDown(int code, char character) {
        if (code >= KeyEvent.VK_0 && code <= KeyEvent.VK_9) {
            select(code - KeyEvent.VK_0);
            return;
        }
        int button = buttonOfKey(code);
        if (button >= 0 && button < scene.buttons().length) {
            driver.button(button, 1);
        } else if (character == '/' && scene.valuators().length > 0) {
            valuator = (valuator + 1) % scene.valuators().length;
        } else if (character == '-' && valuator < scene.valuators().length) {
            driver.valuatorSteps(valuator, -1);
        } else if ((character == '+' || character == '=') && valuator < scene.valuators().length) {
            driver.valuatorSteps(valuator, 1);
        } else if (code == KeyEvent.VK_R && selected < scene.matrices().length) {
            driver.reset(selected);
        }
    }

    /** The button a key holds: the space bar button 0, z x c v b n m buttons 1 to 7; -1 for other keys. */
    static int buttonOfKey(int code) {
        if (code == KeyEvent.VK_SPACE) {
            return 0;
        }
        int at = BUTTON_KEYS.indexOf(Character.toLowerCase((char) code));
        return code >= KeyEvent.VK_A && code <= KeyEvent.VK_Z && at >= 0 ? at + 1 : -1;
    }

    /** The installation's units one pixel spans at the point the view orbits. */
    static double unitsPerPixel(Camera camera, int height) {
        return camera.distance() / (FOCAL * height);
    }

    /**
     * Where a drag of dx, dy pixels moves a sensor over the floor: right on the screen is the camera's right,
     * up the screen is away from the eye. Returns the change in X, Y (always 0) and Z.
     */
    static double[] floorMove(double dx, double dy, Camera camera, int height) {
        double yaw = Math.toRadians(camera.yawDegrees());
        double scale = unitsPerPixel(camera, height);
        return new double[] {(dx * Math.cos(yaw) + dy * Math.sin(yaw)) * scale, 0,
            (-dx * Math.sin(yaw) + dy * Math.cos(yaw)) * scale};
    }

    @Override
    protected void paintComponent(Graphics graphics) {
        paintScene((Graphics2D) graphics, getWidth(), getHeight(), scene, camera);
    }

    /** Projects a point onto a view of the given size from the starting camera; null when behind the eye. */
    static Point2D project(double x, double y, double z, int width, int height) {
        return project(x, y, z, width, height, Camera.START);
    }

    static Point2D project(double x, double y, double z, int width, int height, Camera camera) {
        double yaw = Math.toRadians(camera.yawDegrees());
        double pitch = Math.toRadians(camera.pitchDegrees());
        // The eye's offset from the target, and the camera's right, up and forward directions.
        double[] back = {Math.sin(yaw) * Math.cos(pitch), Math.sin(pitch), Math.cos(yaw) * Math.cos(pitch)};
        double[] right = {Math.cos(yaw), 0, -Math.sin(yaw)};
        double[] up = {-Math.sin(yaw) * Math.sin(pitch), Math.cos(pitch), -Math.cos(yaw) * Math.sin(pitch)};
        double[] p = {x - camera.distance() * back[0], y - TARGET_Y - camera.distance() * back[1],
            z - camera.distance() * back[2]};
        double depth = -(p[0] * back[0] + p[1] * back[1] + p[2] * back[2]);
        if (depth <= 0.01) {
            return null;
        }
        double scale = FOCAL * height / depth;
        return new Point2D.Double(width / 2.0 + (p[0] * right[0] + p[1] * right[1] + p[2] * right[2]) * scale,
                height / 2.0 - (p[0] * up[0] + p[1] * up[1] + p[2] * up[2]) * scale);
    }

    /**
     * The angles X, Y and Z in degrees of a column-vector pose whose rotation is Z x X x Y for row vectors,
     * as trackd composes it.
     */
    static double[] angles(float[] m) {
        double x = Math.asin(Math.max(-1, Math.min(1, -m[6])));
        return new double[] {Math.toDegrees(x), Math.toDegrees(Math.atan2(m[2], m[10])),
            Math.toDegrees(Math.atan2(m[4], m[5]))};
    }

    static void paintScene(Graphics2D g, int width, int height, Scene scene) {
        paintScene(g, width, height, scene, Camera.START);
    }

    static void paintScene(Graphics2D g, int width, int height, Scene scene, Camera camera) {
        g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
        g.setFont(FONT);
        g.setColor(Color.BLACK);
        g.fillRect(0, 0, width, height);
        paintGrid(g, width, height, camera);
        g.setStroke(new BasicStroke(3));
        for (int sensor = 0; sensor < scene.matrices().length; sensor++) {
            float[] m = scene.matrices()[sensor];
            for (int axis = 0; axis < 3; axis++) {
                g.setColor(AXIS_COLORS[axis]);
                // Column-vector form: the image of a unit axis is a column; the translation is in 3, 7, 11.
                line(g, m[3], m[7], m[11], m[3] + AXIS_LENGTH * m[axis], m[7] + AXIS_LENGTH * m[4 + axis],
                        m[11] + AXIS_LENGTH * m[8 + axis], width, height, camera);
            }
            Point2D origin = project(m[3], m[7], m[11], width, height, camera);
            if (origin != null && sensor == scene.selected()) {
                g.setColor(SELECTED);
                g.setStroke(new BasicStroke(2));
                g.drawOval((int) origin.getX() - RING, (int) origin.getY() - RING, 2 * RING, 2 * RING);
                g.setStroke(new BasicStroke(3));
            }
            g.setColor(TEXT);
            if (origin != null) {
                g.drawString(label(sensor, scene.names()), (float) origin.getX() - 14, (float) origin.getY() + 14);
            }
        }
        g.setColor(TEXT);
        List<String> table = table(scene);
        for (int row = 0; row < table.size(); row++) {
            g.drawString(table.get(row), 10, TABLE_Y + 12 * row);
        }
        paintLegend(g);
        paintControls(g, width, height, scene);
        int status = statusHeight(scene);
        g.setColor(TEXT);
        if (scene.hints().isEmpty()) {
            g.drawString(HINT, width - g.getFontMetrics().stringWidth(HINT) - 8, height - status - 6);
        }
        g.setColor(new Color(25, 25, 25));
        g.fillRect(0, height - status, width, status);
        g.setColor(TEXT);
        for (int line = 0; line < scene.hints().size(); line++) {
            g.drawString(scene.hints().get(line), 6, height - status + STATUS_HEIGHT * (line + 1) - 6);
        }
        g.drawString(statusText(scene), 6, height - 6);
    }

    /** A sensor as the picture and the table name it: its number, and its name where it has one. */
    static String label(int sensor, List<String> names) {
        return sensor < names.size() ? sensor + " " + names.get(sensor) : Integer.toString(sensor);
    }

    /** The table at the top left: a heading, then each sensor's label, position and angles; none without sensors. */
    static List<String> table(Scene scene) {
        int sensors = scene.matrices().length;
        if (sensors == 0) {
            return List.of();
        }
        int width = 3;
        for (int sensor = 0; sensor < sensors; sensor++) {
            width = Math.max(width, label(sensor, scene.names()).length());
        }
        List<String> rows = new ArrayList<>();
        rows.add(String.format(Locale.ROOT, "%-" + width + "s %8s %8s %8s  %7s %7s %7s", "#", "x", "y", "z",
                "angle X", "angle Y", "angle Z"));
        for (int sensor = 0; sensor < sensors; sensor++) {
            float[] m = scene.matrices()[sensor];
            double[] a = angles(m);
            // Adding 0 turns -0 into 0: a level sensor reads 0.0, not -0.0.
            rows.add(String.format(Locale.ROOT, "%-" + width + "s %8.3f %8.3f %8.3f  %7.1f %7.1f %7.1f",
                    label(sensor, scene.names()), m[3] + 0f, m[7] + 0f, m[11] + 0f, a[0] + 0.0, a[1] + 0.0,
                    a[2] + 0.0));
        }
        return rows;
    }

    static String statusText(Scene scene) {
        return String.join("   |   ", scene.status());
    }

    private static void paintGrid(Graphics2D g, int width, int height, Camera camera) {
        g.setStroke(new BasicStroke(1));
        g.setColor(GRID);
        double extent = GRID_LINES * GRID_STEP;
        for (int i = -GRID_LINES; i <= GRID_LINES; i++) {
            line(g, i * GRID_STEP, 0, -extent, i * GRID_STEP, 0, extent, width, height, camera);
            line(g, -extent, 0, i * GRID_STEP, extent, 0, i * GRID_STEP, width, height, camera);
        }
        Point2D origin = project(0, 0, 0, width, height, camera);
        if (origin != null) {
            g.setColor(TEXT);
            g.drawString("+ origin (0, 0, 0)", (float) origin.getX() - 4, (float) origin.getY() - 6);
        }
    }

    private static void paintLegend(Graphics2D g) {
        for (int axis = 0; axis < 3; axis++) {
            g.setColor(AXIS_COLORS[axis]);
            g.fillRect(10 + 70 * axis, 8, 14, 4);
            g.setColor(TEXT);
            g.drawString(AXIS_NAMES[axis] + " axis", 28 + 70 * axis, 14);
        }
        g.drawString(String.format(Locale.ROOT, "floor grid: %.1f trackd units a square, Y up; angles in degrees",
                GRID_STEP), 10, 30);
    }

    /** The status bar: the segments' line, below the driving hints when driving. */
    static int statusHeight(Scene scene) {
        return STATUS_HEIGHT * (1 + scene.hints().size());
    }

    private static void paintControls(Graphics2D g, int width, int height, Scene scene) {
        int lampsY = lampY(height, scene);
        for (int i = 0; i < scene.buttons().length; i++) {
            g.setColor(scene.buttons()[i] != 0 ? LAMP_ON : LAMP_OFF);
            g.fillOval(lampX(i), lampsY, LAMP_SIZE, LAMP_SIZE);
            g.setColor(TEXT);
            g.drawString("B" + i + "=" + scene.buttons()[i], lampX(i), lampsY - 4);
        }
        for (int i = 0; i < scene.valuators().length; i++) {
            int centre = valuatorCentre(width);
            int length = Math.round(BAR_LENGTH * Math.max(-1, Math.min(1, scene.valuators()[i])));
            g.setColor(BAR);
            g.fillRect(Math.min(centre, centre + length), valuatorY(i), Math.abs(length), 10);
            g.setColor(TEXT);
            g.drawString(String.format(Locale.ROOT, "V%d %7.3f", i, scene.valuators()[i]),
                    centre - BAR_LENGTH - 90, valuatorY(i) + 9);
        }
    }

    static int lampX(int button) {
        return 10 + button * (LAMP_SIZE + 36);
    }

    static int lampY(int height) {
        return height - STATUS_HEIGHT - 2 * LAMP_SIZE;
    }

    static int lampY(int height, Scene scene) {
        return height - statusHeight(scene) - 2 * LAMP_SIZE;
    }

    static int valuatorCentre(int width) {
        return width - 110;
    }

    static int valuatorY(int valuator) {
        return 10 + 14 * valuator;
    }

    private static void line(Graphics2D g, double x0, double y0, double z0, double x1, double y1, double z1,
            int width, int height, Camera camera) {
        Point2D a = project(x0, y0, z0, width, height, camera);
        Point2D b = project(x1, y1, z1, width, height, camera);
        if (a != null && b != null) {
            g.draw(new Line2D.Double(a, b));
        }
    }

    /** The tool's name in every message. */
    static final String NAME = "trackd-viewer";
    static final String NO_DISPLAY = "no display: set DISPLAY, or use trackd-monitor";
    static final int EXIT_FAILURE = 1;
    static final int EXIT_BAD_USAGE = 2;

    /** The command line, read by picocli: --help and --version exit 0, bad usage says why and exits 2. */
    @Command(name = NAME, sortOptions = false, abbreviateSynopsis = true, usageHelpWidth = 100, description = {
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
            + " tells them.", ""})
    static final class Options {
        static final double LONGEST_SECONDS = 100.0 * 365 * 24 * 3600;
        static final int LONGEST_NAME = 32;

        @Option(names = "--tracker-key", paramLabel = "KEY", converter = KeyConverter.class,
                description = "System V key of the tracker segment (default 0x00001ce9 (7401); decimal, 0x hex"
                        + " or 0 octal)")
        int trackerKey = 7401;

        @Option(names = "--controller-key", paramLabel = "KEY", converter = KeyConverter.class,
                description = "System V key of the controller segment (default 0x00001cea (7402))")
        int controllerKey = 7402;

        @Option(names = "--names", paramLabel = "NAME,...",
                description = "names of sensors 0, 1, ... in order, such as head,wand: shown beside their numbers"
                        + " (1 to 32 characters each, no comma, none twice)")
        String namesText;

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
         * Reads the command line: -1 to go on, or the status to exit with (0 after --help or --version,
         * EXIT_BAD_USAGE after a message on `err`).
         */
        int parse(String[] args, PrintStream out, PrintStream err) {
            CommandLine line = new CommandLine(this);
            String release = TrackdViewer.class.getPackage().getImplementationVersion();
            line.getCommandSpec().version(NAME + " " + (release == null ? "(version unknown)" : release));
            try {
                line.parseArgs(args);
                if (line.isUsageHelpRequested()) {
                    line.usage(out);
                    return 0;
                }
                if (line.isVersionHelpRequested()) {
                    line.printVersionHelp(out);
                    return 0;
                }
                check(line);
                return -1;
            } catch (ParameterException e) {
                err.println(NAME + ": " + Printable.of(e.getMessage()));  // it quotes the arguments
                err.println("Run with --help for more information.");
                return EXIT_BAD_USAGE;
            }
        }

        /** The options passed on to the driven trackd-sim. */
        List<String> simulatorOptions() {
            List<String> passed = new ArrayList<>(List.of("--tracker-key", Integer.toString(trackerKey),
                    "--controller-key", Integer.toString(controllerKey)));
            String[][] valued = {{"--sensors", sensors}, {"--buttons", buttons}, {"--valuators", valuators},
                {"--head", head}, {"--wand", wand}, {"--valuator-step", valuatorStep}, {"--rate", rate},
                {"--record", record}};
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
    }

    /** A System V key as the other tools take it: decimal, 0x hex or 0 octal, any 32 bits but IPC_PRIVATE (0). */
    static final class KeyConverter implements ITypeConverter<Integer> {
        @Override
        public Integer convert(String text) {
            long value;
            try {
                value = Long.decode(text);
            } catch (NumberFormatException e) {
                throw new TypeConversionException("'" + text + "' is not a 32-bit System V key");
            }
            if (value < Integer.MIN_VALUE || value > 0xffffffffL) {
                throw new TypeConversionException("'" + text + "' is not a 32-bit System V key");
            }
            if (value == 0) {
                throw new TypeConversionException("key 0 is IPC_PRIVATE, which no reader can look up");
            }
            return (int) value;
        }
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
            if (!(value > 0 && value <= Options.LONGEST_SECONDS)) {
                throw new TypeConversionException("'" + text + "' is not a number of seconds above 0 and up to a century");
            }
            return value;
        }
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
        Options options = new Options();
        int parsed = options.parse(args, System.out, System.err);
        if (parsed >= 0) {
            System.exit(parsed);
        }
        String problem = startProblem();
        if (problem != null) {
            System.err.println(NAME + ": " + Printable.of(problem));
            System.exit(EXIT_FAILURE);
        }
        SimulatorDriver driver = null;
        if (options.drive) {
            String simulator = System.getProperty("trackd.sim", "trackd-sim");
            try {
                driver = SimulatorDriver.start(simulator, options.simulatorOptions());
            } catch (SimulatorDriver.StartFailure e) {
                System.exit(e.status);  // trackd-sim has said why
            } catch (IOException e) {
                System.err.println(NAME + ": " + Printable.of("cannot start " + simulator + ": " + e.getMessage()));
                System.exit(EXIT_FAILURE);
            }
            // However the viewer ends, the simulator ends too and removes its segments.
            Runtime.getRuntime().addShutdownHook(new Thread(driver::close, "trackd-sim ending"));
        }
        SimulatorDriver driven = driver;
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        if (status[0] == (TrackdJNI.TRACKER_FAILED | TrackdJNI.CONTROLLER_FAILED)) {
            System.err.println(NAME + ": neither segment could be attached: is trackd (or trackd-sim) running, and"
                    + " with these keys?");
            System.exit(EXIT_FAILURE);
        }
        SegmentPoller poller = new SegmentPoller(options.trackerKey, options.controllerKey, status[0]);
        poller.start();
        SwingUtilities.invokeAndWait(() -> {
            TrackdViewer view = new TrackdViewer(driven);
            view.setPreferredSize(DEFAULT_SIZE);
            JFrame frame = new JFrame(String.format(Locale.ROOT,
                    "%s: tracker key 0x%08x (%d), controller key 0x%08x (%d)", NAME, options.trackerKey,
                    options.trackerKey, options.controllerKey, options.controllerKey));
            frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
            frame.add(view);
            frame.pack();
            frame.setVisible(true);
            view.requestFocusInWindow();
            new Timer(FRAME_MILLIS, event -> {
                SegmentPoller.Look look = poller.latest();
                view.show(new Scene(look.matrices(), look.buttons(), look.valuators(), options.names,
                        List.of(poller.tracker.line(), poller.controller.line())));
            }).start();
        });
        if (options.duration != null) {
            Thread.sleep((long) (options.duration * 1000));
            System.exit(0);
        }
    }
}
