package calvora.devicedriver.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.image.BufferedImage;
import org.junit.jupiter.api.Test;

/** The viewer's drawing, painted without a display into an image and checked pixel by pixel. */
class TrackdViewerTest {
    private static final int WIDTH = 400;
    private static final int HEIGHT = 300;

    private static BufferedImage paint(float[] pose, int[] buttons, float[] valuators) {
        BufferedImage image = new BufferedImage(WIDTH, HEIGHT, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        TrackdViewer.paintScene(g, WIDTH, HEIGHT, new TrackdViewer.Scene(new float[][] {pose}, buttons, valuators));
        g.dispose();
        return image;
    }

    private static void assertColour(Color expected, BufferedImage image, int x, int y) {
        assertEquals(Integer.toHexString(expected.getRGB() & 0xFFFFFF), Integer.toHexString(image.getRGB(x, y) & 0xFFFFFF),
                "pixel " + x + ", " + y);
    }

    @Test
    void drawsTheFrameOfAnUnrotatedSensorAtTheCentre() {
        System.setProperty("java.awt.headless", "true");
        // Column-vector form, translation (0, 1.3, 0): straight ahead of the eye.
        float[] pose = {1, 0, 0, 0, 0, 1, 0, 1.3f, 0, 0, 1, 0, 0, 0, 0, 1};
        BufferedImage image = paint(pose, new int[] {1, 0}, new float[] {0.5f});
        int pixelsPerUnit = (int) (TrackdViewer.FOCAL * HEIGHT / TrackdViewer.EYE_Z);
        int half = (int) (TrackdViewer.AXIS_LENGTH * pixelsPerUnit / 2);
        assertColour(Color.RED, image, WIDTH / 2 + half, HEIGHT / 2);
        assertColour(Color.GREEN, image, WIDTH / 2, HEIGHT / 2 - half);
        assertColour(TrackdViewer.LAMP_ON, image, TrackdViewer.lampX(0) + 8, TrackdViewer.lampY(HEIGHT) + 8);
        assertColour(TrackdViewer.LAMP_OFF, image, TrackdViewer.lampX(1) + 8, TrackdViewer.lampY(HEIGHT) + 8);
        assertColour(TrackdViewer.BAR, image, TrackdViewer.valuatorCentre(WIDTH) + 25, TrackdViewer.valuatorY(0) + 5);
        assertColour(Color.BLACK, image, TrackdViewer.valuatorCentre(WIDTH) - 25, TrackdViewer.valuatorY(0) + 5);
    }

    @Test
    void recoversTheAnglesAndOrbitsAboutTheHead() {
        // Z x X x Y for row vectors, transposed into the column-vector form: X 10, Y 20, Z 30 degrees.
        double x = Math.toRadians(10);
        double y = Math.toRadians(20);
        double z = Math.toRadians(30);
        double[][] row = {
            {Math.cos(z) * Math.cos(y) + Math.sin(z) * Math.sin(x) * Math.sin(y), Math.sin(z) * Math.cos(x),
                -Math.cos(z) * Math.sin(y) + Math.sin(z) * Math.sin(x) * Math.cos(y)},
            {-Math.sin(z) * Math.cos(y) + Math.cos(z) * Math.sin(x) * Math.sin(y), Math.cos(z) * Math.cos(x),
                Math.sin(z) * Math.sin(y) + Math.cos(z) * Math.sin(x) * Math.cos(y)},
            {Math.cos(x) * Math.sin(y), -Math.sin(x), Math.cos(x) * Math.cos(y)}};
        float[] m = new float[16];
        for (int i = 0; i < 3; i++) {
            for (int j = 0; j < 3; j++) {
                m[4 * j + i] = (float) row[i][j];
            }
        }
        double[] angles = TrackdViewer.angles(m);
        assertEquals(10, angles[0], 1e-4);
        assertEquals(20, angles[1], 1e-4);
        assertEquals(30, angles[2], 1e-4);

        // Orbited a quarter turn, the eye looks along -X at the head: a point behind it (-Z) shows to the right.
        TrackdViewer.Camera side = TrackdViewer.Camera.START.orbit(90, 0);
        assertEquals(WIDTH / 2.0, TrackdViewer.project(0, TrackdViewer.TARGET_Y, 0, WIDTH, HEIGHT, side).getX(), 1e-9);
        assertTrue(TrackdViewer.project(0, TrackdViewer.TARGET_Y, -0.5, WIDTH, HEIGHT, side).getX() > WIDTH / 2.0);
    }

    @Test
    void turnsTheFrameWithTheMatrix() {
        // A quarter turn about Y: the Z axis now points along +X, the X axis away from the eye.
        float[] pose = {0, 0, 1, 0, 0, 1, 0, 1.3f, -1, 0, 0, 0, 0, 0, 0, 1};
        BufferedImage image = paint(pose, new int[0], new float[0]);
        int half = (int) (TrackdViewer.AXIS_LENGTH * TrackdViewer.FOCAL * HEIGHT / TrackdViewer.EYE_Z / 2);
        assertColour(Color.BLUE, image, WIDTH / 2 + half, HEIGHT / 2);
        assertColour(Color.GREEN, image, WIDTH / 2, HEIGHT / 2 - half);
    }
}
