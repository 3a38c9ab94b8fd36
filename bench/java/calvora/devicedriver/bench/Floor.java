package calvora.devicedriver.bench;

/** Empty native methods with TrackdJNI's signatures: what any JNI call costs before the reader does anything. */
final class Floor {
    static {
        System.loadLibrary("ZoravoVARFloor");
    }

    private Floor() {
    }

    static native int getNumSensors();

    static native void getMatrix(float[] matrix, int sensor);

    static native int getNumButtons();

    static native int getButton(int button);

    static native int getNumValuators();

    static native float getValuator(int valuator);
}
