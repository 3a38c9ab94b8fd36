package calvora.devicedriver.j3d;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import javax.media.j3d.Transform3D;
import javax.vecmath.Point3d;
import org.junit.jupiter.api.Test;

/** A screen's corners in tracker space become Java 3D's image plate: size in metres, and the transform into it. */
class TrackedScreenTest {
    private static Point3d onPlate(TrackedScreen screen, Point3d trackerPoint) {
        Point3d point = screen.inMetres(trackerPoint);
        Transform3D toPlate = screen.getTrackerBaseToImagePlate();
        toPlate.transform(point);
        return point;
    }

    private static void assertPoint(Point3d expected, Point3d actual) {
        assertTrue(expected.distance(actual) < 1e-9, "expected " + expected + ", got " + actual);
    }

    /** A side wall of a room measured in feet: the corners land on the plate's origin and axes, in metres. */
    @Test
    void theCornersLandOnTheImagePlatesAxesInMetres() {
        Point3d lowerLeft = new Point3d(-5, 0, 5);
        Point3d lowerRight = new Point3d(-5, 0, -5);
        Point3d upperLeft = new Point3d(-5, 7.5, 5);
        TrackedScreen wall = new TrackedScreen(lowerLeft, lowerRight, upperLeft, 0.3048);
        assertEquals(3.048, wall.getWidthInMetres(), 1e-12);
        assertEquals(2.286, wall.getHeightInMetres(), 1e-12);
        assertPoint(new Point3d(0, 0, 0), onPlate(wall, lowerLeft));
        assertPoint(new Point3d(3.048, 0, 0), onPlate(wall, lowerRight));
        assertPoint(new Point3d(0, 2.286, 0), onPlate(wall, upperLeft));
        // The room's middle is in front of the wall: out of it, towards the viewer.
        assertPoint(new Point3d(1.524, 0, 1.524), onPlate(wall, new Point3d(0, 0, 0)));
        assertPoint(new Point3d(-5 + 10, 3.75, 0), wall.getNominalEye());
    }

    @Test
    void cornersThatMakeNoRectangleAreRefused() {
        Point3d origin = new Point3d(0, 0, 0);
        IllegalArgumentException skewed = assertThrows(IllegalArgumentException.class,
                () -> new TrackedScreen(origin, new Point3d(2, 0, 0), new Point3d(0.5, 1.5, 0), 1));
        assertTrue(skewed.getMessage().contains("not at a right angle"), skewed.getMessage());
        assertThrows(IllegalArgumentException.class,
                () -> new TrackedScreen(origin, origin, new Point3d(0, 1, 0), 1));
        assertThrows(IllegalArgumentException.class,
                () -> new TrackedScreen(origin, new Point3d(Double.NaN, 0, 0), new Point3d(0, 1, 0), 1));
        assertThrows(IllegalArgumentException.class,
                () -> new TrackedScreen(origin, new Point3d(1, 0, 0), new Point3d(0, 1, 0), 0));
    }
}
