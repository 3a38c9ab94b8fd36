package calvora.devicedriver.j3d;

import calvora.devicedriver.room.Installation;
import java.io.IOException;
import java.util.Arrays;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import javax.media.j3d.Canvas3D;
import javax.media.j3d.CapabilityNotSetException;
import javax.media.j3d.InputDevice;
import javax.media.j3d.PhysicalBody;
import javax.media.j3d.PhysicalEnvironment;
import javax.media.j3d.Screen3D;
import javax.media.j3d.Transform3D;
import javax.media.j3d.View;
import javax.media.j3d.ViewPlatform;
import javax.vecmath.Matrix3d;
import javax.vecmath.Point3d;

/**
 * Head-coupled perspective for a Java 3D view in one call: the view's eyes follow trackd's head sensor,
 * and the picture on each screen is what lies behind the screen's real place in the room.
 *
 * <pre>{@code
 * TrackdInputDevice trackd = new TrackdInputDevice();
 * HeadTracking.enable(universe.getViewer().getView(), trackd, "installation.toml", "front");
 * }</pre>
 *
 * <p>With an installation file, the virtual world, seen through the view platform's transform, is the
 * room in metres, and both eyes are the file's; without one ({@link TrackedScreen}), it is the tracker's
 * space in metres and the eye is the head sensor's origin. At the identity view-platform transform a
 * point (x, y, z) of the scene lies at (x, y, z) metres of that space. (SimpleUniverse's
 * {@code setNominalViewingTransform()} moves the world 2.41 m away; leave it out.) Every canvas of the
 * view shows the whole of its screen's image where the screen is, so a canvas should fill its display
 * device: a smaller window shows what lies behind its own part of the screen.
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
        requireCanvas(view);
        device.setUnitInMetres(screen.getUnitInMetres());
        TrackedScreen[] screens = new TrackedScreen[view.numCanvas3Ds()];
        Arrays.fill(screens, screen);
        Point3d eye = screen.inMetres(fixedEye);
        return configure(view, device, screens, headSensor, eye, eye, String.format("a fixed eye at (%.3f, %.3f,"
                + " %.3f) in tracker coordinates", fixedEye.x, fixedEye.y, fixedEye.z));
    }

    /**
     * Sets the view up for the installation file at {@code file}: {@link Installation#load loads} it (null
     * for the lookup order: {@code $ZORAVOVAR_INSTALLATION}, else {@code /etc/zoravovar/installation.toml}),
     * keeps it as long as the device, and calls {@link #enable(View, TrackdInputDevice, Installation,
     * String...)}.
     *
     * @throws java.io.FileNotFoundException when the file cannot be opened
     * @throws IOException when it cannot be read
     * @throws IllegalArgumentException for a mistake in the file, with its {@code FILE:LINE:} message, or as
     *     the other overload
     */
    public static boolean enable(View view, TrackdInputDevice device, String file, String... screens)
            throws IOException {
        Installation room = Installation.load(file);
        try {
            return enable(view, device, room, screens);
        } catch (RuntimeException e) {
            room.close();
            throw e;
        }
    }

    /**
     * Sets the view up for an installation: every canvas for its screen of the file, both eyes from the file,
     * and the device's poses in the room, so that Java 3D renders each eye's view through each screen.
     *
     * <p>{@code screens} names each canvas's screen, one name per canvas in the view's order
     * ({@link View#getCanvas3D(int)}); with none, every canvas shows the file's only screen. Canvases that
     * lie on one display device share its {@link Screen3D}, which has one place in the room: they must show
     * one screen. Each canvas's {@code Screen3D} gets its screen's size and {@code TrackerBaseToImagePlate},
     * the tracker base being the room: the device hands the sensors' {@linkplain
     * TrackdInputDevice#setInstallation poses in the room}, with the file's unit, origin and axes applied,
     * so the coexistence space is the room, in metres, and so is the virtual world at the identity
     * view-platform transform. The head is the file's first sensor of role {@code head}; the physical body's
     * {@code HeadToHeadTracker} is the identity and its left and right eye positions are the file's
     * {@code left_eye} and {@code right_eye}, in the head sensor's frame. The rest is as
     * {@link #enable(View, TrackdInputDevice, TrackedScreen, int, Point3d)} does it.
     *
     * <p>Java 3D draws both eyes on a canvas that can show stereo ({@link Canvas3D#getStereoAvailable()}) with
     * stereo enabled, and on any other canvas the eye of its {@link Canvas3D#setMonoscopicViewPolicy
     * monoscopic view policy}: {@code View.LEFT_EYE_VIEW} or {@code RIGHT_EYE_VIEW} for one canvas per eye,
     * the centre eye by default.
     *
     * <p>Without tracking the eyes stay where they would be for a head straight in front of the first
     * canvas's screen's centre, as far from it as it is wide, facing it; one line on standard error says so.
     *
     * @param view the view, with its canvases
     * @param device the device, initialised or not, without a calibration or a unit of its own
     * @param room the installation, to be kept open as long as the device reads
     * @param screens the screen of each canvas, by its name in the file; none when the file has one screen
     * @return true when the eyes follow the head, false when they stay put
     * @throws IllegalArgumentException when the names do not give each canvas one of the file's screens, two
     *     canvases on one display device get different screens, or the file names no head
     * @throws IllegalStateException as the other overloads, or when the device has a calibration or a unit
     */
    public static boolean enable(View view, TrackdInputDevice device, Installation room, String... screens) {
        requireCanvas(view);
        int canvases = view.numCanvas3Ds();
        List<String> names = room.screenNames();
        String[] chosen = screens;
        if (names.isEmpty()) {
            throw new IllegalArgumentException("HeadTracking: " + room.path() + " describes no screen");
        } else if (screens.length == 0) {
            if (names.size() != 1) {
                throw new IllegalArgumentException("HeadTracking: " + room.path() + " describes " + names.size()
                        + " screens " + names + ": name the screen of each of the view's " + canvases + " canvases");
            }
            chosen = new String[canvases];
            Arrays.fill(chosen, names.get(0));
        } else if (screens.length != canvases) {
            throw new IllegalArgumentException("HeadTracking: " + screens.length + " screen names for the view's "
                    + canvases + " canvases: name one screen per canvas, in the view's order");
        }
        int head = room.sensorRoles().indexOf("head");
        if (head < 0) {
            throw new IllegalArgumentException("HeadTracking: " + room.path() + " names no sensor of role \"head\"");
        }
        TrackedScreen[] perCanvas = new TrackedScreen[canvases];
        Map<Screen3D, String> devices = new HashMap<>();
        for (int i = 0; i < canvases; i++) {
            double[] c = room.screenCorners(room.screen(chosen[i]), null);
            perCanvas[i] = new TrackedScreen(new Point3d(c[0], c[1], c[2]), new Point3d(c[3], c[4], c[5]),
                    new Point3d(c[6], c[7], c[8]), 1.0);
            String before = devices.put(view.getCanvas3D(i).getScreen3D(), chosen[i]);
            if (before != null && !before.equals(chosen[i])) {
                throw new IllegalArgumentException("HeadTracking: canvas " + i + " is given screen \"" + chosen[i]
                        + "\" but lies on the display device of a canvas given screen \"" + before + "\": canvases"
                        + " on one device share its Screen3D, which has one place in the room");
            }
        }
        Point3d left = new Point3d(room.sensorOffset(head, "left", null));
        Point3d right = new Point3d(room.sensorOffset(head, "right", null));
        Installation before = device.getInstallation();
        device.setInstallation(room);

        // Without tracking: the eyes of a head at the first screen's nominal eye, facing the screen.
        TrackedScreen first = perCanvas[0];
        Point3d centre = first.getNominalEye();
        Matrix3d facing = new Matrix3d();
        first.getTrackerBaseToImagePlate().getRotationScale(facing);
        facing.transpose();
        PhysicalBody body = body(view);
        body.setLeftEyePosition(left);
        body.setRightEyePosition(right);
        try {
            return configure(view, device, perCanvas, room.sensorIndices().get(head), fixed(centre, facing, left),
                    fixed(centre, facing, right), String.format("fixed eyes about (%.3f, %.3f, %.3f) in room"
                            + " coordinates", centre.x, centre.y, centre.z));
        } catch (RuntimeException e) {
            device.setInstallation(before);  // the caller may close the installation it gave
            throw e;
        }
    }

    private static Point3d fixed(Point3d centre, Matrix3d facing, Point3d offset) {
        Point3d eye = new Point3d(offset);
        facing.transform(eye);
        eye.add(centre);
        return eye;
    }

    private static void requireCanvas(View view) {
        if (view.numCanvas3Ds() == 0) {
            throw new IllegalStateException("HeadTracking: the view has no canvas: add the Canvas3D first");
        }
    }

    private static PhysicalBody body(View view) {
        PhysicalBody body = view.getPhysicalBody();
        if (body == null) {
            body = new PhysicalBody();
            view.setPhysicalBody(body);
        }
        return body;
    }

    /**
     * Every canvas for its screen, the coexistence space the tracker base's, the fixed eyes in it, and the
     * device's head sensor as the view's head, tracked when the device can be read.
     */
    private static boolean configure(View view, TrackdInputDevice device, TrackedScreen[] screens, int headSensor,
            Point3d leftFixed, Point3d rightFixed, String fixedEyes) {
        for (int i = 0; i < screens.length; i++) {
            Screen3D screen3d = view.getCanvas3D(i).getScreen3D();
            screen3d.setPhysicalScreenWidth(screens[i].getWidthInMetres());
            screen3d.setPhysicalScreenHeight(screens[i].getHeightInMetres());
            screen3d.setTrackerBaseToImagePlate(screens[i].getTrackerBaseToImagePlate());
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
        view.setLeftManualEyeInCoexistence(leftFixed);
        view.setRightManualEyeInCoexistence(rightFixed);

        // trackd's head sensor is the head's origin: Java 3D's default would put the eyes 2 cm above it and
        // 3.5 cm behind it.
        body(view).setHeadToHeadTracker(new Transform3D());
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
            System.err.printf("HeadTracking: no head tracking; the view keeps %s%n", fixedEyes);
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
