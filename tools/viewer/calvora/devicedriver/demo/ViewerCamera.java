package calvora.devicedriver.demo;

/**
 * Where the viewer's eye looks from: turned by yaw about Y and raised by pitch, at a distance from the
 * point the view orbits.
 */
record ViewerCamera(double yawDegrees, double pitchDegrees, double distance) {
    /** The point the view orbits, in trackd's units: head height above the origin. */
    static final double TARGET_Y = 1.3;
    /** The starting distance of the eye from the target: the eye sits at (0, 1.3, 2.5), looking along -Z. */
    static final double EYE_Z = 2.5;
    static final ViewerCamera START = new ViewerCamera(0, 0, EYE_Z);

    ViewerCamera orbit(double yawBy, double pitchBy) {
        return new ViewerCamera(yawDegrees + yawBy, Math.max(-85, Math.min(85, pitchDegrees + pitchBy)), distance);
    }

    ViewerCamera zoom(double factor) {
        return new ViewerCamera(yawDegrees, pitchDegrees, Math.max(0.3, Math.min(20, distance * factor)));
    }
}
