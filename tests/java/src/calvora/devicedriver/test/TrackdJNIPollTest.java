package calvora.devicedriver.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import calvora.devicedriver.TrackdJNI;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** TrackdJNI polled in this virtual machine: transposed matrices and values passed through unchanged. */
class TrackdJNIPollTest {
    private static Segment tracker;
    private static Segment controller;

    @BeforeAll
    static void attach() {
        tracker = Segment.tracker(3);
        controller = Segment.controller(4, 3);
        int[] status = {-1};
        TrackdJNI.init_trackd_c(tracker.key, controller.key, status);
        assertEquals(0, status[0]);
    }

    @AfterAll
    static void removeSegments() {
        tracker.close();
        controller.close();
    }

    @Test
    void matrixIsTheTransposedPose() {
        tracker.putSensor(0, 1, 2, 3, 0, 0, 0);
        float[] matrix = new float[16];
        TrackdJNI.getMatrix(matrix, 0);
        assertArrayEquals(new float[] {1, 0, 0, 1, 0, 1, 0, 2, 0, 0, 1, 3, 0, 0, 0, 1}, matrix);

        tracker.putSensor(1, 0, 0, 0, 0, 0, 90);
        TrackdJNI.getMatrix(matrix, 1);
        assertArrayEquals(new float[] {0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, matrix, 2e-7f);

        tracker.putSensor(2, 4, 5, 6, 90, 90, 0);
        TrackdJNI.getMatrix(matrix, 2);
        assertArrayEquals(new float[] {0, 1, 0, 4, 0, 0, -1, 5, -1, 0, 0, 6, 0, 0, 0, 1}, matrix, 2e-7f);
    }

    @Test
    void matrixLeavesElementsFromSixteenOnAlone() {
        tracker.putSensor(0, 1, 2, 3, 0, 0, 0);
        float[] matrix = new float[20];
        java.util.Arrays.fill(matrix, 16, 20, 7.5f);
        TrackdJNI.getMatrix(matrix, 0);
        assertArrayEquals(new float[] {1, 0, 0, 1, 0, 1, 0, 2, 0, 0, 1, 3, 0, 0, 0, 1, 7.5f, 7.5f, 7.5f, 7.5f},
                matrix);
    }

    @Test
    void badSensorIndexLeavesMatrixAsItWas() {
        float[] matrix = new float[16];
        java.util.Arrays.fill(matrix, 9);
        TrackdJNI.getMatrix(matrix, 3);
        TrackdJNI.getMatrix(matrix, -1);
        float[] expected = new float[16];
        java.util.Arrays.fill(expected, 9);
        assertArrayEquals(expected, matrix);
    }

    @Test
    void countsButtonsAndValuatorsPassThrough() {
        assertEquals(3, TrackdJNI.getNumSensors());
        assertEquals(4, TrackdJNI.getNumButtons());
        assertEquals(3, TrackdJNI.getNumValuators());
        controller.putButton(1, 5);
        controller.putButton(3, Integer.MIN_VALUE);
        controller.putValuator(1, -0.0f);
        controller.putValuator(2, 0.75f);
        assertEquals(5, TrackdJNI.getButton(1));
        assertEquals(Integer.MIN_VALUE, TrackdJNI.getButton(3));
        assertEquals(Float.floatToRawIntBits(-0.0f), Float.floatToRawIntBits(TrackdJNI.getValuator(1)));
        assertEquals(0.75f, TrackdJNI.getValuator(2));
        assertEquals(0, TrackdJNI.getButton(4));
        assertEquals(0, TrackdJNI.getButton(-1));
        assertEquals(0.0f, TrackdJNI.getValuator(3));
        assertEquals(0.0f, TrackdJNI.getValuator(-1));
    }
}
