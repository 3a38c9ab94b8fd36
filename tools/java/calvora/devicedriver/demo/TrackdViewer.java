package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Font;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.awt.event.MouseWheelEvent;
import java.awt.geom.Line2D;
import java.awt.geom.Point2D;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.SwingUtilities;
import javax.swing.Timer;

/**
 * Draws each sensor's pose as a coordinate frame (X red, Y green, Z blue) in a perspective view from
 * the bridge's column-vector matrices, with its position and angles in numbers beside it, the buttons
 * as labelled lamps, the valuators as labelled bars, and a status bar with each segment's key, update
 * rate and health. Drag to orbit the view, turn the wheel to zoom.
 *
 * <p>Arguments as for {@link TrackdDemo}.
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
    static final double SECONDS_BEFORE_FROZEN = 2.0;
    static final double DEGREES_PER_PIXEL = 0.4;
    static final double ZOOM_PER_NOTCH = 1.1;

    /** What one frame shows: matrices in column-vector form, 16 floats each, and one status line per segment. */
    record Scene(float[][] matrices, int[] buttons, float[] valuators, List<String> status) {
        Scene(float[][] matrices, int[] buttons, float[] valuators) {
            this(matrices, buttons, valuators, List.of());
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

    TrackdViewer() {
        MouseAdapter mouse = new MouseAdapter() {
            @Override
            public void mousePressed(MouseEvent event) {
                dragFrom = event.getPoint();
            }

            @Override
            public void mouseDragged(MouseEvent event) {
                if (dragFrom != null) {
                    camera = camera.orbit(-(event.getX() - dragFrom.getX()) * DEGREES_PER_PIXEL,
                            (event.getY() - dragFrom.getY()) * DEGREES_PER_PIXEL);
                    dragFrom = event.getPoint();
                    repaint();
                }
            }

            @Override
            public void mouseWheelMoved(MouseWheelEvent event) {
                camera = camera.zoom(Math.pow(ZOOM_PER_NOTCH, event.getPreciseWheelRotation()));
                repaint();
            }
        };
        addMouseListener(mouse);
        addMouseMotionListener(mouse);
        addMouseWheelListener(mouse);
    }

    void show(Scene next) {
        scene = next;
        repaint();
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
        g.setFont(new Font(Font.MONOSPACED, Font.PLAIN, 11));
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
            g.setColor(TEXT);
            if (origin != null) {
                g.drawString(Integer.toString(sensor), (float) origin.getX() - 14, (float) origin.getY() + 14);
            }
            double[] a = angles(m);
            g.drawString(String.format(Locale.ROOT, "%-3d %8.3f %8.3f %8.3f  %7.1f %7.1f %7.1f", sensor, m[3], m[7],
                    m[11], a[0], a[1], a[2]), 10, TABLE_Y + 12 * (sensor + 1));
        }
        if (scene.matrices().length > 0) {
            g.drawString(String.format(Locale.ROOT, "%-3s %8s %8s %8s  %7s %7s %7s", "#", "x", "y", "z", "angle X",
                    "angle Y", "angle Z"), 10, TABLE_Y);
        }
        paintLegend(g);
        paintControls(g, width, height, scene);
        g.setColor(new Color(25, 25, 25));
        g.fillRect(0, height - STATUS_HEIGHT, width, STATUS_HEIGHT);
        g.setColor(TEXT);
        g.drawString(String.join("   |   ", scene.status()) + "   |   drag: orbit, wheel: zoom", 6, height - 6);
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
            g.fillRect(10 + 60 * axis, 8, 14, 4);
            g.setColor(TEXT);
            g.drawString(AXIS_NAMES[axis] + " axis", 28 + 60 * axis, 14);
        }
        g.drawString(String.format(Locale.ROOT, "floor grid: %.1f trackd units a square, Y up; angles in degrees",
                GRID_STEP), 10, 30);
    }

    private static void paintControls(Graphics2D g, int width, int height, Scene scene) {
        int lampsY = height - STATUS_HEIGHT - 2 * LAMP_SIZE;
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

    /** One segment's health as the status bar shows it: attached or not, updating or frozen, replaced. */
    static final class Health {
        private final String kind;
        private final int key;
        private int id;
        private int named;
        private boolean attached;
        private Object last;
        private long lastChange = System.nanoTime();
        private int changes;
        private int polls;
        private double rate;
        private boolean rateIsLowerBound;
        private long windowStart = System.nanoTime();

        Health(String kind, int key, boolean attached) {
            this.kind = kind;
            this.key = key;
            this.attached = attached;
            this.id = attached ? SegmentTable.idOf(key) : -1;
            this.named = id;
        }

        void observe(Object content) {
            long now = System.nanoTime();
            if (last == null || !Arrays.deepEquals(new Object[] {last}, new Object[] {content})) {
                changes += last == null ? 0 : 1;
                lastChange = now;
                last = content;
            }
            polls++;
            if (now - windowStart >= 1_000_000_000L) {
                rate = changes * 1e9 / (now - windowStart);
                // A change at every poll: the segment may change faster than the viewer looks.
                rateIsLowerBound = changes >= polls - 1;
                changes = 0;
                polls = 0;
                windowStart = now;
            }
        }

        /**
         * Looks the key up, once a frame; true when it now names another segment than the one attached,
         * which the caller then re-attaches.
         */
        boolean replaced() {
            named = SegmentTable.idOf(key);
            return named >= 0 && named != id;
        }

        void reattached(boolean ok) {
            attached = ok;
            id = ok ? named : -1;
            last = null;
        }

        String line() {
            String name = kind + " key " + String.format(Locale.ROOT, "0x%08x (%d)", key, key) + ": ";
            if (!attached) {
                return name + "NOT ATTACHED";
            }
            if (named != id) {
                return name + "REMOVED: the key no longer names this segment";
            }
            double quiet = (System.nanoTime() - lastChange) / 1e9;
            if (quiet >= SECONDS_BEFORE_FROZEN) {
                return name + String.format(Locale.ROOT, "FROZEN: no change for %.0f s", quiet);
            }
            return name + String.format(Locale.ROOT, "live, %s%.0f Hz", rateIsLowerBound ? "at least " : "", rate);
        }
    }

    public static void main(String[] args) {
        TrackdDemo.Options options = TrackdDemo.Options.parse(args, "TrackdViewer",
                "Shows each tracked sensor as a coordinate frame (X red, Y green, Z blue) with its position and\n"
                + "angles, the buttons as lamps and the valuators as bars, and each segment's health in a status\n"
                + "bar. Drag to orbit the view, turn the wheel to zoom. Needs a display.");
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        if (status[0] == (TrackdJNI.TRACKER_FAILED | TrackdJNI.CONTROLLER_FAILED)) {
            System.err.println("TrackdViewer: neither segment could be attached");
            System.exit(1);
        }
        Health tracker = new Health("tracker", options.trackerKey, (status[0] & TrackdJNI.TRACKER_FAILED) == 0);
        Health controller = new Health("controller", options.controllerKey,
                (status[0] & TrackdJNI.CONTROLLER_FAILED) == 0);
        SwingUtilities.invokeLater(() -> {
            TrackdViewer view = new TrackdViewer();
            view.setPreferredSize(new Dimension(900, 650));
            JFrame frame = new JFrame("trackd viewer: tracker key " + options.trackerKey + ", controller key "
                    + options.controllerKey);
            frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
            frame.add(view);
            frame.pack();
            frame.setVisible(true);
            long start = System.nanoTime();
            new Timer(33, event -> {
                // When trackd replaces a segment, attach the new one: the bridge's handles are process-wide.
                if (tracker.replaced() || controller.replaced()) {
                    TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
                    tracker.reattached((status[0] & TrackdJNI.TRACKER_FAILED) == 0);
                    controller.reattached((status[0] & TrackdJNI.CONTROLLER_FAILED) == 0);
                }
                float[][] matrices = new float[tracker.attached ? TrackdDemo.Options.shown(TrackdJNI.getNumSensors())
                        : 0][];
                for (int i = 0; i < matrices.length; i++) {
                    matrices[i] = new float[TrackdJNI.MATRIX_LENGTH];
                    TrackdJNI.getMatrix(matrices[i], i);
                }
                int[] buttons = new int[controller.attached ? TrackdDemo.Options.shown(TrackdJNI.getNumButtons()) : 0];
                for (int i = 0; i < buttons.length; i++) {
                    buttons[i] = TrackdJNI.getButton(i);
                }
                float[] valuators = new float[controller.attached
                        ? TrackdDemo.Options.shown(TrackdJNI.getNumValuators()) : 0];
                for (int i = 0; i < valuators.length; i++) {
                    valuators[i] = TrackdJNI.getValuator(i);
                }
                tracker.observe(matrices);
                controller.observe(new Object[] {buttons, valuators});
                List<String> lines = new ArrayList<>(List.of(tracker.line(), controller.line()));
                view.show(new Scene(matrices, buttons, valuators, lines));
                if (options.seconds > 0 && System.nanoTime() - start > options.seconds * 1e9) {
                    System.exit(0);
                }
            }).start();
        });
    }
}
