package calvora.devicedriver.j3d;

import java.util.Enumeration;
import javax.media.j3d.Behavior;
import javax.media.j3d.BoundingSphere;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.media.j3d.View;
import javax.media.j3d.WakeupOnElapsedFrames;
import javax.vecmath.Point3d;

/**
 * A behaviour that puts a transform group where a sensor is, every frame: a wand or a hand in one line,
 * {@code scene.addChild(new SensorFollower(trackd, 1, hand))}.
 *
 * <p>The group gets the sensor's pose in the virtual world, as the view sees it
 * ({@link View#getSensorToVworld}): what the group holds appears at the sensor's place in the room,
 * whatever the view platform's transform and scale. The group must hang in the scene graph under no
 * other transform. Before a view renders, and without a view, the group gets the sensor's read as it is.
 * Sensors that trackd does not announce leave the group where it is.
 */
public final class SensorFollower extends Behavior {
    private final TrackdInputDevice device;
    private final int index;
    private final Sensor sensor;
    private final TransformGroup target;
    private final Transform3D pose = new Transform3D();
    private final WakeupOnElapsedFrames everyFrame = new WakeupOnElapsedFrames(0);

    /**
     * Follows sensor {@code index} of the device, once the device has it: before the device is
     * initialised, or when it cannot be, the group stays where it is.
     *
     * @throws IllegalArgumentException when the index is negative
     * @throws javax.media.j3d.RestrictedAccessException when the group is live or compiled without
     *     {@code ALLOW_TRANSFORM_WRITE}
     */
    public SensorFollower(TrackdInputDevice device, int index, TransformGroup target) {
        this(device, index, null, target);
    }

    /** Follows any Java 3D sensor, for instance one named in a configuration file. */
    public SensorFollower(Sensor sensor, TransformGroup target) {
        this(null, 0, sensor, target);
    }

    private SensorFollower(TrackdInputDevice device, int index, Sensor sensor, TransformGroup target) {
        if (index < 0) {
            throw new IllegalArgumentException("SensorFollower: the sensor index " + index + " is negative");
        }
        this.device = device;
        this.index = index;
        this.sensor = sensor;
        this.target = target;
        if (!target.getCapability(TransformGroup.ALLOW_TRANSFORM_WRITE)) {
            target.setCapability(TransformGroup.ALLOW_TRANSFORM_WRITE);
        }
        setSchedulingBounds(new BoundingSphere(new Point3d(), Double.MAX_VALUE));
    }

    @Override
    public void initialize() {
        wakeupOn(everyFrame);
    }

    @Override
    @SuppressWarnings("rawtypes") // Java 3D 1.5's signature
    public void processStimulus(Enumeration criteria) {
        Sensor followed = sensor;
        if (followed == null && index < device.getSensorCount()) {
            followed = device.getSensor(index);
        }
        if (followed != null) {
            View view = getView();
            if (view != null && view.numCanvas3Ds() > 0) {
                view.getSensorToVworld(followed, pose);  // a demand-driven device is polled by this read
            } else {
                followed.getRead(pose);
            }
            target.setTransform(pose);
        }
        wakeupOn(everyFrame);
    }
}
