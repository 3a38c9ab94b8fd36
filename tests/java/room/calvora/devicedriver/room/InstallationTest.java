package calvora.devicedriver.room;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.FileNotFoundException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Installation against libZoravoVARRoom itself, called by a C++ probe: a three-wall file, to the bit, and refusals. */
class InstallationTest {
    // Three walls of a cave, 3 m wide, and a Z-up tracker in feet: every part of the calibration counts.
    private static final String THREE_WALLS = String.join("\n",
            "# Three walls of a cave.",
            "[tracker]",
            "unit = 0.3048",
            "origin = [0.0, 2.5, 0.5]",
            "x_axis = [1.0, 0.0, 0.0]",
            "y_axis = [0.0, 0.0, -1.0]",
            "z_axis = [0.0, 1.0, 0.0]",
            "[[sensor]]", "index = 3", "name = \"head\"", "role = \"head\"",
            "left_eye = [-0.032, 0.01, 0.0]", "right_eye = [0.032, 0.01, 0.0]",
            "[[sensor]]", "index = 1", "name = \"wand\"", "role = \"wand\"", "tip = [0.0, 0.0, -0.1]",
            "[[screen]]", "name = \"front\"", "lower_left = [-1.5, 0.0, -1.5]", "lower_right = [1.5, 0.0, -1.5]",
            "upper_left = [-1.5, 3.0, -1.5]",
            "[[screen]]", "name = \"left\"", "lower_left = [-1.5, 0.0, 1.5]", "lower_right = [-1.5, 0.0, -1.5]",
            "upper_left = [-1.5, 3.0, 1.5]",
            "[[screen]]", "name = \"right\"", "lower_left = [1.5, 0.0, -1.5]", "lower_right = [1.5, 0.0, 1.5]",
            "upper_left = [1.5, 3.0, -1.5]", "");
    private static final double[][][] CORNERS = {
        {{-1.5, 0, -1.5}, {1.5, 0, -1.5}, {-1.5, 3, -1.5}},
        {{-1.5, 0, 1.5}, {-1.5, 0, -1.5}, {-1.5, 3, 1.5}},
        {{1.5, 0, -1.5}, {1.5, 0, 1.5}, {1.5, 3, -1.5}}};

    @TempDir
    Path folder;

    private Path write(String name, String text) throws Exception {
        Path file = folder.resolve(name);
        Files.write(file, text.getBytes(StandardCharsets.US_ASCII));
        return file;
    }

    /** A head pose as TrackdJNI.getMatrix gives it: turned about Y by `degrees`, translation in 3, 7 and 11. */
    private static float[] trackdJniMatrix(double degrees, float x, float y, float z) {
        float c = (float) Math.cos(Math.toRadians(degrees));
        float s = (float) Math.sin(Math.toRadians(degrees));
        return new float[] {c, 0, s, x, 0, 1, 0, y, -s, 0, c, z, 0, 0, 0, 1};
    }

    /** The same matrix in trackdGetMatrix's memory order, which the C library takes: the transpose. */
    private static List<String> readerBits(float[] m) {
        List<String> out = new ArrayList<>();
        for (int i = 0; i < 16; i++) {
            out.add(Integer.toHexString(Float.floatToRawIntBits(m[(i % 4) * 4 + i / 4])));
        }
        return out;
    }

    private static String bits(double value) {
        return Long.toHexString(Double.doubleToRawLongBits(value));
    }

    /** The C library's answer, as the probe prints it: one line of doubles per matrix or point. */
    private static double[][] probe(Path file, List<String> args) throws Exception {
        List<String> command = new ArrayList<>(Arrays.asList(System.getProperty("room.probe"), file.toString()));
        command.addAll(args);
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (InputStream in = process.getInputStream()) {
            byte[] buffer = new byte[4096];
            for (int n; (n = in.read(buffer)) > 0;) {
                out.write(buffer, 0, n);
            }
        }
        assertEquals(0, process.waitFor(), "the probe refused " + command);
        String[] lines = out.toString("US-ASCII").trim().split("\n");
        double[][] values = new double[lines.length][];
        for (int l = 0; l < lines.length; l++) {
            String[] words = lines[l].trim().split(" ");
            values[l] = new double[words.length];
            for (int i = 0; i < words.length; i++) {
                values[l][i] = Double.longBitsToDouble(Long.parseUnsignedLong(words[i], 16));
            }
        }
        return values;
    }

    private static void assertSameBits(double[] expected, double[] actual) {
        String[] e = new String[expected.length];
        String[] a = new String[expected.length];
        for (int i = 0; i < expected.length; i++) {
            e[i] = bits(expected[i]);
            a[i] = bits(actual[i]);
        }
        assertArrayEquals(e, a);
    }

    @Test
    void threeWallsGiveTheCLibrarysBitsAndLandOnClipCorners() throws Exception {
        Path file = write("installation.toml", THREE_WALLS);
        try (Installation room = Installation.load(file.toString())) {
            assertEquals(Arrays.asList("front", "left", "right"), room.screenNames());
            assertEquals(Arrays.asList("head", "wand"), room.sensorNames());
            assertEquals(Arrays.asList("head", "wand"), room.sensorRoles());
            assertEquals(file.toString(), room.path());
            assertEquals(Arrays.asList(3, 1), room.sensorIndices());
            assertArrayEquals(new double[] {-0.032, 0.01, 0.0}, room.sensorOffset(0, "left", null));
            assertArrayEquals(new double[] {0.0, 0.01, 0.0}, room.sensorOffset(0, "centre", new double[3]));
            assertArrayEquals(new double[] {0.0, 0.0, -0.1}, room.sensorOffset(1, "tip", null));
            assertThrows(IllegalArgumentException.class, () -> room.sensorOffset(1, "left", null));
            assertThrows(IllegalArgumentException.class, () -> room.sensorOffset(0, "nose", null));
            assertThrows(IndexOutOfBoundsException.class, () -> room.sensorOffset(2, "tip", null));
            for (int screen = 0; screen < 3; screen++) {
                double[] corners = room.screenCorners(screen, null);
                for (int corner = 0; corner < 3; corner++) {
                    assertArrayEquals(CORNERS[screen][corner], Arrays.copyOfRange(corners, 3 * corner, 3 * corner + 3));
                }
            }
            assertThrows(IndexOutOfBoundsException.class, () -> room.screenCorners(3, null));
            for (float[] head : new float[][] {trackdJniMatrix(0, 1, 2, -3), trackdJniMatrix(37.5, -0.75f, 1.25f, -2)}) {
                double[] pose = room.roomPose(head, null);
                List<String> args = new ArrayList<>(Arrays.asList("pose"));
                args.addAll(readerBits(head));
                assertSameBits(probe(file, args)[0], pose);
                // Column after column: the translation in 12, 13, 14, the tracker's point in the room.
                assertEquals(head[3] * 0.3048, pose[12], 1e-12);
                assertEquals(2.5 + head[11] * 0.3048, pose[13], 1e-12);
                assertEquals(0.5 - head[7] * 0.3048, pose[14], 1e-12);
                String[] eyes = {"left", "right", "centre"};
                for (int point = 1; point <= 3; point++) {
                    List<String> eyeArgs = new ArrayList<>(Arrays.asList("eye", Integer.toString(point)));
                    eyeArgs.addAll(readerBits(head));
                    assertSameBits(probe(file, eyeArgs)[0], room.eyePosition(eyes[point - 1], head, null));
                }
                double[] eye = room.eyePosition("left", head, new double[3]);
                for (int screen = 0; screen < 3; screen++) {
                    double[] view = new double[16];
                    double[] projection = new double[16];
                    room.viewProjection(room.screenNames().get(screen), eye, 0.05, 100.0, view, projection);
                    double[][] expected = probe(file, Arrays.asList("screen", Integer.toString(screen), bits(0.05),
                            bits(100.0), bits(eye[0]), bits(eye[1]), bits(eye[2])));
                    assertSameBits(expected[0], view);
                    assertSameBits(expected[1], projection);
                    double[][] clips = {{-1, -1}, {1, -1}, {-1, 1}};
                    for (int corner = 0; corner < 3; corner++) {
                        double[] clip = times(projection, times(view, CORNERS[screen][corner]));
                        assertEquals(clips[corner][0], clip[0] / clip[3], 1e-12);
                        assertEquals(clips[corner][1], clip[1] / clip[3], 1e-12);
                    }
                }
            }
        }
    }

    /** m * (x, y, z, w) for m stored column after column; a point of 3 has w = 1. */
    private static double[] times(double[] m, double[] p) {
        double[] v = {p[0], p[1], p[2], p.length > 3 ? p[3] : 1};
        double[] out = new double[4];
        for (int row = 0; row < 4; row++) {
            for (int column = 0; column < 4; column++) {
                out[row] += m[column * 4 + row] * v[column];
            }
        }
        return out;
    }

    @Test
    void refusalsNameTheFileAndLineAndTouchNothing() throws Exception {
        Path wrong = write("wrong.toml", THREE_WALLS.replace("unit = 0.3048", "unit = -0.3048"));
        IllegalArgumentException mistake =
                assertThrows(IllegalArgumentException.class, () -> Installation.load(wrong.toString()));
        assertTrue(mistake.getMessage().startsWith(wrong + ":3: tracker.unit: "), mistake.getMessage());
        Path none = folder.resolve("none.toml");
        FileNotFoundException missing =
                assertThrows(FileNotFoundException.class, () -> Installation.load(none.toString()));
        assertEquals(none + ": cannot open: No such file or directory", missing.getMessage());

        Installation room = Installation.load(write("installation.toml", THREE_WALLS).toString());
        float[] head = trackdJniMatrix(0, 0, 0, -3);
        double[] eye = room.eyePosition("centre", head, null);
        double[] view = new double[16];
        double[] projection = new double[16];
        Arrays.fill(view, 7);
        assertThrows(IndexOutOfBoundsException.class, () -> room.viewProjection(3, eye, 0.05, 100, view, projection));
        assertThrows(IndexOutOfBoundsException.class, () -> room.viewProjection(-1, eye, 0.05, 100, view, projection));
        assertThrows(IllegalArgumentException.class, () -> room.viewProjection("floor", eye, 0.05, 100, view, projection));
        IllegalArgumentException behind = assertThrows(IllegalArgumentException.class,
                () -> room.viewProjection(0, new double[] {0, 1, -2}, 0.05, 100, view, projection));
        assertTrue(behind.getMessage().contains("on or behind screen \"front\"'s plane"), behind.getMessage());
        assertThrows(IllegalArgumentException.class, () -> room.viewProjection(0, eye, 0, 100, view, projection));
        assertThrows(IllegalArgumentException.class, () -> room.viewProjection(0, eye, 0.05, 0.05, view, projection));
        assertThrows(IllegalArgumentException.class, () -> room.viewProjection(0, eye, 0.05, 100, new double[15], projection));
        assertThrows(IllegalArgumentException.class, () -> room.eyePosition("center", head, null));
        float[] infinite = head.clone();
        infinite[3] = Float.POSITIVE_INFINITY;
        assertThrows(IllegalArgumentException.class, () -> room.roomPose(infinite, view));
        assertThrows(IllegalArgumentException.class, () -> room.roomPose(new float[15], view));
        assertThrows(NullPointerException.class, () -> room.roomPose(null, view));
        double[] sevens = new double[16];
        Arrays.fill(sevens, 7);
        assertArrayEquals(sevens, view); // a refusal writes nothing

        room.close();
        room.close(); // a second close does nothing
        assertThrows(IllegalStateException.class, () -> room.roomPose(head, null));
        assertThrows(IllegalStateException.class, () -> room.viewProjection(0, eye, 0.05, 100, view, projection));
        assertEquals(Arrays.asList("front", "left", "right"), room.screenNames());
    }
}
