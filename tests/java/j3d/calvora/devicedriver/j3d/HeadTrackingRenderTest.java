package calvora.devicedriver.j3d;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import calvora.devicedriver.test.Segment;
import java.awt.GraphicsDevice;
import java.awt.GraphicsEnvironment;
import java.awt.Rectangle;
import java.awt.Robot;
import java.awt.image.BufferedImage;
import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.imageio.ImageIO;
import org.junit.jupiter.api.Test;

/**
 * Head-coupled perspective as Java 3D draws it on an X display (Xvfb with Mesa): applications run in
 * virtual machines of their own against segments written here, and captures of the screen are measured
 * against the off-axis projection computed here from the room's geometry alone.
 */
class HeadTrackingRenderTest {
    /** How far, in pixels, a drawn edge may lie from where the projection puts it. */
    private static final double TOLERANCE = 2.0;
    /** Lit regions smaller than this are not objects. */
    private static final int MIN_PIXELS = 30;
    /** How long an application may take to start and draw on a loaded machine. */
    private static final long PATIENCE_MILLIS = 180_000;

    private static final V HEAD = new V(0, 1.7f, 0);
    private static final V HEAD_RIGHT = new V(0.1f, 1.7f, 0);

    /** The wall of the README's program and of trackd-one-wall.cfg, in tracker metres. */
    private static final Wall ONE_WALL = new Wall("the wall", new V(-1.2, 0.3, -1.0), new V(1, 0, 0), 2.4, 1.8);
    /** The README program's scene and the same for configured applications. */
    private static final Cube NEAR = new Cube("the cube in front of the screen", 0.1, new V(-0.4, 1.3, -0.6));
    private static final Cube FAR = new Cube("the cube behind the screen", 0.3, new V(0.5, 1.5, -3.0));
    private static final Cube HAND = new Cube("the cube in the hand", 0.05, new V(0.4f, 1.4f, -0.6f));

    /** The walls of trackd-three-walls.cfg on screens 0, 1 and 2, and a cube before each. */
    private static final List<Wall> THREE_WALLS = List.of(
            new Wall("the left wall", new V(-1.5, 0, 1.5), new V(0, 0, -1), 3.0, 2.25),
            new Wall("the front wall", new V(-1.5, 0, -1.5), new V(1, 0, 0), 3.0, 2.25),
            new Wall("the right wall", new V(1.5, 0, -1.5), new V(0, 0, 1), 3.0, 2.25));
    private static final List<Cube> CAVE = List.of(
            new Cube("the cube on the left", 0.1, new V(-1.0, 1.2, 0.3)),
            new Cube("the cube in front", 0.15, new V(0.2, 1.2, -1.0)),
            new Cube("the cube on the right", 0.1, new V(1.0, 1.4, -0.3)));
    private static final Cube CAVE_HAND = new Cube("the cube in the hand", 0.05, new V(-0.3f, 1.3f, -0.6f));

    record V(double x, double y, double z) {
        V plus(V o) {
            return new V(x + o.x, y + o.y, z + o.z);
        }

        V minus(V o) {
            return new V(x - o.x, y - o.y, z - o.z);
        }

        V times(double k) {
            return new V(k * x, k * y, k * z);
        }

        double dot(V o) {
            return x * o.x + y * o.y + z * o.z;
        }

        V cross(V o) {
            return new V(y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x);
        }
    }

    /** A wall's image: its lower-left corner, the unit vector along its lower edge, its size; it stands upright. */
    record Wall(String name, V lowerLeft, V across, double width, double height) {
        V up() {
            return new V(0, 1, 0);
        }

        /**
         * Where the line from the eye through the point meets the wall, on a screen of w x h pixels: x from
         * the left edge, y from the top, continuous; null when the point is not in front of the eye.
         */
        double[] project(V eye, V point, int w, int h) {
            V ray = point.minus(eye);
            V normal = across.cross(up());
            double s = normal.dot(lowerLeft.minus(eye)) / normal.dot(ray);
            if (!(s > 0)) {
                return null;
            }
            V onWall = eye.plus(ray.times(s)).minus(lowerLeft);
            return new double[] {across.dot(onWall) / width * w, (1 - up().dot(onWall) / height) * h};
        }
    }

    record Cube(String name, double half, V centre) {
        String argument() {
            return half + "," + centre.x + "," + centre.y + "," + centre.z;
        }
    }

    /** Pixels, edges included. */
    record Box(int left, int top, int right, int bottom) {
        double centreX() {
            return (left + right) / 2.0;
        }

        double centreY() {
            return (top + bottom) / 2.0;
        }

        boolean near(Box o) {
            return Math.abs(left - o.left) <= TOLERANCE && Math.abs(right - o.right) <= TOLERANCE
                    && Math.abs(top - o.top) <= TOLERANCE && Math.abs(bottom - o.bottom) <= TOLERANCE;
        }

        boolean inside(int w, int h) {
            return left >= 0 && top >= 0 && right < w && bottom < h;
        }

        @Override
        public String toString() {
            return "x " + left + ".." + right + ", y " + top + ".." + bottom;
        }
    }

    /**
     * The pixels a cube covers: the box around its corners' projections, pixel centres inside it. Null
     * when a corner is not in front of the eye.
     */
    private static Box predicted(Wall wall, V eye, Cube cube, int w, int h) {
        double left = Double.MAX_VALUE;
        double top = Double.MAX_VALUE;
        double right = -Double.MAX_VALUE;
        double bottom = -Double.MAX_VALUE;
        for (int corner = 0; corner < 8; corner++) {
            V offset = new V((corner & 1) == 0 ? -1 : 1, (corner & 2) == 0 ? -1 : 1, (corner & 4) == 0 ? -1 : 1);
            double[] at = wall.project(eye, cube.centre.plus(offset.times(cube.half)), w, h);
            if (at == null) {
                return null;
            }
            left = Math.min(left, at[0]);
            right = Math.max(right, at[0]);
            top = Math.min(top, at[1]);
            bottom = Math.max(bottom, at[1]);
        }
        return new Box((int) Math.ceil(left - 0.5), (int) Math.ceil(top - 0.5), (int) Math.floor(right - 0.5),
                (int) Math.floor(bottom - 0.5));
    }

    /** What the wall shows of the cubes: those wholly on it, in front of the eye. */
    private static Map<Cube, Box> expected(Wall wall, V eye, List<Cube> cubes, Rectangle screen) {
        Map<Cube, Box> shown = new LinkedHashMap<>();
        for (Cube cube : cubes) {
            Box box = predicted(wall, eye, cube, screen.width, screen.height);
            if (box != null && box.inside(screen.width, screen.height)) {
                shown.put(cube, box);
            }
        }
        return shown;
    }

    /** The lit regions of a capture on black, each by its bounding box. */
    private static List<Box> objects(BufferedImage image) {
        int w = image.getWidth();
        int h = image.getHeight();
        boolean[] lit = new boolean[w * h];
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                lit[y * w + x] = (image.getRGB(x, y) & 0xffffff) != 0;
            }
        }
        List<Box> found = new ArrayList<>();
        int[] queue = new int[w * h];
        for (int start = 0; start < lit.length; start++) {
            if (!lit[start]) {
                continue;
            }
            int head = 0;
            int tail = 0;
            queue[tail++] = start;
            lit[start] = false;
            int left = w;
            int top = h;
            int right = -1;
            int bottom = -1;
            while (head < tail) {
                int p = queue[head++];
                int x = p % w;
                int y = p / w;
                left = Math.min(left, x);
                right = Math.max(right, x);
                top = Math.min(top, y);
                bottom = Math.max(bottom, y);
                int[] neighbours = {x > 0 ? p - 1 : -1, x < w - 1 ? p + 1 : -1, y > 0 ? p - w : -1,
                    y < h - 1 ? p + w : -1};
                for (int n : neighbours) {
                    if (n >= 0 && lit[n]) {
                        lit[n] = false;
                        queue[tail++] = n;
                    }
                }
            }
            if (tail >= MIN_PIXELS) {
                found.add(new Box(left, top, right, bottom));
            }
        }
        return found;
    }

    /** Each expected cube matched with the nearest object seen; problems are collected, not thrown. */
    private static Map<Cube, Box> match(List<Box> seen, Map<Cube, Box> expected, List<String> problems) {
        List<Box> left = new ArrayList<>(seen);
        Map<Cube, Box> matched = new LinkedHashMap<>();
        for (Map.Entry<Cube, Box> entry : expected.entrySet()) {
            Box want = entry.getValue();
            Box nearest = null;
            for (Box box : left) {
                if (nearest == null || Math.hypot(box.centreX() - want.centreX(), box.centreY() - want.centreY())
                        < Math.hypot(nearest.centreX() - want.centreX(), nearest.centreY() - want.centreY())) {
                    nearest = box;
                }
            }
            if (nearest == null) {
                problems.add(entry.getKey().name + " is not drawn; expected at " + want);
                continue;
            }
            left.remove(nearest);
            matched.put(entry.getKey(), nearest);
            if (!nearest.near(want)) {
                problems.add(entry.getKey().name + " is drawn at " + nearest + ", expected at " + want);
            }
        }
        for (Box stray : left) {
            problems.add("something unexpected is drawn at " + stray);
        }
        return matched;
    }

    private static Rectangle bounds(int screen) {
        return screen(screen).getDefaultConfiguration().getBounds();
    }

    private static GraphicsDevice screen(int screen) {
        return GraphicsEnvironment.getLocalGraphicsEnvironment().getScreenDevices()[screen];
    }

    /** The folder of Xvfb's screen pictures, when the test runs in with-display's Xvfb. */
    private static final String XVFB_SCREENS = System.getenv("XVFB_SCREENS");

    /** A screen's picture: from Xvfb's file of it, or else through Robot, which reads only the first screen. */
    private static BufferedImage capture(int screen) throws Exception {
        if (XVFB_SCREENS == null) {
            return new Robot(screen(screen)).createScreenCapture(new Rectangle(bounds(screen).getSize()));
        }
        return readXwd(Path.of(XVFB_SCREENS, "Xvfb_screen" + screen));
    }

    /** An XWD picture of 32-bit true-colour pixels, as Xvfb keeps its screens. */
    private static BufferedImage readXwd(Path file) throws IOException {
        ByteBuffer bytes = ByteBuffer.wrap(Files.readAllBytes(file));
        int[] header = new int[25];
        for (int i = 0; i < header.length; i++) {
            header[i] = bytes.getInt(4 * i);
        }
        int headerSize = header[0];
        int width = header[4];
        int height = header[5];
        int bitsPerPixel = header[11];
        int bytesPerLine = header[12];
        int colours = header[19];
        assertEquals(32, bitsPerPixel, "Xvfb's screens hold 32-bit pixels");
        bytes.order(header[7] == 0 ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
        int pixels = headerSize + 12 * colours;
        BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                image.setRGB(x, y, bytes.getInt(pixels + y * bytesPerLine + 4 * x) & 0xffffff);
            }
        }
        return image;
    }

    /**
     * Captures the screen until it shows what is expected, within the tolerance, and returns what it shows;
     * fails with the last differences when the application exits or takes too long.
     */
    private static Map<Cube, Box> awaitPicture(App app, int screen, Map<Cube, Box> expected) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PATIENCE_MILLIS);
        List<String> problems = new ArrayList<>();
        BufferedImage image = null;
        while (System.nanoTime() < deadline) {
            if (!app.process.isAlive()) {
                fail(app.name + " exited with " + app.process.exitValue() + ":\n" + app.stderr());
            }
            image = capture(screen);
            problems.clear();
            Map<Cube, Box> seen = match(objects(image), expected, problems);
            if (problems.isEmpty()) {
                int off = 0;
                for (Map.Entry<Cube, Box> entry : seen.entrySet()) {
                    Box want = expected.get(entry.getKey());
                    Box got = entry.getValue();
                    off = Math.max(off, Math.max(Math.abs(got.left - want.left), Math.abs(got.right - want.right)));
                    off = Math.max(off, Math.max(Math.abs(got.top - want.top), Math.abs(got.bottom - want.bottom)));
                }
                System.out.printf("%s, screen %d: %d objects, every edge within %d px of the projection%n", app.name,
                        screen, seen.size(), off);
                return seen;
            }
            Thread.sleep(100);
        }
        File kept = File.createTempFile("trackd-j3d-capture", ".png");
        ImageIO.write(image, "png", kept);
        fail("screen " + screen + " of " + app.name + " (kept in " + kept + "): " + String.join("; ", problems)
                + "\n" + app.stderr());
        return null;
    }

    /** An application in a virtual machine of its own, with Java 3D's options, its output kept in files. */
    private static final class App implements AutoCloseable {
        final String name;
        final Process process;
        final Path err;

        App(String name, List<String> options, String mainClass, String... args) throws IOException {
            this.name = name;
            err = Files.createTempFile("trackd-j3d-app", ".err");
            List<String> command = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElse("java"),
                    "--add-exports", "java.desktop/sun.awt=ALL-UNNAMED",
                    "--add-opens", "java.desktop/sun.awt=ALL-UNNAMED",
                    "-Djava.library.path=" + System.getProperty("render.libraryPath"),
                    "-cp", System.getProperty("render.classpath")));
            command.addAll(options);
            command.add(mainClass);
            command.addAll(List.of(args));
            process = new ProcessBuilder(command).redirectErrorStream(false)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(err.toFile()).start();
        }

        String stderr() throws IOException {
            return Files.readString(err);
        }

        @Override
        public void close() throws IOException {
            process.destroy();
            try {
                if (!process.waitFor(60, TimeUnit.SECONDS)) {
                    process.destroyForcibly().waitFor();
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
            Files.deleteIfExists(err);
        }
    }

    private static List<String> keys(Segment tracker, Segment controller) {
        return List.of("-D" + TrackdInputDevice.TRACKER_KEY_PROPERTY + "=" + tracker.key,
                "-D" + TrackdInputDevice.CONTROLLER_KEY_PROPERTY + "=" + controller.key);
    }

    /** A shipped configuration file with the test's keys in place of trackd's. */
    private static Path configuration(String property, Segment tracker, Segment controller) throws IOException {
        String shipped = Files.readString(Path.of(System.getProperty(property)));
        String ours = shipped.replace("(DeviceProperty trackd TrackerKey 7401)", "(DeviceProperty trackd TrackerKey "
                + tracker.key + ")").replace("(DeviceProperty trackd ControllerKey 7402)",
                "(DeviceProperty trackd ControllerKey " + controller.key + ")");
        assertEquals(2, countDifferentLines(shipped, ours), "the file names trackd's keys 7401 and 7402");
        Path file = Files.createTempFile("trackd-j3d", ".cfg");
        file.toFile().deleteOnExit();
        Files.writeString(file, ours);
        return file;
    }

    private static int countDifferentLines(String a, String b) {
        List<String> as = a.lines().toList();
        List<String> bs = b.lines().toList();
        int different = 0;
        for (int i = 0; i < as.size(); i++) {
            different += as.get(i).equals(bs.get(i)) ? 0 : 1;
        }
        return different;
    }

    private static void putHead(Segment tracker, V head) {
        tracker.putSensor(0, (float) head.x, (float) head.y, (float) head.z, 0, 0, 0);
    }

    private static void putHand(Segment tracker, Cube hand) {
        tracker.putSensor(1, (float) hand.centre.x, (float) hand.centre.y, (float) hand.centre.z, 0, 0, 0);
    }

    /** The README's program: the cubes where the projection puts them, and the near one moving with the head. */
    @Test
    void theReadmeProgramDrawsTheScenePerTheProjectionAndFollowsTheHead() throws Exception {
        try (Segment tracker = Segment.tracker(2); Segment controller = Segment.controller(2, 0)) {
            putHead(tracker, HEAD);
            putHand(tracker, HAND);
            try (App app = new App("the README's program", keys(tracker, controller), "HeadTrackedWall")) {
                showsTheWallSceneAndFollowsTheHead(app, tracker);
            }
        }
    }

    /**
     * The one-wall scene where the projection puts it, from the head and then from 10 cm to the right, where
     * the near cube moves against the far one as far as the geometry says; nothing on standard error.
     */
    private static void showsTheWallSceneAndFollowsTheHead(App app, Segment tracker) throws Exception {
        Rectangle screen = bounds(0);
        Map<Cube, Box> expectedBefore = expected(ONE_WALL, HEAD, List.of(NEAR, FAR, HAND), screen);
        Map<Cube, Box> before = awaitPicture(app, 0, expectedBefore);
        putHead(tracker, HEAD_RIGHT);
        Map<Cube, Box> expectedAfter = expected(ONE_WALL, HEAD_RIGHT, List.of(NEAR, FAR, HAND), screen);
        Map<Cube, Box> after = awaitPicture(app, 0, expectedAfter);
        checkParallax(before, after, expectedBefore, expectedAfter);
        assertClean(app);
    }

    /** The near cube's shift against the far one's, measured and predicted, in pixels. */
    private static void checkParallax(Map<Cube, Box> before, Map<Cube, Box> after, Map<Cube, Box> predictedBefore,
            Map<Cube, Box> predictedAfter) {
        double seen = shift(before, after, NEAR) - shift(before, after, FAR);
        double predicted = shift(predictedBefore, predictedAfter, NEAR) - shift(predictedBefore, predictedAfter, FAR);
        System.out.printf("head 10 cm to the right: the near cube moved %.1f px against the far one; the geometry"
                + " predicts %.1f px%n", seen, predicted);
        assertTrue(predicted < -20, "the scene shows parallax at all: " + predicted);
        assertEquals(Math.signum(predicted), Math.signum(seen), "direction of the parallax");
        assertEquals(predicted, seen, TOLERANCE, "amount of the parallax in pixels");
    }

    private static double shift(Map<Cube, Box> before, Map<Cube, Box> after, Cube cube) {
        return after.get(cube).centreX() - before.get(cube).centreX();
    }

    private static void assertClean(App app) throws IOException {
        String stderr = app.stderr();
        assertTrue(!stderr.contains("ERROR") && !stderr.contains("Exception"), "standard error:\n" + stderr);
    }

    /** An unmodified configured application, its device made by Java 3D from the shipped one-wall file. */
    @Test
    void aConfiguredUniverseFromTheOneWallFileDoesTheSame() throws Exception {
        try (Segment tracker = Segment.tracker(2); Segment controller = Segment.controller(2, 0)) {
            putHead(tracker, HEAD);
            putHand(tracker, HAND);
            Path file = configuration("render.oneWall", tracker, controller);
            try (App app = new App("a configured application", List.of("-Dj3d.configURL=" + file.toUri()),
                    ConfiguredScene.class.getName(), NEAR.argument(), FAR.argument(), "--hand",
                    Double.toString(HAND.half))) {
                showsTheWallSceneAndFollowsTheHead(app, tracker);
            }
        }
    }

    /** Without trackd the README's program draws from a fixed eye in front of the wall, and says why once. */
    @Test
    void withoutTrackdTheReadmeProgramDrawsFromAFixedEyeAndSaysWhyOnce() throws Exception {
        int missing = Segment.unusedKey();
        List<String> options = List.of("-D" + TrackdInputDevice.TRACKER_KEY_PROPERTY + "=" + missing,
                "-D" + TrackdInputDevice.CONTROLLER_KEY_PROPERTY + "=" + missing);
        try (App app = new App("the README's program without trackd", options, "HeadTrackedWall")) {
            // In front of the wall's centre, as far from it as the wall is wide; the hand stays out of sight.
            V fixedEye = new V(0, 1.2, 1.4);
            Cube handAtOrigin = new Cube("the cube in the hand, at the origin", HAND.half, new V(0, 0, 0));
            Map<Cube, Box> expected = expected(ONE_WALL, fixedEye, List.of(NEAR, FAR, handAtOrigin), bounds(0));
            assertEquals(List.of(NEAR, FAR), List.copyOf(expected.keySet()));
            awaitPicture(app, 0, expected);
            String stderr = app.stderr();
            assertEquals(1, count(stderr,
                    "trackd's tracker segment under key .* cannot be attached; is trackd running\\?"), stderr);
            assertEquals(1, count(stderr, "HeadTracking: no head tracking; the view keeps a fixed eye at \\(0\\.000,"
                    + " 1\\.200, 1\\.400\\)"), stderr);
            // The library's error lines come from the two attempts to attach, none from the frames after.
            assertEquals(2, count(stderr, "(?m)^ERROR"), stderr);
        }
    }

    /**
     * After an error the Java 3D demo says what is wrong, its control characters escaped, and exits with
     * status 1: Java 3D's threads and the window's would keep it running, showing nothing.
     */
    @Test
    void theJava3dDemoExitsWithStatusOneAfterAnError() throws Exception {
        List<String> badKey = List.of("-D" + TrackdInputDevice.TRACKER_KEY_PROPERTY + "=seventy\u001b[2J");
        try (App app = new App("the Java 3D demo with a bad key", badKey, "calvora.devicedriver.demo.TrackdJava3dDemo",
                "--duration", "600")) {
            assertTrue(app.process.waitFor(300, TimeUnit.SECONDS), "the demo still runs after its error");
            String stderr = app.stderr();
            assertEquals(1, app.process.exitValue(), stderr);
            assertTrue(stderr.contains("TrackdJava3dDemo: " + TrackdInputDevice.TRACKER_KEY_PROPERTY
                    + ": \"seventy\\x1b[2J\" is not a System V key\n"), stderr);
            assertTrue(stderr.chars().noneMatch(c -> c < 0x20 && c != '\n'), stderr);
        }
    }

    private static int count(String text, String regex) {
        Matcher matcher = Pattern.compile(regex).matcher(text);
        int found = 0;
        while (matcher.find()) {
            found++;
        }
        return found;
    }

    /** The shipped three-wall file: each wall on its screen shows what lies behind it, seen from the head. */
    @Test
    void theThreeWallFileShowsEachWallFromTheHead() throws Exception {
        int screens = GraphicsEnvironment.getLocalGraphicsEnvironment().getScreenDevices().length;
        assumeTrue(screens >= 3 && XVFB_SCREENS != null, "the three-wall file needs with-display's Xvfb of three"
                + " screens; this display has " + screens);
        try (Segment tracker = Segment.tracker(2); Segment controller = Segment.controller(2, 0)) {
            putHead(tracker, HEAD);
            putHand(tracker, CAVE_HAND);
            Path file = configuration("render.threeWalls", tracker, controller);
            List<String> args = new ArrayList<>();
            for (Cube cube : CAVE) {
                args.add(cube.argument());
            }
            args.addAll(List.of("--hand", Double.toString(CAVE_HAND.half)));
            List<Cube> scene = new ArrayList<>(CAVE);
            scene.add(CAVE_HAND);
            try (App app = new App("a configured application on three walls",
                    List.of("-Dj3d.configURL=" + file.toUri()), ConfiguredScene.class.getName(),
                    args.toArray(new String[0]))) {
                int shown = 0;
                for (int wall = 0; wall < 3; wall++) {
                    Map<Cube, Box> expected = expected(THREE_WALLS.get(wall), HEAD, scene, bounds(wall));
                    assertNotEquals(0, expected.size(), THREE_WALLS.get(wall).name + " shows a cube");
                    shown += expected.size();
                    awaitPicture(app, wall, expected);
                }
                assertEquals(scene.size(), shown, "every cube shows on one wall");
                assertClean(app);
            }
        }
    }
}
