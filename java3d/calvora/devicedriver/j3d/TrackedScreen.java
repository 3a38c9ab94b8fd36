package calvora.devicedriver.j3d;

import javax.media.j3d.Transform3D;
import javax.vecmath.Matrix3d;
import javax.vecmath.Point3d;
import javax.vecmath.Vector3d;

/**
 * Where a screen's image lies in the tracker's space: three of its corners as the tracker measures them,
 * and the tracker's unit in metres. From these come what Java 3D needs for head-coupled perspective:
 * the screen's physical width and height and its {@code TrackerBaseToImagePlate} transform. (For an
 * installation file, {@link HeadTracking} makes one per screen from the file's room corners, in metres: the
 * device's tracker base is then the room.)
 *
 * <p>The image plate has its origin at the image's lower-left corner, x to the right along the lower
 * edge, y up along the left edge and z out of the screen towards the viewer, in metres. The corners are
 * those of the whole image the display shows (its full resolution), seen from in front.
 */
public final class TrackedScreen {
    /** How far from square the corners may be: the cosine of the angle between the edges. */
    private static final double SQUARENESS = 1e-3;

    private final Point3d lowerLeft;
    private final Point3d lowerRight;
    private final Point3d upperLeft;
    private final double unitInMetres;

    /**
     * A screen given by three corners in tracker coordinates, in the tracker's unit.
     *
     * @param lowerLeft the image's lower-left corner
     * @param lowerRight its lower-right corner
     * @param upperLeft its upper-left corner
     * @param unitInMetres the tracker's unit in metres: 1 for metres, 0.3048 for feet, 0.01 for centimetres
     * @throws IllegalArgumentException unless the corners make a rectangle with a right angle at the
     *     lower-left corner, and the unit is a length above 0
     */
    public TrackedScreen(Point3d lowerLeft, Point3d lowerRight, Point3d upperLeft, double unitInMetres) {
        if (!(unitInMetres > 0 && unitInMetres < Double.POSITIVE_INFINITY)) {
            throw new IllegalArgumentException("TrackedScreen: the unit " + unitInMetres + " is not a length in metres"
                    + " above 0");
        }
        this.lowerLeft = new Point3d(lowerLeft);
        this.lowerRight = new Point3d(lowerRight);
        this.upperLeft = new Point3d(upperLeft);
        this.unitInMetres = unitInMetres;
        Vector3d across = edge(lowerRight);
        Vector3d up = edge(upperLeft);
        if (!(across.length() > 0 && up.length() > 0)) {
            throw new IllegalArgumentException("TrackedScreen: the corners " + lowerLeft + ", " + lowerRight + " and "
                    + upperLeft + " do not span a screen (an edge is empty or not finite)");
        }
        double cosine = across.dot(up) / (across.length() * up.length());
        if (!(Math.abs(cosine) < SQUARENESS)) {
            throw new IllegalArgumentException(String.format("TrackedScreen: the lower and left edges meet at %.2f"
                    + " degrees, not at a right angle: give the lower-left, lower-right and upper-left corners",
                    Math.toDegrees(Math.acos(Math.max(-1, Math.min(1, cosine))))));
        }
    }

    private Vector3d edge(Point3d corner) {
        Vector3d edge = new Vector3d();
        edge.sub(corner, lowerLeft);
        return edge;
    }

    /** The image's lower-left corner in the tracker's coordinates and unit. */
    public Point3d getLowerLeft() {
        return new Point3d(lowerLeft);
    }

    /** The image's lower-right corner in the tracker's coordinates and unit. */
    public Point3d getLowerRight() {
        return new Point3d(lowerRight);
    }

    /** The image's upper-left corner in the tracker's coordinates and unit. */
    public Point3d getUpperLeft() {
        return new Point3d(upperLeft);
    }

    /** The image's width in metres. */
    public double getWidthInMetres() {
        return edge(lowerRight).length() * unitInMetres;
    }

    /** The image's height in metres. */
    public double getHeightInMetres() {
        return edge(upperLeft).length() * unitInMetres;
    }

    /** The tracker's unit in metres. */
    public double getUnitInMetres() {
        return unitInMetres;
    }

    /** The given point of tracker space (in the tracker's unit) in metres, the unit Java 3D's sensors use. */
    public Point3d inMetres(Point3d trackerPoint) {
        Point3d metres = new Point3d(trackerPoint);
        metres.scale(unitInMetres);
        return metres;
    }

    /** The image's centre in the tracker's coordinates and unit. */
    public Point3d getCentre() {
        Point3d centre = new Point3d(lowerRight);
        centre.add(upperLeft);
        centre.scale(0.5);
        return centre;
    }

    /**
     * A viewpoint straight in front of the image's centre, as far from it as the image is wide, in the
     * tracker's coordinates and unit: where a fixed eye sees the whole screen at about 53 degrees across.
     */
    public Point3d getNominalEye() {
        Vector3d out = outward();
        out.scale(edge(lowerRight).length());
        Point3d eye = getCentre();
        eye.add(out);
        return eye;
    }

    private Vector3d outward() {
        Vector3d across = edge(lowerRight);
        across.normalize();
        Vector3d up = edge(upperLeft);
        up.normalize();
        Vector3d out = new Vector3d();
        out.cross(across, up);
        out.normalize();
        return out;
    }

    /**
     * The transform from the tracker base, in metres, to the image plate: the value of {@code Screen3D}'s
     * {@code TrackerBaseToImagePlate} and of the configuration files' {@code ScreenProperty} of that name.
     * The left edge is taken square to the lower edge, within the image plane.
     */
    public Transform3D getTrackerBaseToImagePlate() {
        Vector3d across = edge(lowerRight);
        across.normalize();
        Vector3d out = outward();
        Vector3d up = new Vector3d();
        up.cross(out, across);
        // The rows of the rotation are the image plate's axes in tracker coordinates.
        Matrix3d rotation = new Matrix3d();
        rotation.setRow(0, across);
        rotation.setRow(1, up);
        rotation.setRow(2, out);
        Vector3d translation = new Vector3d(inMetres(lowerLeft));
        rotation.transform(translation);
        translation.negate();
        return new Transform3D(rotation, translation, 1.0);
    }
}
