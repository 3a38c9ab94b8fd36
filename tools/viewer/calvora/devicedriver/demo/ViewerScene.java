package calvora.devicedriver.demo;

import java.util.List;

/**
 * What one frame of the viewer shows: matrices in column-vector form, 16 floats each, the buttons and
 * valuators, the sensors' names (sensor i's is names[i]; those beyond the list stay numbered), one status
 * line per segment, and when driving the hints over them and the sensor selected (-1: none).
 */
record ViewerScene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status,
        List<String> hints, int selected) {
    ViewerScene(float[][] matrices, int[] buttons, float[] valuators) {
        this(matrices, buttons, valuators, List.of(), List.of());
    }

    ViewerScene(float[][] matrices, int[] buttons, float[] valuators, List<String> names, List<String> status) {
        this(matrices, buttons, valuators, names, status, List.of(), -1);
    }
}
