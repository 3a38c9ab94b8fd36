package calvora.devicedriver.j3d;

import java.util.Enumeration;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.CapabilityNotSetException;
import javax.media.j3d.InputDevice;
import javax.media.j3d.PhysicalBody;
import javax.media.j3d.PhysicalEnvironment;
import javax.media.j3d.Screen3D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.View;
import javax.media.j3d.ViewPlatform;
import javax.vecmath.Point3d;

/**
 * Head-coupled perspective for a Java 3D view in one call: the view's eye follows trackd's head sensor,
 * and the picture on the screen is what lies behind the screen's real place in the tracker's space.
 *
 * <pre>{@code
 * TrackedScreen wall = new TrackedScreen(lowerLeft, lowerRight, upperLeft, 1.0);
 * TrackdInputDevice trackd = new TrackdInputDevice();
 * HeadTracking.enable(universe.getViewer().getView(), trackd, wall, 0);
 * }</pre>
 *
 * <p>Afterwards the virtual world, seen through the view platform's transform, is the tracker's space
 * in metres: at the identity transform a point (x, y, z) of the scene lies where the tracker measures
 * (x, y, z) metres. (SimpleUniverse's {@code setNominalViewingTransform()} moves the world 2.41 m away;
 * leave it out.) Every canvas of the view shows the whole of its screen's image where the screen is,
 * so a canvas should fill its screen: a smaller window shows what lies behind its own part of the screen.
 */
public final class HeadTracking {
    /** The nearest and farthest a visible object may be from the eye, in metres. */
    private static final double FRONT_CLIP_METRES = 0.05;
    private static final double BACK_CLIP_METRES = 100.0;

    private HeadTracking() {
    }

    /**
     * Calibrates the view for the screen and makes its eye follow the head sensor, with a fixed eye
     * straight in front of the screen's centre ({@link TrackedScreen#getNominalEye()}) when trackd cannot be
     * read.
     *
     * @see #enable(View, TrackdInputDevice, TrackedScreen, int, Point3d)
     */
    public static boolean enable(View view, TrackdInputDevice device, TrackedScreen screen, int headSensor) {
        return enable(view, device, screen, headSensor, screen.getNominalEye());
    }

    /**
     * Calibrates the view for the screen and makes its eye follow the head sensor.
     *
     * <p>Sets the device's unit to the screen's and initialises it (unless it is already); gives every
     * canvas's {@link Screen3D} the screen's physical size and {@code TrackerBaseToImagePlate}; makes the
     * coexistence space the tracker's (identity {@code CoexistenceToTrackerBase}, no coexistence centering,
     * the view platform attached at {@code NOMINAL_SCREEN}, one virtual unit a metre); adds the device to
     * the view's physical environment with the head sensor as its head; and turns tracking on. The eye is
     * the head sensor's origin: the physical body's {@code HeadToHeadTracker} becomes the identity, where
     * Java 3D's default puts the eyes 2 cm above and 3.5 cm behind the sensor (for a sensor worn off the
     * eyes, set it after this call).
     *
     * <p>When the device cannot be initialised, or trackd announces no such head sensor, the view keeps the
     * fixed eye instead, and says so once on standard error.
     *
     * @param view the view, with its canvases, for instance {@code universe.getViewer().getView()}
     * @param device the device, initialised or not
     * @param screen where the canvases' screen is in the tracker's space
     * @param headSensor the index of the head's sensor on the device
     * @param fixedEye where the eye stays without tracking, in the tracker's coordinates and unit
     * @return true when the eye follows the head, false when it stays at the fixed eye
     * @throws IllegalArgumentException when the head sensor's index is negative
     * @throws IllegalStateException when the view has no canvas, when its view platform is live and its
     *     attach policy may not be written, or when another device of this process reads other keys
     */
    public static boolean enable(View view, TrackdInputDevice device, TrackedScreen screen, int headSensor,
            Point3d fixedEye) {
        if (headSensor < 0) {
            throw new IllegalArgumentException("HeadTracking: the head sensor's index " + headSensor + " is negative");
        }
        if (view.numCanvas3Ds() == 0) {
            throw new IllegalStateException("HeadTracking: the view has no canvas: add the Canvas3D first");
        }
        device.setUnitInMetres(screen.getUnitInMetres());
        for (Enumeration<?> canvases = view.getAllCanvas3Ds(); canvases.hasMoreElements();) {
            Screen3D screen3d = ((Canvas3D) canvases.nextElement()).getScreen3D();
            screen3d.setPhysicalScreenWidth(screen.getWidthInMetres());
            screen3d.setPhysicalScreenHeight(screen.getHeightInMetres());
            screen3d.setTrackerBaseToImagePlate(screen.getTrackerBaseToImagePlate());
        }
        ViewPlatform platform = view.getViewPlatform();
        if (platform != null) {
            try {
                platform.setViewAttachPolicy(View.NOMINAL_SCREEN);
            } catch (CapabilityNotSetException e) {
                throw new IllegalStateException("HeadTracking: the view platform is live and its attach policy may"
                        + " not be written: give it ALLOW_POLICY_WRITE, or call enable before it goes live", e);
            }
        }
        view.setViewPolicy(View.SCREEN_VIEW);
        view.setWindowEyepointPolicy(View.RELATIVE_TO_COEXISTENCE);
        view.setWindowMovementPolicy(View.VIRTUAL_WORLD);
        view.setWindowResizePolicy(View.VIRTUAL_WORLD);
        view.setCoexistenceCenteringEnable(false);
        view.setScreenScalePolicy(View.SCALE_EXPLICIT);
        view.setScreenScale(1.0);
        view.setFrontClipPolicy(View.PHYSICAL_EYE);
        view.setBackClipPolicy(View.PHYSICAL_EYE);
        view.setFrontClipDistance(FRONT_CLIP_METRES);
        view.setBackClipDistance(BACK_CLIP_METRES);
        Point3d eye = screen.inMetres(fixedEye);
        view.setLeftManualEyeInCoexistence(eye);
        view.setRightManualEyeInCoexistence(eye);

        // trackd's head sensor is the point between the eyes: Java 3D's default would put them 2 cm above it
        // and 3.5 cm behind it.
        PhysicalBody body = view.getPhysicalBody();
        if (body == null) {
            body = new PhysicalBody();
            view.setPhysicalBody(body);
        }
        body.setHeadToHeadTracker(new Transform3D());
        PhysicalEnvironment environment = view.getPhysicalEnvironment();
        if (environment == null) {
            environment = new PhysicalEnvironment();
            view.setPhysicalEnvironment(environment);
        }
        environment.setCoexistenceToTrackerBase(new Transform3D());
        environment.setCoexistenceCenterInPworldPolicy(View.NOMINAL_SCREEN);
        boolean tracked = device.initialize();
        if (tracked && headSensor >= device.getSensorCount()) {
            System.err.printf("HeadTracking: trackd announces %d sensors, so there is no head sensor %d%n",
                    device.getSensorCount(), headSensor);
            tracked = false;
        }
        if (tracked) {
            if (!contains(environment, device)) {
                environment.addInputDevice(device);
            }
            environment.setSensor(environment.getHeadIndex(), device.getSensor(headSensor));
        } else {
            System.err.printf("HeadTracking: no head tracking; the view keeps a fixed eye at (%.3f, %.3f, %.3f)"
                    + " in tracker coordinates%n", fixedEye.x, fixedEye.y, fixedEye.z);
        }
        view.setTrackingEnable(tracked);
        return tracked;
    }

    private static boolean contains(PhysicalEnvironment environment, InputDevice device) {
        for (Enumeration<?> devices = environment.getAllInputDevices(); devices.hasMoreElements();) {
            if (devices.nextElement() == device) {
                return true;
            }
        }
        return false;
    }
}
