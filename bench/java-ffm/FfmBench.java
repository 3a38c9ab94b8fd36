import java.io.IOException;
import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.ValueLayout;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.VarHandle;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Locale;

/**
 * The alternative a Java user might pick instead of JNI: the same segments read from pure Java with
 * the Foreign Function and Memory API, with the same checks the library makes. Needs a JDK of 22 or newer.
 *
 * <p>Arguments: TRACKER_KEY CONTROLLER_KEY OUTPUT_JSON.
 */
public final class FfmBench {
    // Opaque reads, like the library's relaxed loads: the JIT may not hoist them out of a polling loop.
    private static final VarHandle WORD = ValueLayout.JAVA_INT.varHandle();
    private static final VarHandle FLOAT = ValueLayout.JAVA_FLOAT.varHandle();
    private static final float[] POSITION = new float[3];
    private static volatile long sink;
    private static MemorySegment tracker;
    private static MemorySegment controller;

    private FfmBench() {
    }

    public static void main(String[] args) throws Throwable {
        tracker = attach(Integer.parseInt(args[0]), 1308);
        controller = attach(Integer.parseInt(args[1]), 296);
        double[] button = measure(FfmBench::buttons);
        double[] position = measure(FfmBench::positions);
        String json = String.format(Locale.ROOT, "{%n  \"ffm:button\": {\"median\": %.3f, \"min\": %.3f, \"max\": %.3f},"
                + "%n  \"ffm:position\": {\"median\": %.3f, \"min\": %.3f, \"max\": %.3f}%n}%n",
                button[4], button[0], button[8], position[4], position[0], position[8]);
        Files.writeString(Path.of(args[2]), json, StandardCharsets.UTF_8);
        System.out.println("sink " + sink);
    }

    private static MemorySegment attach(int key, long minimum) throws Throwable {
        Linker linker = Linker.nativeLinker();
        MethodHandle shmget = linker.downcallHandle(linker.defaultLookup().find("shmget").orElseThrow(),
                FunctionDescriptor.of(ValueLayout.JAVA_INT, ValueLayout.JAVA_INT, ValueLayout.JAVA_LONG,
                        ValueLayout.JAVA_INT));
        MethodHandle shmat = linker.downcallHandle(linker.defaultLookup().find("shmat").orElseThrow(),
                FunctionDescriptor.of(ValueLayout.ADDRESS, ValueLayout.JAVA_INT, ValueLayout.ADDRESS,
                        ValueLayout.JAVA_INT));
        int id = (int) shmget.invokeExact(key, minimum, 0);
        if (id < 0) {
            throw new IOException("no segment for key " + key);
        }
        MemorySegment address = (MemorySegment) shmat.invokeExact(id, MemorySegment.NULL, 0);
        return address.reinterpret(minimum, Arena.global(), null);
    }

    private interface Loop {
        long run(int calls);
    }

    private static double[] measure(Loop loop) {
        int calls = 1000;
        long warmUpEnd = System.nanoTime() + 700_000_000L;
        while (System.nanoTime() < warmUpEnd) {
            long start = System.nanoTime();
            sink += loop.run(calls);
            if (System.nanoTime() - start < 15_000_000L) {
                calls *= 2;
            }
        }
        double[] nanos = new double[9];
        for (int round = 0; round < nanos.length; round++) {
            long start = System.nanoTime();
            sink += loop.run(calls);
            nanos[round] = (double) (System.nanoTime() - start) / calls;
        }
        Arrays.sort(nanos);
        return nanos;
    }

    private static int word(MemorySegment segment, long offset) {
        return (int) WORD.getOpaque(segment, offset);
    }

    /** Button 3 with the count check and the bounds check that the library makes; 0 when refused. */
    static int button(int index) {
        int count = word(controller, 12);
        if (Integer.compareUnsigned(index, count) >= 0) {
            return 0;
        }
        long at = Integer.toUnsignedLong(word(controller, 4)) + 4L * index;
        return at + 4 <= controller.byteSize() ? word(controller, at) : 0;
    }

    static boolean position(int sensor, float[] out) {
        int count = word(tracker, 4);
        if (Integer.compareUnsigned(sensor, count) >= 0) {
            return false;
        }
        long start = Integer.toUnsignedLong(word(tracker, 8))
                + Integer.toUnsignedLong(sensor) * Integer.toUnsignedLong(word(tracker, 12));
        if (start + 24 > tracker.byteSize()) {
            return false;
        }
        out[0] = (float) FLOAT.getOpaque(tracker, start);
        out[1] = (float) FLOAT.getOpaque(tracker, start + 4);
        out[2] = (float) FLOAT.getOpaque(tracker, start + 8);
        return true;
    }

    private static long buttons(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            sum += button(3);
        }
        return sum;
    }

    private static long positions(int calls) {
        long sum = 0;
        for (int i = 0; i < calls; i++) {
            position(0, POSITION);
            sum += Float.floatToRawIntBits(POSITION[0]);
        }
        return sum;
    }
}
