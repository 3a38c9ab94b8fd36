package calvora.devicedriver.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import calvora.devicedriver.TrackdJNI;
import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.GraphicsEnvironment;
import java.awt.Rectangle;
import java.awt.Robot;
import java.awt.event.InputEvent;
import java.awt.event.KeyEvent;
import java.awt.event.KeyListener;
import java.awt.event.MouseEvent;
import java.awt.event.MouseListener;
import java.awt.event.MouseMotionListener;
import java.awt.geom.Point2D;
import java.awt.image.BufferedImage;
import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;
import java.util.function.LongPredicate;
import java.util.function.LongUnaryOperator;
import java.util.function.Predicate;
import java.util.function.Supplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.imageio.ImageIO;
import org.junit.jupiter.api.Test;

/**
 * The viewer: its drawing painted into an image and checked pixel by pixel, its names and status bar, its
 * change rate as trackd-monitor counts it, the build tree's launcher drawing the simulator on a display, and
 * the viewer driving a simulator of its own.
 */
class TrackdViewerTest {
    private static final int WIDTH = 400;
    private static final int HEIGHT = 300;

    private static BufferedImage paint(float[] pose, int[] buttons, float[] valuators) {
        BufferedImage image = new BufferedImage(WIDTH, HEIGHT, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        ViewerPainter.paintScene(g, WIDTH, HEIGHT, new ViewerScene(new float[][] {pose}, buttons, valuators));
        g.dispose();
        return image;
    }

    private static void assertColour(Color expected, BufferedImage image, int x, int y) {
        assertEquals(Integer.toHexString(expected.getRGB() & 0xFFFFFF), Integer.toHexString(image.getRGB(x, y) & 0xFFFFFF),
                "pixel " + x + ", " + y);
    }

    @Test
    void drawsTheFrameOfAnUnrotatedSensorAtTheCentre() {
        // Column-vector form, translation (0, 1.3, 0): straight ahead of the eye.
        float[] pose = {1, 0, 0, 0, 0, 1, 0, 1.3f, 0, 0, 1, 0, 0, 0, 0, 1};
        BufferedImage image = paint(pose, new int[] {1, 0}, new float[] {0.5f});
        int pixelsPerUnit = (int) (ViewerPainter.FOCAL * HEIGHT / ViewerCamera.EYE_Z);
        int half = (int) (ViewerPainter.AXIS_LENGTH * pixelsPerUnit / 2);
        assertColour(Color.RED, image, WIDTH / 2 + half, HEIGHT / 2);
        assertColour(Color.GREEN, image, WIDTH / 2, HEIGHT / 2 - half);
        assertColour(ViewerPainter.LAMP_ON, image, ViewerPainter.lampX(0) + 8, ViewerPainter.lampY(HEIGHT) + 8);
        assertColour(ViewerPainter.LAMP_OFF, image, ViewerPainter.lampX(1) + 8, ViewerPainter.lampY(HEIGHT) + 8);
        assertColour(ViewerPainter.BAR, image, ViewerPainter.valuatorCentre(WIDTH) + 25,
                ViewerPainter.valuatorY(0) + 5);
        assertColour(Color.BLACK, image, ViewerPainter.valuatorCentre(WIDTH) - 25, ViewerPainter.valuatorY(0) + 5);
    }

    @Test
    void recoversTheAnglesAndOrbitsAboutTheHead() {
        // Z x X x Y for row vectors, transposed into the column-vector form: X 10, Y 20, Z 30 degrees.
        double x = Math.toRadians(10);
        double y = Math.toRadians(20);
        double z = Math.toRadians(30);
        double[][] row = {
            {Math.cos(z) * Math.cos(y) + Math.sin(z) * Math.sin(x) * Math.sin(y), Math.sin(z) * Math.cos(x),
                -Math.cos(z) * Math.sin(y) + Math.sin(z) * Math.sin(x) * Math.cos(y)},
            {-Math.sin(z) * Math.cos(y) + Math.cos(z) * Math.sin(x) * Math.sin(y), Math.cos(z) * Math.cos(x),
                Math.sin(z) * Math.sin(y) + Math.cos(z) * Math.sin(x) * Math.cos(y)},
            {Math.cos(x) * Math.sin(y), -Math.sin(x), Math.cos(x) * Math.cos(y)}};
        float[] m = new float[16];
        for (int i = 0; i < 3; i++) {
            for (int j = 0; j < 3; j++) {
                m[4 * j + i] = (float) row[i][j];
            }
        }
        double[] angles = ViewerPainter.angles(m);
        assertEquals(10, angles[0], 1e-4);
        assertEquals(20, angles[1], 1e-4);
        assertEquals(30, angles[2], 1e-4);

        // Orbited a quarter turn, the eye looks along -X at the head: a point behind it (-Z) shows to the right.
        ViewerCamera side = ViewerCamera.START.orbit(90, 0);
        assertEquals(WIDTH / 2.0, ViewerPainter.project(0, ViewerCamera.TARGET_Y, 0, WIDTH, HEIGHT, side).getX(), 1e-9);
        assertTrue(ViewerPainter.project(0, ViewerCamera.TARGET_Y, -0.5, WIDTH, HEIGHT, side).getX() > WIDTH / 2.0);
    }

    @Test
    void turnsTheFrameWithTheMatrix() {
        // A quarter turn about Y: the Z axis now points along +X, the X axis away from the eye.
        float[] pose = {0, 0, 1, 0, 0, 1, 0, 1.3f, -1, 0, 0, 0, 0, 0, 0, 1};
        BufferedImage image = paint(pose, new int[0], new float[0]);
        int half = (int) (ViewerPainter.AXIS_LENGTH * ViewerPainter.FOCAL * HEIGHT / ViewerCamera.EYE_Z / 2);
        assertColour(Color.BLUE, image, WIDTH / 2 + half, HEIGHT / 2);
        assertColour(Color.GREEN, image, WIDTH / 2, HEIGHT / 2 - half);
    }

    /** Where a room point shows in the test's picture from the starting camera. */
    private static Point2D at(double x, double y, double z) {
        return ViewerPainter.project(x, y, z, WIDTH, HEIGHT);
    }

    /** Whether `colour` is at x, y or a pixel next to it (a line's pixels round either way). */
    private static boolean near(Color colour, BufferedImage image, Point2D point) {
        for (int dy = -1; dy <= 1; dy++) {
            for (int dx = -1; dx <= 1; dx++) {
                int x = (int) Math.round(point.getX()) + dx;
                int y = (int) Math.round(point.getY()) + dy;
                if ((image.getRGB(x, y) & 0xffffff) == (colour.getRGB() & 0xffffff)) {
                    return true;
                }
            }
        }
        return false;
    }

    @Test
    void anInstallationShowsTheRoomItsScreensBothEyesAndTheSelectedScreensFrusta() throws IOException {
        // The tracker's origin lies 1 m above the room's; the eyes 0.3 m either side of the head.
        Path file = Files.createTempFile("viewer-room", ".toml");
        Files.writeString(file, "[tracker]\nunit = 1.0\norigin = [0.0, 1.0, 0.0]\nx_axis = [1.0, 0.0, 0.0]\n"
                + "y_axis = [0.0, 1.0, 0.0]\nz_axis = [0.0, 0.0, 1.0]\n"
                + "[[sensor]]\nindex = 0\nname = \"head\"\nrole = \"head\"\nleft_eye = [-0.3, 0.0, 0.0]\n"
                + "right_eye = [0.3, 0.0, 0.0]\n"
                + "[[screen]]\nname = \"front\"\nlower_left = [-1.0, 1.0, -1.5]\nlower_right = [1.0, 1.0, -1.5]\n"
                + "upper_left = [-1.0, 2.0, -1.5]\n"
                + "[[screen]]\nname = \"side\"\nlower_left = [-1.0, 1.0, 0.5]\nlower_right = [-1.0, 1.0, -0.5]\n"
                + "upper_left = [-1.0, 2.0, 0.5]\n");
        try (calvora.devicedriver.room.Installation installation = ViewerRoom.load(file.toString())) {
            assertEquals(List.of("head"), ViewerRoom.namesByIndex(installation));
            assertEquals("--names calls sensor 0 'hand', " + file + " calls it 'head'",
                    ViewerRoom.namesDisagreement(installation, List.of("hand")));
            // The head at (0, 0.7, 0) in the tracker's coordinates, unturned: at eye height 1.7 m in the room.
            float[] head = {1, 0, 0, 0, 0, 1, 0, 0.7f, 0, 0, 1, 0, 0, 0, 0, 1};
            float[][] inRoom = new float[1][];
            ViewerScene.Room room = new ViewerRoom(installation, 1).scene(new float[][] {head}, inRoom);
            ViewerScene scene = new ViewerScene(inRoom, new int[0], new float[0], List.of("head"), List.of(), room);
            assertTrue(ViewerPainter.table(scene).get(1).matches("0 head +0\\.000 +1\\.700 +0\\.000 .*"),
                    ViewerPainter.table(scene).get(1));
            BufferedImage image = new BufferedImage(WIDTH, HEIGHT, BufferedImage.TYPE_INT_RGB);
            Graphics2D g = image.createGraphics();
            ViewerPainter.paintScene(g, WIDTH, HEIGHT, scene);
            g.dispose();
            // The front screen's right edge, the selected side screen's far edge, each eye and the left
            // eye's frustum line to the side screen's lower-right corner.
            assertTrue(near(ViewerPainter.SCREEN, image, at(1, 1.5, -1.5)), "front");
            assertTrue(near(ViewerPainter.SCREEN_SELECTED, image, at(-1, 1.5, -0.5)), "side");
            assertColour(ViewerPainter.EYE_COLORS[0], image, (int) Math.round(at(-0.3, 1.7, 0).getX()),
                    (int) Math.round(at(-0.3, 1.7, 0).getY()));
            assertColour(ViewerPainter.EYE_COLORS[1], image, (int) Math.round(at(0.3, 1.7, 0).getX()),
                    (int) Math.round(at(0.3, 1.7, 0).getY()));
            assertTrue(near(ViewerPainter.FRUSTUM_COLORS[0], image, at(-0.65, 1.35, -0.25)), "frustum");
            assertFalse(near(ViewerPainter.FRUSTUM_COLORS[0], image, at(0.35, 1.35, -0.75)), "no frustum to front");
        } finally {
            Files.delete(file);
        }
    }

    @Test
    void namesLabelTheSensorsInTheTableAndBeyondThemSensorsStayNumbered() {
        ViewerOptions options = new ViewerOptions();
        assertEquals(-1, options.parse(new String[] {"--names", "head,wand"}, System.out, System.err));
        float[] pose = {1, 0, 0, 0.5f, 0, 1, 0, 1.25f, 0, 0, 1, -2, 0, 0, 0, 1};
        ViewerScene scene = new ViewerScene(new float[][] {pose, pose, pose}, new int[0], new float[0],
                options.names, List.of());
        assertEquals(List.of(
                "#             x        y        z  angle X angle Y angle Z",
                "0 head    0.500    1.250   -2.000      0.0     0.0     0.0",
                "1 wand    0.500    1.250   -2.000      0.0     0.0     0.0",
                "2         0.500    1.250   -2.000      0.0     0.0     0.0"), ViewerPainter.table(scene));

        ByteArrayOutputStream err = new ByteArrayOutputStream();
        assertEquals(ToolCommandLine.EXIT_BAD_USAGE, new ViewerOptions().parse(new String[] {"--names", "head,"},
                System.out, new PrintStream(err, true, StandardCharsets.UTF_8)));
        assertTrue(err.toString(StandardCharsets.UTF_8).startsWith("trackd-viewer: --names: sensor 1's name is empty\n"),
                err.toString(StandardCharsets.UTF_8));
    }

    @Test
    void theStatusBarFitsTheWindowAtItsDefaultSizeInEveryState() {
        long start = 1_000_000_000L;
        long second = 1_000_000_000L;
        // The longest words of each state, for the widest key and the longer kind.
        List<String> lines = new ArrayList<>();
        SegmentFollower.Health removed = new SegmentFollower.Health("controller", -1, true, 5, start);
        removed.lookedUp(-1);
        lines.add(removed.line());
        SegmentFollower.Health frozen = new SegmentFollower.Health("controller", -1, true, 5, start);
        frozen.observe(false, start + 99_999 * second);
        lines.add(frozen.line());
        SegmentFollower.Health idle = new SegmentFollower.Health("controller", -1, true, 5, start);
        idle.drivenWhile(() -> true);
        idle.observe(false, start + 99_999 * second);
        assertTrue(idle.line().endsWith("unchanged: nobody is driving"), idle.line());
        lines.add(idle.line());
        SegmentFollower.Health fast = new SegmentFollower.Health("controller", -1, true, 5, start);
        for (long look = 1; look <= 2000; look++) {
            fast.observe(true, start + look * second / 1000);
        }
        assertTrue(fast.rateIsLowerBound());
        lines.add(fast.line());
        lines.add(new SegmentFollower.Health("controller", -1, false, -1, start).line());
        BufferedImage image = new BufferedImage(1, 1, BufferedImage.TYPE_INT_RGB);
        Graphics2D g = image.createGraphics();
        int room = ViewerWindow.DEFAULT_SIZE.width - 12;
        for (String tracker : lines) {
            for (String controller : lines) {
                String text = ViewerPainter.statusText(new ViewerScene(new float[0][], new int[0], new float[0],
                        List.of(), List.of(tracker.replace("controller", "tracker"), controller)));
                int width = g.getFontMetrics(ViewerPainter.FONT).stringWidth(text);
                assertTrue(width <= room, "'" + text + "' is " + width + " px wide, the window " + room);
            }
        }
        for (String hint : ViewerWindow.DRIVE_HINTS) {
            int width = g.getFontMetrics(ViewerPainter.FONT).stringWidth(hint);
            assertTrue(width <= room, "'" + hint + "' is " + width + " px wide, the window " + room);
        }
        g.dispose();
    }

    /** A simulator under fresh keys, stopped on close, with its segments. */
    private static final class Simulator implements AutoCloseable {
        final Process process;
        final int trackerKey;
        final int controllerKey;

        Simulator(String... options) throws IOException {
            for (int attempt = 0; attempt < 20; attempt++) {
                int tracker = ThreadLocalRandom.current().nextInt(0x10000000, 0x70000000);
                List<String> command = new ArrayList<>(List.of(System.getProperty("trackd.sim"),
                        "--tracker-key", Integer.toString(tracker), "--controller-key", Integer.toString(tracker + 1)));
                command.addAll(List.of(options));
                Process started = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.DISCARD).start();
                String banner = new BufferedReader(new InputStreamReader(started.getInputStream(),
                        StandardCharsets.UTF_8)).readLine();
                if (banner != null && banner.startsWith("trackd-sim: tracker key")) {
                    process = started;
                    trackerKey = tracker;
                    controllerKey = tracker + 1;
                    return;
                }
                started.destroy();
            }
            throw new IllegalStateException("trackd-sim did not start");
        }

        @Override
        public void close() {
            process.destroy();
            try {
                assertEquals(0, process.waitFor(), "trackd-sim's status");
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
        }
    }

    /**
     * Runs a reader's looks, one a millisecond, on a simulated clock from `from` to `until` (milliseconds after
     * `start`): none while `stalled` holds, each finding a change when the writer, which has made `writesBy`
     * writes by then, wrote since the look before it.
     */
    private static void look(SegmentFollower.Health health, long start, long from, long until,
            LongPredicate stalled, LongUnaryOperator writesBy) {
        long seen = writesBy.applyAsLong(from);
        for (long ms = from + 1; ms <= until; ms++) {
            if (stalled.test(ms)) {
                continue;
            }
            long written = writesBy.applyAsLong(ms);
            health.observe(written != seen, start + ms * 1_000_000L);
            seen = written;
        }
    }

    @Test
    void theViewerCountsEveryChangeOfItsLastSecondAsTheMonitorDoesOnASimulatedClock() {
        // The monitor's rate: the changes seen in the last second (or since attaching, when that is shorter)
        // over that time, every change counted, flagged as a lower bound when most looks found one.
        long start = 1_000_000_000L;
        SegmentFollower.Health health = new SegmentFollower.Health("tracker", 0x1234, true, 5, start);
        String name = "tracker 0x00001234: ";
        // A writer at 60 Hz for 3 s, then still; the reader held up from 1.5 s to 1.75 s, as on a loaded machine.
        LongUnaryOperator sixty = ms -> Math.min(ms, 3000) * 60 / 1000;
        LongPredicate heldUp = ms -> ms >= 1500 && ms < 1750;
        look(health, start, 0, 16, heldUp, sixty);
        assertEquals(name + "measuring", health.line());
        look(health, start, 16, 500, heldUp, sixty);
        assertEquals(new SegmentFollower.Health.Reading(30, 500, 0.5, 60.0, false, name + "live, 60.0 Hz"),
                health.reading());
        look(health, start, 500, 1000, heldUp, sixty);
        assertEquals(new SegmentFollower.Health.Reading(60, 1000, 1.0, 60.0, false, name + "live, 60.0 Hz"),
                health.reading());
        // The 15 writes during the hold-up show as one change: the rate is what the reader saw.
        look(health, start, 1000, 2000, heldUp, sixty);
        assertEquals(new SegmentFollower.Health.Reading(46, 751, 1.0, 46.0, false, name + "live, 46.0 Hz"),
                health.reading());
        look(health, start, 2000, 3500, heldUp, sixty);
        assertEquals(name + "live, 31.0 Hz", health.line());
        look(health, start, 3500, 4500, heldUp, sixty);
        assertEquals(name + "static: no change seen in 1.5 s", health.line());
        look(health, start, 4500, 5200, heldUp, sixty);
        assertEquals(name + "FROZEN: no change for 2.2 s", health.line());
        // A writer at 500 Hz changes at every other look: a lower bound, of every change seen.
        look(health, start, 5200, 7000, ms -> false, ms -> ms / 2);
        assertEquals(new SegmentFollower.Health.Reading(501, 1001, 1.0, 501.0, true, name + "live, above 501.0 Hz"),
                health.reading());
    }

    /** Runs trackd-monitor --once on the simulator's segments and returns what it printed. */
    private static String monitorOnce(Simulator sim) throws IOException, InterruptedException {
        Process monitor = new ProcessBuilder(System.getProperty("trackd.monitor"), "--once", "--sample", "2",
                "--tracker-key", Integer.toString(sim.trackerKey), "--controller-key",
                Integer.toString(sim.controllerKey)).redirectError(ProcessBuilder.Redirect.DISCARD).start();
        String out = new String(monitor.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, monitor.waitFor(), out);
        return out;
    }

    @Test
    void theViewerAndTheMonitorBothFindTheSimulatorAt60HzLiveEachByItsOwnCount() throws Exception {
        // The viewer and the monitor each count over their own last second, and a loaded machine stalls the
        // writer and each of them apart: their rates need not agree. Each must hold of what it saw itself
        // (the definition is checked on a simulated clock above). The simulator's writes come at least half a
        // period apart: at most 121 in a second, and one more change whose write came before it.
        Pattern live = Pattern.compile("live, updating at (above )?([0-9]+\\.[0-9]) Hz");
        try (Simulator sim = new Simulator("--rate", "60")) {
            int[] status = new int[1];
            TrackdJNI.init_trackd_c(sim.trackerKey, sim.controllerKey, status);
            assertEquals(0, status[0]);
            SegmentFollower follower = new SegmentFollower(sim.trackerKey, sim.controllerKey, status[0]);
            follower.start();
            try {
                // Live: a change seen in the last second, which a writer stalled for longer may not have made.
                long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
                String out = monitorOnce(sim);
                while (out.split("live, updating at", -1).length < 3 && System.nanoTime() < deadline) {
                    out = monitorOnce(sim);
                }
                Matcher rates = live.matcher(out);
                for (int segment = 0; segment < 2; segment++) {
                    assertTrue(rates.find(), out);
                    double measured = Double.parseDouble(rates.group(2));
                    assertTrue(measured > 0 && measured <= 122, out);
                }
                for (SegmentFollower.Health health : List.of(follower.tracker, follower.controller)) {
                    String pattern = "(tracker|controller) 0x[0-9a-f]{8}: live, [0-9]+\\.[0-9] Hz";
                    SegmentFollower.Health.Reading reading = health.reading();
                    while (!reading.line().matches(pattern) && System.nanoTime() < deadline) {
                        Thread.sleep(50);
                        reading = health.reading();
                    }
                    System.out.println("the monitor: " + out.lines().filter(l -> l.contains("live")).toList()
                            + "; the viewer: " + reading);
                    assertTrue(reading.line().matches(pattern), reading.toString());
                    assertFalse(reading.lowerBound(), reading.toString());
                    assertTrue(reading.changes() >= 1 && reading.changes() <= 122, reading.toString());
                    assertTrue(reading.window() > 0 && reading.window() <= 1, reading.toString());
                    assertEquals(reading.changes() / reading.window(), reading.rate(), reading.toString());
                    assertTrue(reading.line().endsWith(String.format(Locale.ROOT, " %.1f Hz",
                            reading.rate())), reading.toString());
                }
            } finally {
                follower.stop();
            }
        }
    }

    /** The number of pixels of `colour` in the picture. */
    private static int count(BufferedImage image, Color colour) {
        int found = 0;
        for (int y = 0; y < image.getHeight(); y++) {
            for (int x = 0; x < image.getWidth(); x++) {
                found += (image.getRGB(x, y) & 0xffffff) == (colour.getRGB() & 0xffffff) ? 1 : 0;
            }
        }
        return found;
    }

    @Test
    void theBuildTreesLauncherFindsTheLibraryAndDrawsTheSimulatorOnTheDisplay() throws Exception {
        Path err = Files.createTempFile("trackd-viewer", ".err");
        try (Simulator sim = new Simulator("--static", "--sensors", "2", "--buttons", "2", "--valuators", "1")) {
            Process viewer = new ProcessBuilder(System.getProperty("viewer.launcher"), "--tracker-key",
                    Integer.toString(sim.trackerKey), "--controller-key", Integer.toString(sim.controllerKey),
                    "--names", "head,wand", "--duration", "120").redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(err.toFile()).start();
            try {
                Robot robot = new Robot();
                Rectangle screen = GraphicsEnvironment.getLocalGraphicsEnvironment().getDefaultScreenDevice()
                        .getDefaultConfiguration().getBounds();
                long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
                BufferedImage image = null;
                String seen = "";
                while (System.nanoTime() < deadline) {
                    assertTrue(viewer.isAlive(), () -> "the viewer exited: " + read(err));
                    image = robot.createScreenCapture(screen);
                    // Both buttons pressed (1 and 2), the valuator's bar, each sensor's three axes.
                    int[] counts = {count(image, ViewerPainter.LAMP_ON), count(image, ViewerPainter.BAR),
                        count(image, Color.RED), count(image, Color.GREEN), count(image, Color.BLUE)};
                    seen = Arrays.toString(counts);
                    if (counts[0] >= 2 * 150 && counts[1] >= 100 && counts[2] >= 40 && counts[3] >= 40
                            && counts[4] >= 10) {
                        assertEquals("", read(err));
                        return;
                    }
                    Thread.sleep(200);
                }
                File kept = File.createTempFile("trackd-viewer", ".png");
                ImageIO.write(image, "png", kept);
                fail("the screen (kept in " + kept + ") shows lamps, bar, red, green, blue pixels " + seen + "; "
                        + read(err));
            } finally {
                viewer.destroy();
                viewer.waitFor(30, TimeUnit.SECONDS);
            }
        } finally {
            Files.deleteIfExists(err);
        }
    }

    private static String read(Path file) {
        try {
            return Files.readString(file);
        } catch (IOException e) {
            return "(" + e + ")";
        }
    }

    private static float[] matrix(int sensor) {
        float[] m = new float[16];
        TrackdJNI.getMatrix(m, sensor);
        return m;
    }

    /** Reads until `done` holds, for up to 60 s; returns the last value read. */
    private static <T> T until(Supplier<T> read, Predicate<T> done) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        T value = read.get();
        while (!done.test(value) && System.nanoTime() < deadline) {
            Thread.sleep(50);
            value = read.get();
        }
        return value;
    }

    private static MouseEvent mouse(ViewerWindow view, int id, double x, double y, int modifiers) {
        return new MouseEvent(view, id, System.currentTimeMillis(), modifiers | InputEvent.BUTTON1_DOWN_MASK,
                (int) Math.round(x), (int) Math.round(y), 1, false, MouseEvent.BUTTON1);
    }

    @Test
    void drivingADragMovesTheSelectedSensorAndAHeldKeyHoldsTheButton() throws Exception {
        int tracker = ThreadLocalRandom.current().nextInt(0x10000000, 0x70000000);
        SimulatorDriver driver = SimulatorDriver.start(System.getProperty("trackd.sim"), List.of("--tracker-key",
                Integer.toString(tracker), "--controller-key", Integer.toString(tracker + 1), "--sensors", "2",
                "--buttons", "2", "--valuators", "1"));
        int[] status = new int[1];
        try {
            TrackdJNI.init_trackd_c(tracker, tracker + 1, status);
            assertEquals(0, status[0]);
            ViewerWindow view = new ViewerWindow(driver);
            int width = ViewerWindow.DEFAULT_SIZE.width;
            int height = ViewerWindow.DEFAULT_SIZE.height;
            view.setSize(width, height);
            float[] head = matrix(0);
            float[] start = matrix(1);
            view.show(new ViewerScene(new float[][] {head, start}, new int[2], new float[1]));

            // A press on the wand's drawn origin selects it; a drag moves it over the floor, to the bit as the
            // simulator adds the floats sent; a shift-drag then raises it.
            Point2D at = ViewerPainter.project(start[3], start[7], start[11], width, height);
            MouseListener clicks = view.getMouseListeners()[0];
            MouseMotionListener drags = view.getMouseMotionListeners()[0];
            clicks.mousePressed(mouse(view, MouseEvent.MOUSE_PRESSED, at.getX(), at.getY(), 0));
            assertEquals(1, view.selected());
            Point2D pressed = new Point2D.Double(Math.round(at.getX()), Math.round(at.getY()));
            drags.mouseDragged(mouse(view, MouseEvent.MOUSE_DRAGGED, pressed.getX() + 60, pressed.getY() - 40, 0));
            drags.mouseDragged(mouse(view, MouseEvent.MOUSE_DRAGGED, pressed.getX() + 60, pressed.getY() - 65,
                    InputEvent.SHIFT_DOWN_MASK));
            clicks.mouseReleased(mouse(view, MouseEvent.MOUSE_RELEASED, pressed.getX() + 60, pressed.getY() - 65, 0));
            double[] by = ViewerWindow.floorMove(60, -40, ViewerCamera.START, height);
            float x = start[3] + (float) by[0];
            float y = start[7] + (float) (25 * ViewerWindow.unitsPerPixel(ViewerCamera.START, height));
            float z = start[11] + (float) by[2];
            float[] moved = until(() -> matrix(1), m -> m[3] == x && m[7] == y && m[11] == z);
            assertEquals(List.of(x, y, z), List.of(moved[3], moved[7], moved[11]));
            assertTrue(by[0] > 0 && by[2] < 0, "right and up the screen are +X and away (-Z) from the start");
            assertEquals(Arrays.toString(head), Arrays.toString(matrix(0)), "the head stays where it was");

            // The space bar holds button 0 while it is held; its repeats change nothing.
            KeyListener keys = view.getKeyListeners()[0];
            KeyEvent space = new KeyEvent(view, KeyEvent.KEY_PRESSED, System.currentTimeMillis(), 0,
                    KeyEvent.VK_SPACE, ' ');
            keys.keyPressed(space);
            keys.keyPressed(space);
            assertEquals(1, until(() -> TrackdJNI.getButton(0), b -> b == 1));
            keys.keyReleased(new KeyEvent(view, KeyEvent.KEY_RELEASED, System.currentTimeMillis(), 0,
                    KeyEvent.VK_SPACE, ' '));
            assertEquals(0, until(() -> TrackdJNI.getButton(0), b -> b == 0));
            assertEquals(0, TrackdJNI.getButton(1));
        } finally {
            driver.close();
        }
        // Closed, the simulator has removed its segments.
        TrackdJNI.init_trackd_c(tracker, tracker + 1, status);
        assertEquals(TrackdJNI.TRACKER_FAILED | TrackdJNI.CONTROLLER_FAILED, status[0]);
    }
}
