package calvora.devicedriver.demo;

import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Font;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.geom.Line2D;
import java.awt.geom.Point2D;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * The viewer's picture: each sensor's pose as a coordinate frame (X red, Y green, Z blue) in a perspective
 * view from the bridge's column-vector matrices, labelled with its number and name, with its position and
 * angles in a table, the buttons as labelled lamps, the valuators as labelled bars, and a status bar with
 * each segment's line; with an installation, in the room, with its screens' outlines, both eyes and each eye's
 * frustum to the selected screen; painted on any Graphics2D, so that it can be painted headless too.
 */
final class ViewerPainter {
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
    static final String HINT = "drag: orbit, wheel: zoom";
    /** Driving: the selected sensor has a ring of this radius about its origin, clear of its label. */
    static final Color SELECTED = Color.ORANGE;
    static final int RING = 9;
    /** The room: the screens' outlines (the selected one brighter), each eye and its frustum to the selected screen. */
    static final Color SCREEN = new Color(0, 130, 130);
    static final Color SCREEN_SELECTED = Color.CYAN;
    static final Color[] EYE_COLORS = {Color.MAGENTA, Color.WHITE};
    static final Color[] FRUSTUM_COLORS = {new Color(140, 0, 140), new Color(140, 140, 140)};
    static final int EYE_RADIUS = 4;

    private ViewerPainter() {
    }

    /** Projects a point onto a view of the given size from the starting camera; null when behind the eye. */
    static Point2D project(double x, double y, double z, int width, int height) {
        return project(x, y, z, width, height, ViewerCamera.START);
    }

    static Point2D project(double x, double y, double z, int width, int height, ViewerCamera camera) {
        double yaw = Math.toRadians(camera.yawDegrees());
        double pitch = Math.toRadians(camera.pitchDegrees());
        // The eye's offset from the target, and the camera's right, up and forward directions.
        double[] back = {Math.sin(yaw) * Math.cos(pitch), Math.sin(pitch), Math.cos(yaw) * Math.cos(pitch)};
        double[] right = {Math.cos(yaw), 0, -Math.sin(yaw)};
        double[] up = {-Math.sin(yaw) * Math.sin(pitch), Math.cos(pitch), -Math.cos(yaw) * Math.sin(pitch)};
        double[] p = {x - camera.distance() * back[0], y - ViewerCamera.TARGET_Y - camera.distance() * back[1],
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

    static void paintScene(Graphics2D g, int width, int height, ViewerScene scene) {
        paintScene(g, width, height, scene, ViewerCamera.START);
    }

    static void paintScene(Graphics2D g, int width, int height, ViewerScene scene, ViewerCamera camera) {
        g.setRenderingHint(RenderingHints.KEY_TEXT_ANTIALIASING, RenderingHints.VALUE_TEXT_ANTIALIAS_ON);
        g.setFont(FONT);
        g.setColor(Color.BLACK);
        g.fillRect(0, 0, width, height);
        paintGrid(g, width, height, camera);
        if (scene.room() != null) {
            paintScreens(g, width, height, scene.room(), camera);
        }
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
        if (scene.room() != null) {
            paintEyes(g, width, height, scene.room(), camera);
        }
        g.setColor(TEXT);
        List<String> table = table(scene);
        for (int row = 0; row < table.size(); row++) {
            g.drawString(table.get(row), 10, TABLE_Y + 12 * row);
        }
        paintLegend(g, scene.room() != null);
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
        return sensor < names.size() && !names.get(sensor).isEmpty() ? sensor + " " + names.get(sensor)
                : Integer.toString(sensor);
    }

    /** A screen's four corners: the file's lower-left, lower-right and upper-left, and the upper-right they imply. */
    static double[][] corners(double[] c) {
        return new double[][] {{c[0], c[1], c[2]}, {c[3], c[4], c[5]},
            {c[3] + c[6] - c[0], c[4] + c[7] - c[1], c[5] + c[8] - c[2]}, {c[6], c[7], c[8]}};
    }

    private static void paintScreens(Graphics2D g, int width, int height, ViewerScene.Room room, ViewerCamera camera) {
        g.setStroke(new BasicStroke(2));
        for (int s = 0; s < room.corners().size(); s++) {
            double[][] c = corners(room.corners().get(s));
            g.setColor(s == room.selected() ? SCREEN_SELECTED : SCREEN);
            for (int i = 0; i < 4; i++) {
                double[] a = c[i];
                double[] b = c[(i + 1) % 4];
                line(g, a[0], a[1], a[2], b[0], b[1], b[2], width, height, camera);
            }
            Point2D label = project(c[3][0], c[3][1], c[3][2], width, height, camera);
            if (label != null) {
                g.drawString(room.screenNames().get(s), (float) label.getX() + 4, (float) label.getY() + 14);
            }
        }
    }

    /** Each eye with its frustum: lines from it to the selected screen's corners, under the eye's dot. */
    private static void paintEyes(Graphics2D g, int width, int height, ViewerScene.Room room, ViewerCamera camera) {
        g.setStroke(new BasicStroke(1));
        boolean screen = room.selected() >= 0 && room.selected() < room.corners().size();
        for (int eye = 0; eye < room.eyes().length && screen; eye++) {
            double[] e = room.eyes()[eye];
            g.setColor(FRUSTUM_COLORS[eye]);
            for (double[] c : corners(room.corners().get(room.selected()))) {
                line(g, e[0], e[1], e[2], c[0], c[1], c[2], width, height, camera);
            }
        }
        for (int eye = 0; eye < room.eyes().length; eye++) {
            double[] e = room.eyes()[eye];
            Point2D at = project(e[0], e[1], e[2], width, height, camera);
            if (at != null) {
                g.setColor(EYE_COLORS[eye]);
                g.fillOval((int) Math.round(at.getX()) - EYE_RADIUS, (int) Math.round(at.getY()) - EYE_RADIUS,
                        2 * EYE_RADIUS + 1, 2 * EYE_RADIUS + 1);
            }
        }
    }

    /** The table at the top left: a heading, then each sensor's label, position and angles; none without sensors. */
    static List<String> table(ViewerScene scene) {
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

    static String statusText(ViewerScene scene) {
        return String.join("   |   ", scene.status());
    }

    private static void paintGrid(Graphics2D g, int width, int height, ViewerCamera camera) {
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

    private static void paintLegend(Graphics2D g, boolean room) {
        for (int axis = 0; axis < 3; axis++) {
            g.setColor(AXIS_COLORS[axis]);
            g.fillRect(10 + 70 * axis, 8, 14, 4);
            g.setColor(TEXT);
            g.drawString(AXIS_NAMES[axis] + " axis", 28 + 70 * axis, 14);
        }
        g.drawString(String.format(Locale.ROOT, room
                ? "the room: floor grid %.1f m a square, Y up; angles in degrees; eyes: left magenta, right white"
                : "floor grid: %.1f trackd units a square, Y up; angles in degrees", GRID_STEP), 10, 30);
    }

    /** The status bar: the segments' line, below the driving hints when driving. */
    static int statusHeight(ViewerScene scene) {
        return STATUS_HEIGHT * (1 + scene.hints().size());
    }

    private static void paintControls(Graphics2D g, int width, int height, ViewerScene scene) {
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

    static int lampY(int height, ViewerScene scene) {
        return height - statusHeight(scene) - 2 * LAMP_SIZE;
    }

    static int valuatorCentre(int width) {
        return width - 110;
    }

    static int valuatorY(int valuator) {
        return 10 + 14 * valuator;
    }

    private static void line(Graphics2D g, double x0, double y0, double z0, double x1, double y1, double z1,
            int width, int height, ViewerCamera camera) {
        Point2D a = project(x0, y0, z0, width, height, camera);
        Point2D b = project(x1, y1, z1, width, height, camera);
        if (a != null && b != null) {
            g.draw(new Line2D.Double(a, b));
        }
    }
}
