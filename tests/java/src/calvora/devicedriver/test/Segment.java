package calvora.devicedriver.test;

import java.util.concurrent.ThreadLocalRandom;

/**
 * A real System V segment under a fresh key, laid out the way trackd lays out its segments, removed on close.
 * Public for the Java 3D device's tests, which write segments the same way.
 */
public final class Segment implements AutoCloseable {
    static {
        System.loadLibrary("TrackdTestSegments");
    }

    static final int RECORDS_AT = 96;
    static final int RECORD_SIZE = 36;
    static final int VALUATORS_AT = 64;
    static final int BUTTONS_AT = 160;

    public final int key;
    private final int id;
    private final long address;

    private Segment(int size) {
        int made = -1;
        int chosen = 0;
        for (int attempt = 0; attempt < 100 && made < 0; attempt++) {
            chosen = ThreadLocalRandom.current().nextInt(0x10000000, 0x70000000);
            made = create(chosen, size, 0600);
            if (made == -2) {
                throw new IllegalStateException("shmget failed for a test segment");
            }
        }
        if (made < 0) {
            throw new IllegalStateException("no free key for a test segment");
        }
        key = chosen;
        id = made;
        address = attach(id);
        if (address == 0) {
            remove(id, 0);
            throw new IllegalStateException("shmat failed for a test segment");
        }
    }

    /** A tracker segment with {@code sensors} records, all zero. */
    public static Segment tracker(int sensors) {
        Segment segment = new Segment(Math.max(1308, RECORDS_AT + sensors * RECORD_SIZE));
        segment.putInt(4, sensors);
        segment.putInt(8, RECORDS_AT);
        segment.putInt(12, RECORD_SIZE);
        return segment;
    }

    /** A controller segment whose valuators lie before its buttons. */
    public static Segment controller(int buttons, int valuators) {
        Segment segment = new Segment(296);
        segment.putInt(4, BUTTONS_AT);
        segment.putInt(8, VALUATORS_AT);
        segment.putInt(12, buttons);
        segment.putInt(16, valuators);
        return segment;
    }

    /** A key under which no segment exists. */
    public static int unusedKey() {
        try (Segment gone = new Segment(64)) {
            return gone.key;
        }
    }

    public void putInt(int offset, int value) {
        putInt(address, offset, value);
    }

    public void putFloat(int offset, float value) {
        putInt(address, offset, Float.floatToRawIntBits(value));
    }

    public void putSensor(int index, float x, float y, float z, float angleY, float angleX, float angleZ) {
        float[] words = {x, y, z, angleY, angleX, angleZ};
        for (int i = 0; i < words.length; i++) {
            putFloat(RECORDS_AT + index * RECORD_SIZE + 4 * i, words[i]);
        }
    }

    public void putButton(int index, int value) {
        putInt(BUTTONS_AT + 4 * index, value);
    }

    public void putValuator(int index, float value) {
        putFloat(VALUATORS_AT + 4 * index, value);
    }

    @Override
    public void close() {
        remove(id, address);
    }

    private static native int create(int key, int size, int mode);

    private static native long attach(int id);

    private static native void putInt(long address, int offset, int value);

    private static native void remove(int id, long address);
}
