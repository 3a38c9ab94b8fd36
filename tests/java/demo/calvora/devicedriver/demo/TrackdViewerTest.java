package calvora.devicedriver.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;

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
        assertColour(TrackdViewer.LAMP_ON, image, TrackdViewer.lampX(0) + 8, HEIGHT - 2 * 16 + 8);
        assertColour(TrackdViewer.LAMP_OFF, image, TrackdViewer.lampX(1) + 8, HEIGHT - 2 * 16 + 8);
        assertColour(TrackdViewer.BAR, image, WIDTH - 110 + 25, 15);
        assertColour(Color.BLACK, image, WIDTH - 110 - 25, 15);
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
