package calvora.devicedriver.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** TrackdJNI in fresh virtual machines: the status word, its error lines, and calls that break the rules. */
class TrackdJNIStartTest {
    private static final String PROBE = "calvora.devicedriver.test.Probe";
    private static final String TRACKER_LINES =
            "ERROR: can't get tracker shared memory\nshmget: No such file or directory\n";
    private static final String CONTROLLER_LINES =
            "ERROR: can't get controller shared memory\nshmget: No such file or directory\n";

    private static Segment tracker;
    private static Segment controller;
    private static String missing;

    @BeforeAll
    static void makeSegments() {
        tracker = Segment.tracker(2);
        tracker.putSensor(0, 1, 2, 3, 0, 0, 0);
        controller = Segment.controller(3, 2);
        controller.putButton(0, 4);
        controller.putValuator(0, 0.25f);
        missing = Integer.toString(Segment.unusedKey());
    }

    @AfterAll
    static void removeSegments() {
        tracker.close();
        controller.close();
    }

    private static ChildJvm.Result probe(String... args) throws Exception {
        ChildJvm.Result result = ChildJvm.run(System.getProperty("probe.classpath"), PROBE, args);
        assertEquals(0, result.exitCode(), result.err());
        return result;
    }

    private static String key(Segment segment) {
        return Integer.toString(segment.key);
    }

    @Test
    void statusWordCountsEachFailedAttachAndKeepsOtherElements() throws Exception {
        record Case(String trackerKey, String controllerKey, String status, String errors) {
        }
        for (Case c : List.of(
                new Case(key(tracker), key(controller), "status [0, 8, 9]\n", ""),
                new Case(missing, key(controller), "status [1, 8, 9]\n", TRACKER_LINES),
                new Case(key(tracker), missing, "status [2, 8, 9]\n", CONTROLLER_LINES),
                new Case(missing, missing, "status [3, 8, 9]\n", TRACKER_LINES + CONTROLLER_LINES))) {
            ChildJvm.Result result = probe("init", c.trackerKey, c.controllerKey);
            assertEquals(c.status, result.out());
            assertEquals(c.errors, result.err());
        }
    }

    @Test
    void keyZeroFailsAsAMissingSegmentAndCreatesNothing() throws Exception {
        long before = privateSegments();
        ChildJvm.Result result = probe("init", "0", "0");
        assertEquals("status [3, 8, 9]\n", result.out());
        assertEquals(TRACKER_LINES + CONTROLLER_LINES, result.err());
        assertEquals(before, privateSegments());
    }

    @Test
    void reinitialisingKeepsWorkingAndAFailedControllerAttachUnsetsTheOldOne() throws Exception {
        String attached = "status 0\nsensors 2 buttons 3 valuators 2\nbutton 0 4 valuator 0 0.25\n"
                + "matrix [1.0, 0.0, 0.0, 1.0, 0.0, 1.0, 0.0, 2.0, 0.0, 0.0, 1.0, 3.0, 0.0, 0.0, 0.0, 1.0]\n";
        String controllerGone = "status 2\nsensors 2 buttons 0 valuators 0\nbutton 0 0 valuator 0 0.0\n"
                + "matrix [1.0, 0.0, 0.0, 1.0, 0.0, 1.0, 0.0, 2.0, 0.0, 0.0, 1.0, 3.0, 0.0, 0.0, 0.0, 1.0]\n";
        ChildJvm.Result result = probe("reinit", "10000", key(tracker), key(controller), missing);
        assertEquals(attached + controllerGone, result.out());
        assertEquals(CONTROLLER_LINES, result.err().substring(0, CONTROLLER_LINES.length()));
        assertErrorLines(4, result.err().substring(CONTROLLER_LINES.length()));
    }

    @Test
    void pollingWithoutAttachmentsAnswersZeroAndLeavesMatrix() throws Exception {
        String untouched = "sensors 0 buttons 0 valuators 0\nbutton 0 0 valuator 0 0.0\n"
                + "matrix [5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0]\n";
        ChildJvm.Result beforeInit = probe("unattached");
        assertEquals(untouched, beforeInit.out());
        assertErrorLines(6, beforeInit.err());

        ChildJvm.Result afterFailedInit = probe("unattached", missing);
        assertEquals(untouched, afterFailedInit.out());
        assertEquals(TRACKER_LINES + CONTROLLER_LINES, afterFailedInit.err().substring(0,
                TRACKER_LINES.length() + CONTROLLER_LINES.length()));
        assertErrorLines(6, afterFailedInit.err().substring(TRACKER_LINES.length() + CONTROLLER_LINES.length()));
    }

    @Test
    void unusableArraysAreReportedAndLeftAlone() throws Exception {
        ChildJvm.Result result = probe("bad-arrays", key(tracker), key(controller));
        assertEquals("after null status: sensors 2 buttons 3\n"
                + "after empty status: sensors 2 buttons 3\n"
                + "short matrix [5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0, 5.0]\n",
                result.out());
        assertEquals("ERROR(TrackdJNI): init_trackd_c: the status array is null\n"
                + "ERROR(TrackdJNI): init_trackd_c: the status array holds 0 elements, fewer than the 1 it needs\n"
                + "ERROR(TrackdJNI): getMatrix: the matrix array is null\n"
                + "ERROR(TrackdJNI): getMatrix: the matrix array holds 15 elements, fewer than the 16 it needs\n",
                result.err());
    }

    @Test
    void instanceMethodDeclarationsBindToTheSameFunctions() throws Exception {
        String expected = "status 0\nsensors 2 buttons 3 valuators 2\nbutton 0 4 valuator 0 0.25\n"
                + "matrix [1.0, 0.0, 0.0, 1.0, 0.0, 1.0, 0.0, 2.0, 0.0, 0.0, 1.0, 3.0, 0.0, 0.0, 0.0, 1.0]\n";
        assertEquals(expected, probe("poll", key(tracker), key(controller)).out());
        ChildJvm.Result instance = ChildJvm.run(System.getProperty("probe.instanceClasspath"),
                "calvora.devicedriver.TrackdJNI", "poll", key(tracker), key(controller));
        assertEquals(0, instance.exitCode(), instance.err());
        assertEquals(expected, instance.out());
        assertEquals("", instance.err());
    }

    @Test
    void loadingErrorNamesTheLibraryAndWhereItLooked() throws Exception {
        String classpath = System.getProperty("probe.classpath");
        ChildJvm.Result notFound = ChildJvm.run(List.of("-Djava.library.path=/nowhere"), classpath, PROBE,
                "init", missing, missing);
        assertTrue(notFound.exitCode() != 0);
        assertTrue(notFound.err().contains("cannot load libZoravoVAR.so from java.library.path=/nowhere"),
                notFound.err());

        String file = System.getProperty("java.library.path") + "/libZoravoVAR.so";
        ChildJvm.Result named = ChildJvm.run(List.of("-Djava.library.path=/nowhere",
                "-Dcalvora.devicedriver.library=" + file), classpath, PROBE, "init", key(tracker), key(controller));
        assertEquals("status [0, 8, 9]\n", named.out(), named.err());

        ChildJvm.Result wrongFile = ChildJvm.run(List.of("-Dcalvora.devicedriver.library=/nowhere/lib.so"),
                classpath, PROBE, "init", missing, missing);
        assertTrue(wrongFile.err().contains("the file /nowhere/lib.so named by calvora.devicedriver.library"),
                wrongFile.err());
    }

    /**
     * Private segments (key 0) on the system, as {@code ipcs -m} lists them; not those removed while
     * still attached (other tests' segments), which show key 0 too, marked "dest".
     */
    private static long privateSegments() throws Exception {
        Process ipcs = new ProcessBuilder("ipcs", "-m").redirectErrorStream(true).start();
        String listing = new String(ipcs.getInputStream().readAllBytes(), java.nio.charset.StandardCharsets.UTF_8);
        assertEquals(0, ipcs.waitFor(), listing);
        return listing.lines().filter(line -> line.startsWith("0x00000000 ") && !line.contains("dest")).count();
    }

    private static void assertErrorLines(int count, String errors) {
        String[] lines = errors.split("\n");
        assertEquals(count, lines.length, errors);
        for (String line : lines) {
            assertTrue(line.startsWith("ERROR"), errors);
        }
    }
}
