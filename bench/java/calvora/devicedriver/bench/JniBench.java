package calvora.devicedriver.bench;

import calvora.devicedriver.TrackdJNI;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Locale;
import java.util.Map;

/**
 * Times every polling method of TrackdJNI and the empty native method with its signature: warm-up,
 * then several timed rounds; writes the median and the spread of nanoseconds per call as JSON.
 *
 * <p>Arguments: TRACKER_KEY CONTROLLER_KEY OUTPUT_JSON.
 */
public final class JniBench {
    private static final long WARM_UP_NANOS = 700_000_000L;
    private static final long ROUND_NANOS = 60_000_000L;
    private static final int ROUNDS = 9;
    private static final float[] MATRIX = new float[16];
    private static volatile long sink;

    private interface Loop {
        long run(int calls);
    }

    private JniBench() {
    }

    public static void main(String[] args) throws IOException {
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(Integer.parseInt(args[0]), Integer.parseInt(args[1]), status);
        if (status[0] != 0) {
            throw new IllegalStateException("status word " + status[0]);
        }
        Map<String, Loop> loops = new LinkedHashMap<>();
        loops.put("jni:getNumSensors", JniBench::numSensors);
        loops.put("floor:getNumSensors", JniBench::floorNumSensors);
        loops.put("jni:getMatrix", JniBench::matrix);
        loops.put("floor:getMatrix", JniBench::floorMatrix);
        loops.put("jni:getNumButtons", JniBench::numButtons);
        loops.put("floor:getNumButtons", JniBench::floorNumButtons);
        loops.put("jni:getButton", JniBench::button);
        loops.put("floor:getButton", JniBench::floorButton);
        loops.put("jni:getNumValuators", JniBench::numValuators);
        loops.put("floor:getNumValuators", JniBench::floorNumValuators);
        loops.put("jni:getValuator", JniBench::valuator);
        loops.put("floor:getValuator", JniBench::floorValuator);
        StringBuilder json = new StringBuilder("{");
        for (Map.Entry<String, Loop> entry : loops.entrySet()) {
            double[] nanos = measure(entry.getValue());
            Arrays.sort(nanos);
            json.append(json.length() > 1 ? ",\n" : "\n").append(String.format(Locale.ROOT,
                    "  \"%s\": {\"median\": %.3f, \"min\": %.3f, \"max\": %.3f}", entry.getKey(),
                    nanos[nanos.length / 2], nanos[0], nanos[nanos.length - 1]));
        }
        Files.writeString(Path.of(args[2]), json.append("\n}\n"), StandardCharsets.UTF_8);
        System.out.println("sink " + sink);
    }

    private static double[] measure(Loop loop) {
        int calls = 1000;
        long warmUpEnd = System.nanoTime() + WARM_UP_NANOS;
        while (System.nanoTime() < warmUpEnd) {
            long start = System.nanoTime();
            sink += loop.run(calls);
            if (System.nanoTime() - start < ROUND_NANOS / 4) {
                calls *= 2;
            }
        }
        double[] nanos = new double[ROUNDS];
        for (int round = 0; round < ROUNDS; round++) {
            long start = System.nanoTime();
            sink += loop.run(calls);
            nanos[round] = (double) (System.nanoTime() - start) / calls;
        }
        return nanos;
    }

    private static long numSensors(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += TrackdJNI.getNumSensors();
        }
        return sum;
    }

    private static long floorNumSensors(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Floor.getNumSensors();
        }
        return sum;
    }

    private static long matrix(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            TrackdJNI.getMatrix(MATRIX, 0);
            sum += Float.floatToRawIntBits(MATRIX[3]);
        }
        return sum;
    }

    private static long floorMatrix(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            Floor.getMatrix(MATRIX, 0);
            sum += Float.floatToRawIntBits(MATRIX[3]);
        }
        return sum;
    }

    private static long numButtons(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += TrackdJNI.getNumButtons();
        }
        return sum;
    }

    private static long floorNumButtons(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Floor.getNumButtons();
        }
        return sum;
    }

    private static long button(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += TrackdJNI.getButton(3);
        }
        return sum;
    }

    private static long floorButton(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Floor.getButton(3);
        }
        return sum;
    }

    private static long numValuators(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += TrackdJNI.getNumValuators();
        }
        return sum;
    }

    private static long floorNumValuators(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Floor.getNumValuators();
        }
        return sum;
    }

    private static long valuator(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Float.floatToRawIntBits(TrackdJNI.getValuator(3));
        }
        return sum;
    }

    private static long floorValuator(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += Float.floatToRawIntBits(Floor.getValuator(3));
        }
        return sum;
    }
}
