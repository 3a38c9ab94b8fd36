import calvora.devicedriver.j3d.HeadTracking;
import calvora.devicedriver.j3d.SensorFollower;
import calvora.devicedriver.j3d.TrackdInputDevice;
import calvora.devicedriver.j3d.TrackedScreen;
import com.sun.j3d.utils.geometry.ColorCube;
import com.sun.j3d.utils.universe.SimpleUniverse;
import java.awt.GraphicsConfiguration;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.swing.JFrame;
import javax.vecmath.Point3d;
import javax.vecmath.Vector3d;

/** A head-tracked wall: a cube in front of the screen, a large one behind it, and a small one in the hand. */
public class HeadTrackedWall {
    public static void main(String[] args) {
        GraphicsConfiguration display = SimpleUniverse.getPreferredConfiguration();
        Canvas3D canvas = new Canvas3D(display);
        SimpleUniverse universe = new SimpleUniverse(canvas);

        // Where the screen's image is in tracker coordinates, and the tracker's unit in metres.
        TrackedScreen wall = new TrackedScreen(
                new Point3d(-1.2, 0.3, -1.0),   // lower-left corner
                new Point3d(1.2, 0.3, -1.0),    // lower-right corner
                new Point3d(-1.2, 2.1, -1.0),   // upper-left corner
                1.0);                           // trackd measures in metres
        TrackdInputDevice trackd = new TrackdInputDevice();                   // keys 7401 and 7402
        HeadTracking.enable(universe.getViewer().getView(), trackd, wall, 0);  // sensor 0 is the head

        // The scene is the tracker's space, in metres.
        BranchGroup scene = new BranchGroup();
        scene.addChild(cube(0.1, new Vector3d(-0.4, 1.3, -0.6)));   // in front of the screen
        scene.addChild(cube(0.3, new Vector3d(0.5, 1.5, -3.0)));    // two metres behind it
        TransformGroup hand = cube(0.05, new Vector3d());
        scene.addChild(hand);
        scene.addChild(new SensorFollower(trackd, 1, hand));        // sensor 1 is the hand
        universe.addBranchGraph(scene);

        // Full screen: a head-coupled view looks through the window's real place on the screen.
        JFrame frame = new JFrame("Head-tracked wall");
        frame.setUndecorated(true);
        frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
        frame.add(canvas);
        frame.setBounds(display.getBounds());
        frame.setVisible(true);
    }

    private static TransformGroup cube(double halfEdge, Vector3d at) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        TransformGroup group = new TransformGroup(place);
        group.addChild(new ColorCube(halfEdge));
        return group;
    }
}
