package calvora.devicedriver.demo;

import java.util.List;

/**
 * What one frame of the viewer shows: matrices in column-vector form, 16 floats each, the buttons and
 * valuators, the sensors' names (sensor i's is names[i]; "" and those beyond the list stay numbered), one
 * status line per segment, when driving the hints over them and the sensor selected (-1: none), and the
 * installation's room, or null when the matrices are the tracker's own.
 */
record ViewerScene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status,
        List<String> hints, int selected, Room room) {
    /**
     * The room, in metres: each screen's name and corners (lower-left, lower-right and upper-left, 9
     * coordinates), the screen whose frustum is drawn for each eye, and the left and right eyes (none without
     * a head).
     */
    record Room(List<String> screenNames, List<double[]> corners, int selected, double[][] eyes) {
    }

    ViewerScene(float[][] matrices, int[] buttons, float[] valuators) {
        this(matrices, buttons, valuators, List.of(), List.of());
    }

    ViewerScene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status) {
        this(matrices, buttons, valuators, names, status, List.of(), -1, null);
    }

    ViewerScene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status,
            Room room) {
        this(matrices, buttons, valuators, names, status, List.of(), -1, room);
    }
}
