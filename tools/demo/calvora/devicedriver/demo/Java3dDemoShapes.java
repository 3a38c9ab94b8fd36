package calvora.devicedriver.demo;

import calvora.devicedriver.j3d.TrackedScreen;
import com.sun.j3d.utils.geometry.ColorCube;
import com.sun.j3d.utils.geometry.Text2D;
import java.awt.Font;
import javax.media.j3d.Appearance;
import javax.media.j3d.Billboard;
import javax.media.j3d.BoundingSphere;
import javax.media.j3d.ColoringAttributes;
import javax.media.j3d.GeometryArray;
import javax.media.j3d.LineArray;
import javax.media.j3d.PolygonAttributes;
import javax.media.j3d.Shape3D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.vecmath.Color3f;
import javax.vecmath.Point3d;
import javax.vecmath.Point3f;
import javax.vecmath.Vector3d;

/** What the Java 3D demo's scene is made of: cubes, labels that face the eye, the screen's edge and a floor. */
final class Java3dDemoShapes {
    private static final Color3f WHITE = new Color3f(1, 1, 1);
    private static final Color3f GREY = new Color3f(0.35f, 0.35f, 0.35f);

    private Java3dDemoShapes() {
    }

    static TransformGroup cube(double halfEdge, Vector3d at) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        TransformGroup group = new TransformGroup(place);
        group.addChild(new ColorCube(halfEdge));
        return group;
    }

    static TransformGroup labelled(TransformGroup cube, String text, Vector3d at, double height) {
        cube.addChild(label(text, at, height));
        return cube;
    }

    /** White text in the x-y plane, its lower-left corner at the point, its letters about so high in metres. */
    static TransformGroup label(String text, Vector3d at, double height) {
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
    static TransformGroup facingTheEye(TransformGroup held, Vector3d at) {
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
    static Shape3D outline(TrackedScreen wall) {
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
    static Point3d inside(TrackedScreen wall, double across, double up) {
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
    static Shape3D floor() {
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
