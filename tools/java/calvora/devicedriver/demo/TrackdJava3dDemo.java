package calvora.devicedriver.demo;

import calvora.devicedriver.j3d.TrackdInputDevice;
import com.sun.j3d.utils.geometry.ColorCube;
import com.sun.j3d.utils.universe.SimpleUniverse;
import java.awt.GraphicsConfiguration;
import java.util.Enumeration;
import javax.media.j3d.Alpha;
import javax.media.j3d.Behavior;
import javax.media.j3d.BoundingSphere;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.PhysicalEnvironment;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.media.j3d.WakeupOnElapsedFrames;
import javax.swing.JFrame;
import javax.vecmath.Point3d;
import javax.vecmath.Vector3d;

/**
 * A Java 3D scene driven by trackd: the view follows sensor 0 as the head (seen from a little behind
 * it), and a cube is held by sensor 1. The device is registered in the physical environment; each
 * frame's read of a sensor polls it.
 *
 * <p>Arguments as for {@link TrackdDemo}.
 */
public final class TrackdJava3dDemo {
    /** Half the cube's edge, in trackd's units. */
    private static final double CUBE_SCALE = 0.08;
    /** A grid of small cubes at table height, so that head motion shows against something fixed. */
    private static final int FLOOR_CUBES = 5;
    private static final double TABLE_HEIGHT = 0.9;
    private static final double EYE_PITCH_DEGREES = -25;
    private static final double EYE_ABOVE = 0.4;
    private static final double EYE_BEHIND = 1.2;

    private TrackdJava3dDemo() {
    }

    /** Each frame, copies a sensor's latest pose into a transform group. */
    static final class Follow extends Behavior {
        private final Sensor sensor;
        private final TransformGroup target;
        private final Transform3D offset;
        private final Transform3D pose = new Transform3D();
        private final WakeupOnElapsedFrames everyFrame = new WakeupOnElapsedFrames(0);

        Follow(Sensor sensor, TransformGroup target, Transform3D offset) {
            this.sensor = sensor;
            this.target = target;
            this.offset = offset;
            setSchedulingBounds(new BoundingSphere(new Point3d(), Double.MAX_VALUE));
        }

        @Override
        public void initialize() {
            wakeupOn(everyFrame);
        }

        @Override
        @SuppressWarnings("rawtypes") // Java 3D 1.5's signature
        public void processStimulus(Enumeration criteria) {
            sensor.getRead(pose);  // a demand-driven device is polled by this read
            pose.mul(offset);
            target.setTransform(pose);
            wakeupOn(everyFrame);
        }
    }

    public static void main(String[] args) {
        TrackdDemo.Options options = TrackdDemo.Options.parse(args, "TrackdJava3dDemo",
                "A Java 3D scene whose view follows trackd's sensor 0 as the head and shows a cube held by\n"
                + "sensor 1. Needs a display with OpenGL.");
        TrackdInputDevice trackd = new TrackdInputDevice(options.trackerKey, options.controllerKey);
        if (!trackd.initialize() || trackd.getSensorCount() < 2) {
            System.err.println("TrackdJava3dDemo: needs trackd's tracker segment with at least two sensors");
            System.exit(1);
        }

        GraphicsConfiguration config = SimpleUniverse.getPreferredConfiguration();
        Canvas3D canvas = new Canvas3D(config);
        SimpleUniverse universe = new SimpleUniverse(canvas);
        PhysicalEnvironment environment = universe.getViewer().getPhysicalEnvironment();
        environment.addInputDevice(trackd);
        environment.setSensor(0, trackd.getSensor(0));
        environment.setHeadIndex(0);

        BranchGroup scene = new BranchGroup();
        TransformGroup hand = new TransformGroup();
        hand.setCapability(TransformGroup.ALLOW_TRANSFORM_WRITE);
        hand.addChild(new ColorCube(CUBE_SCALE));
        scene.addChild(hand);
        scene.addChild(new Follow(trackd.getSensor(1), hand, new Transform3D()));
        for (int i = 0; i < FLOOR_CUBES * FLOOR_CUBES; i++) {
            Transform3D at = new Transform3D();
            at.setTranslation(new Vector3d(0.5 * (i % FLOOR_CUBES - 2), TABLE_HEIGHT, -0.5 * (i / FLOOR_CUBES)));
            TransformGroup marker = new TransformGroup(at);
            marker.addChild(new ColorCube(0.03));
            scene.addChild(marker);
        }
        // The head's pose is where the eye is: the view platform follows sensor 0.
        // The eye rides with the head, a little behind and above it and looking down, so that the hand shows.
        Transform3D behindHead = new Transform3D();
        behindHead.rotX(Math.toRadians(EYE_PITCH_DEGREES));
        behindHead.setTranslation(new Vector3d(0, EYE_ABOVE, EYE_BEHIND));
        TransformGroup head = universe.getViewingPlatform().getViewPlatformTransform();
        BranchGroup viewBehavior = new BranchGroup();
        viewBehavior.addChild(new Follow(trackd.getSensor(0), head, behindHead));
        scene.addChild(viewBehavior);
        scene.compile();
        universe.addBranchGraph(scene);

        JFrame frame = new JFrame("trackd in Java 3D: the view follows sensor 0, the cube sensor 1");
        frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
        frame.add(canvas);
        frame.setSize(800, 600);
        frame.setVisible(true);
        if (options.seconds > 0) {
            Alpha clock = new Alpha(1, (long) (options.seconds * 1000));
            new Thread(() -> {
                while (!clock.finished()) {
                    try {
                        Thread.sleep(100);
                    } catch (InterruptedException e) {
                        return;
                    }
                }
                System.exit(0);
            }).start();
        }
    }
}
