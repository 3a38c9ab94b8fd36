package calvora.devicedriver.j3d;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import calvora.devicedriver.TrackdJNI;
import calvora.devicedriver.room.Installation;
import calvora.devicedriver.test.Segment;
import com.sun.j3d.utils.universe.SimpleUniverse;
import java.awt.Cursor;
import java.awt.GraphicsDevice;
import java.awt.GraphicsEnvironment;
import java.awt.Point;
import java.awt.Toolkit;
import java.awt.image.BufferedImage;
import java.io.File;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import javax.imageio.ImageIO;
import javax.media.j3d.Appearance;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.GraphicsConfigTemplate3D;
import javax.media.j3d.PointArray;
import javax.media.j3d.PointAttributes;
import javax.media.j3d.Shape3D;
import javax.media.j3d.View;
import javax.swing.JFrame;
import javax.swing.SwingUtilities;
import javax.vecmath.Color3f;
import javax.vecmath.Point3f;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Java 3D, set up by HeadTracking from an installation file, against the room library's own projection: one
 * canvas per eye, each full screen on an X screen of its own (two-projector passive stereo), showing one wall of
 * the file, and each coloured point Java 3D draws, read back from Xvfb's picture of the screen, within a pixel of
 * where the library's view and projection put it for that eye, for a head pose written to a real segment.
 */
class InstallationRenderTest {
    /** How far, in pixels, a drawn point may lie from where the projection puts it. */
    private static final double TOLERANCE = 1.0;
    /** How long Java 3D may take to start and draw the tracked pose on a loaded machine. */
    private static final long PATIENCE_MILLIS = 180_000;
    private static final double NEAR = 0.05;
    private static final double FAR = 100.0;

    /**
     * A Z-up tracker measuring in feet, off the room's origin; eyes below and in front of the head sensor;
     * the front wall and the left wall of a 3 m room, 4:3 like the test's screens.
     */
    private static final String FILE = String.join("\n",
            "[tracker]", "unit = 0.3048", "origin = [0.2, 0.0, 0.3]",
            "x_axis = [1.0, 0.0, 0.0]", "y_axis = [0.0, 0.0, -1.0]", "z_axis = [0.0, 1.0, 0.0]",
            "[[sensor]]", "index = 0", "name = \"head\"", "role = \"head\"",
            "left_eye = [-0.032, -0.03, -0.06]", "right_eye = [0.032, -0.03, -0.06]",
            "[[screen]]", "name = \"front\"",
            "lower_left = [-1.5, 0.0, -1.5]", "lower_right = [1.5, 0.0, -1.5]", "upper_left = [-1.5, 2.25, -1.5]",
            "[[screen]]", "name = \"left\"",
            "lower_left = [-1.5, 0.0, 1.5]", "lower_right = [-1.5, 0.0, -1.5]", "upper_left = [-1.5, 2.25, 1.5]",
            "");

    /** The points: where on the wall (fractions across and up) and how far in front of it (metres, negative behind). */
    private static final double[][] ON_WALL = {
        {0.45, 0.45, 0.6}, {0.6, 0.55, 0.3}, {0.5, 0.5, -1.0}, {0.3, 0.65, -0.5}, {0.55, 0.7, 0.8}, {0.4, 0.3, -2.0}};
    /** One colour a point, each exact in 8 bits and none grey: the X pointer is hidden, but grey is its colour. */
    private static final float[][] COLOURS = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {0, 1, 1}, {1, 0, 1}};

    @TempDir
    Path folder;

    /** The folder of Xvfb's screen pictures (Xvfb_screen0, ...), when the test runs in with-display's Xvfb. */
    private static final String XVFB_SCREENS = System.getenv("XVFB_SCREENS");

    /** An X screen's picture, from Xvfb's XWD file of it: 32-bit true-colour pixels. */
    private static BufferedImage capture(int screen) throws Exception {
        ByteBuffer bytes = ByteBuffer.wrap(Files.readAllBytes(Path.of(XVFB_SCREENS, "Xvfb_screen" + screen)));
        int headerSize = bytes.getInt(0);
        int width = bytes.getInt(16);
        int height = bytes.getInt(20);
        int bytesPerLine = bytes.getInt(48);
        int pixels = headerSize + 12 * bytes.getInt(76);
        assertEquals(32, bytes.getInt(44), "Xvfb's screens hold 32-bit pixels");
        bytes.order(bytes.getInt(28) == 0 ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                image.setRGB(x, y, bytes.getInt(pixels + y * bytesPerLine + 4 * x) & 0xffffff);
            }
        }
        return image;
    }

    @Test
    void eachEyeOnTheFrontWallForAnOffCentreTurnedAndRolledHead() throws Exception {
        // The head at room (0.4, 1.5, 0.3), turned and rolled in the tracker's frame.
        rendersEachEyeWhereTheRoomLibraryProjects("front", new double[] {0.4, 1.5, 0.3}, 30, 60, 20);
    }

    @Test
    void eachEyeOnTheLeftWallAtNinetyDegrees() throws Exception {
        // The head off the room's centre, turned towards the left wall and pitched.
        rendersEachEyeWhereTheRoomLibraryProjects("left", new double[] {0.3, 1.6, -0.2}, 50, -20, 100);
    }

    /** The tracker's reading for a head at a room point, in feet, Z up: room (x, y, z) is tracker (x', -z', y'). */
    private static float[] trackerPoint(double[] room) {
        return new float[] {(float) ((room[0] - 0.2) / 0.3048), (float) (-(room[2] - 0.3) / 0.3048),
            (float) (room[1] / 0.3048)};
    }

    private void rendersEachEyeWhereTheRoomLibraryProjects(String wall, double[] head, float angleY, float angleX,
            float angleZ) throws Exception {
        GraphicsDevice[] outputs = GraphicsEnvironment.getLocalGraphicsEnvironment().getScreenDevices();
        assumeTrue(outputs.length >= 2 && XVFB_SCREENS != null, "one canvas per eye needs with-display's Xvfb of two"
                + " X screens; this display has " + outputs.length);
        Path file = folder.resolve("installation.toml");
        Files.write(file, FILE.getBytes(StandardCharsets.US_ASCII));
        float[] at = trackerPoint(head);
        try (Segment tracker = Segment.tracker(1); Segment controller = Segment.controller(1, 0);
                Installation room = Installation.load(file.toString())) {
            tracker.putSensor(0, at[0], at[1], at[2], angleY, angleX, angleZ);
            TrackdInputDevice device = new TrackdInputDevice(tracker.key, controller.key);
            Canvas3D[] eyes = new Canvas3D[2];
            List<JFrame> frames = new ArrayList<>();
            SimpleUniverse universe = null;
            try {
                for (int eye = 0; eye < 2; eye++) {
                    eyes[eye] = new Canvas3D(outputs[eye].getBestConfiguration(new GraphicsConfigTemplate3D()));
                    eyes[eye].setStereoEnable(false);
                    eyes[eye].setMonoscopicViewPolicy(eye == 0 ? View.LEFT_EYE_VIEW : View.RIGHT_EYE_VIEW);
                }
                universe = new SimpleUniverse(eyes[0]);
                View view = universe.getViewer().getView();
                view.addCanvas3D(eyes[1]);
                refusesScreensThatDoNotFit(view, device, room);
                assertTrue(HeadTracking.enable(view, device, room, wall, wall), "the head is tracked");
                universe.addBranchGraph(points(room, wall));
                for (int eye = 0; eye < 2; eye++) {
                    frames.add(show(eyes[eye], outputs[eye]));
                }
                float[] reader = new float[TrackdJNI.MATRIX_LENGTH];
                TrackdJNI.getMatrix(reader, 0);
                double[][][] expected = new double[2][][];
                for (int eye = 0; eye < 2; eye++) {
                    expected[eye] = project(room, wall, eye == 0 ? "left" : "right", reader, eyes[eye]);
                }
                double disparity = 0;
                for (int p = 0; p < ON_WALL.length; p++) {
                    disparity = Math.max(disparity, Math.abs(expected[0][p][0] - expected[1][p][0]));
                }
                assertTrue(disparity > 5, "the two eyes see the points apart: " + disparity + " px at most");
                for (int eye = 0; eye < 2; eye++) {
                    awaitPoints(wall + ", " + (eye == 0 ? "left" : "right") + " eye", eye, expected[eye]);
                }
            } finally {
                for (JFrame frame : frames) {
                    SwingUtilities.invokeAndWait(frame::dispose);
                }
                if (universe != null) {
                    universe.cleanup();
                }
                device.close();
            }
        }
    }

    /** Names that do not give each canvas one of the file's screens are refused, saying why, leaving the device. */
    private static void refusesScreensThatDoNotFit(View view, TrackdInputDevice device, Installation room) {
        String[][] cases = {
            {null, null, "describes 2 screens [front, left]: name the screen of each of the view's 2 canvases"},
            {"front", null, "1 screen names for the view's 2 canvases"},
            {"front", "ceiling", "no screen is named \"ceiling\" in " + room.path()}};
        for (String[] names : cases) {
            String[] given = names[0] == null ? new String[0] : names[1] == null ? new String[] {names[0]}
                    : new String[] {names[0], names[1]};
            IllegalArgumentException refused = assertThrows(IllegalArgumentException.class,
                    () -> HeadTracking.enable(view, device, room, given));
            assertTrue(refused.getMessage().contains(names[2]), refused.getMessage());
            assertNull(device.getInstallation());
        }
    }

    /** The coloured points, in room coordinates (the scene is the room at the identity view-platform transform). */
    private static BranchGroup points(Installation room, String wall) {
        double[] c = room.screenCorners(room.screen(wall), null);
        PointArray array = new PointArray(ON_WALL.length, PointArray.COORDINATES | PointArray.COLOR_3);
        for (int p = 0; p < ON_WALL.length; p++) {
            array.setCoordinate(p, new Point3f(roomPoint(c, ON_WALL[p])));
            array.setColor(p, new Color3f(COLOURS[p]));
        }
        Appearance look = new Appearance();
        look.setPointAttributes(new PointAttributes(3.0f, false));
        BranchGroup scene = new BranchGroup();
        scene.addChild(new Shape3D(array, look));
        return scene;
    }

    /** A point given on a wall of corners c: lower-left + u across + v up + d out of the wall. */
    private static float[] roomPoint(double[] c, double[] uvd) {
        double[] across = {c[3] - c[0], c[4] - c[1], c[5] - c[2]};
        double[] up = {c[6] - c[0], c[7] - c[1], c[8] - c[2]};
        double[] out = {across[1] * up[2] - across[2] * up[1], across[2] * up[0] - across[0] * up[2],
            across[0] * up[1] - across[1] * up[0]};
        double length = Math.sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        float[] point = new float[3];
        for (int i = 0; i < 3; i++) {
            point[i] = (float) (c[i] + uvd[0] * across[i] + uvd[1] * up[i] + uvd[2] * out[i] / length);
        }
        return point;
    }

    /**
     * Where the room library's view and projection put each point for the eye, in the canvas's pixels: x from
     * the left edge, y from the top, continuous.
     */
    private static double[][] project(Installation room, String wall, String eye, float[] reader, Canvas3D canvas) {
        double[] position = room.eyePosition(eye, reader, null);
        double[] view = new double[16];
        double[] projection = new double[16];
        room.viewProjection(wall, position, NEAR, FAR, view, projection);
        double[] c = room.screenCorners(room.screen(wall), null);
        int w = canvas.getWidth();
        int h = canvas.getHeight();
        double[][] pixels = new double[ON_WALL.length][];
        for (int p = 0; p < ON_WALL.length; p++) {
            float[] point = roomPoint(c, ON_WALL[p]);
            double[] clip = times(projection, times(view, new double[] {point[0], point[1], point[2], 1}));
            double x = (clip[0] / clip[3] + 1) / 2 * w;
            double y = (1 - clip[1] / clip[3]) / 2 * h;
            assertTrue(clip[3] > 0 && x > 5 && x < w - 5 && y > 5 && y < h - 5,
                    "point " + p + " lies well inside the " + eye + " eye's canvas: " + x + ", " + y);
            pixels[p] = new double[] {x, y};
        }
        return pixels;
    }

    /** A column-major 4 x 4 matrix times a column vector. */
    private static double[] times(double[] m, double[] v) {
        double[] out = new double[4];
        for (int row = 0; row < 4; row++) {
            for (int column = 0; column < 4; column++) {
                out[row] += m[column * 4 + row] * v[column];
            }
        }
        return out;
    }

    /** The canvas full screen on its X screen, as an installation shows it. */
    private static JFrame show(Canvas3D canvas, GraphicsDevice output) throws Exception {
        JFrame[] made = new JFrame[1];
        SwingUtilities.invokeAndWait(() -> {
            JFrame frame = new JFrame(output.getDefaultConfiguration());
            frame.setUndecorated(true);
            Cursor none = Toolkit.getDefaultToolkit().createCustomCursor(
                    new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), new Point(), "none");
            frame.setCursor(none);
            canvas.setCursor(none);
            frame.add(canvas);
            frame.setBounds(output.getDefaultConfiguration().getBounds());
            frame.setVisible(true);
            made[0] = frame;
        });
        return made[0];
    }

    /**
     * Captures the X screen until every point is drawn within the tolerance of where it is expected, the
     * centre of its pixels measured; fails with the last differences and keeps the frame when it takes too long.
     */
    private static void awaitPoints(String what, int screen, double[][] expected) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MILLIS);
        List<String> problems = new ArrayList<>();
        BufferedImage frame = null;
        while (System.nanoTime() < deadline) {
            frame = capture(screen);
            problems.clear();
            double off = 0;
            for (int p = 0; p < expected.length; p++) {
                double[] seen = centre(frame, COLOURS[p]);
                if (seen == null) {
                    problems.add("point " + p + " is not drawn; expected at " + format(expected[p]));
                    continue;
                }
                double distance = Math.max(Math.abs(seen[0] - expected[p][0]), Math.abs(seen[1] - expected[p][1]));
                off = Math.max(off, distance);
                if (distance > TOLERANCE) {
                    problems.add("point " + p + " is drawn at " + format(seen) + ", expected at " + format(expected[p]));
                }
            }
            if (problems.isEmpty()) {
                System.out.printf("%s: %d points, each within %.2f px of the room library's projection%n", what,
                        expected.length, off);
                return;
            }
            Thread.sleep(100);
        }
        File kept = File.createTempFile("trackd-j3d-stereo", ".png");
        ImageIO.write(frame, "png", kept);
        fail(what + " (kept in " + kept + "): " + String.join("; ", problems));
    }

    /** The centre of the pixels of exactly the colour, pixel centres at half-integers; null when there are none. */
    private static double[] centre(BufferedImage frame, float[] colour) {
        int rgb = (Math.round(colour[0] * 255) << 16) | (Math.round(colour[1] * 255) << 8) | Math.round(colour[2] * 255);
        double x = 0;
        double y = 0;
        int count = 0;
        for (int row = 0; row < frame.getHeight(); row++) {
            for (int column = 0; column < frame.getWidth(); column++) {
                if ((frame.getRGB(column, row) & 0xffffff) == rgb) {
                    x += column + 0.5;
                    y += row + 0.5;
                    count++;
                }
            }
        }
        return count == 0 ? null : new double[] {x / count, y / count};
    }

    private static String format(double[] at) {
        return String.format("(%.2f, %.2f)", at[0], at[1]);
    }
}
