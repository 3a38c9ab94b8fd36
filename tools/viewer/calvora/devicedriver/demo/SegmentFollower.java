package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.Locale;
import java.util.concurrent.locks.LockSupport;
import java.util.function.BooleanSupplier;

/**
 * The viewer's reader: on a thread of its own it looks at trackd's segments through TrackdJNI a thousand
 * times a second, follows the segments under its pair of keys across their replacement as trackd-monitor
 * does, and keeps each segment's health and change rate as the monitor measures them, so that the two
 * agree. Every call to TrackdJNI happens on that thread; the window shows the latest look.
 */
final class SegmentFollower {
    /** Looks a second: a segment changing at up to half of it is counted change by change. */
    static final int LOOKS_PER_SECOND = 1000;
    /** Nanoseconds between checks that each key still names the segment attached, as the monitor checks. */
    static final long LOOKUP_NANOS = 200_000_000L;
    /** Reads of the segments before a look counts as unsettled, as the monitor's. */
    static final int SETTLE_ATTEMPTS = 100;
    /** Counts come from trackd unchecked: at most this many of anything are read and shown. */
    static final int MOST_SHOWN = 64;

    /** What one look found: matrices in column-vector form, buttons and valuators. */
    record Look(float[][] matrices, int[] buttons, float[] valuators) {
        static final Look NOTHING = new Look(new float[0][], new int[0], new float[0]);

        /** Bit for bit, as the monitor compares: -0 differs from +0. */
        boolean sameSensors(Look other) {
            return Arrays.deepEquals(matrices, other.matrices);
        }

        boolean sameControls(Look other) {
            return Arrays.equals(buttons, other.buttons) && Arrays.equals(valuators, other.valuators);
        }
    }

    private final int trackerKey;
    private final int controllerKey;
    final Health tracker;
    final Health controller;
    private final Thread thread = new Thread(this::run, "trackd-viewer reader");
    private volatile Look latest = Look.NOTHING;
    private volatile boolean stopping;

    /** For segments just attached with init_trackd_c, whose status word was `status`. */
    SegmentFollower(int trackerKey, int controllerKey, int status) {
        this.trackerKey = trackerKey;
        this.controllerKey = controllerKey;
        long now = System.nanoTime();
        tracker = new Health("tracker", trackerKey, (status & TrackdJNI.TRACKER_FAILED) == 0,
                SegmentTable.idOf(trackerKey), now);
        controller = new Health("controller", controllerKey, (status & TrackdJNI.CONTROLLER_FAILED) == 0,
                SegmentTable.idOf(controllerKey), now);
        thread.setDaemon(true);
    }

    void start() {
        thread.start();
    }

    void stop() throws InterruptedException {
        stopping = true;
        thread.join();
    }

    Look latest() {
        return latest;
    }

    /** How many of `count` things trackd announces are read and shown. */
    static int shown(int count) {
        return Math.max(0, Math.min(count, MOST_SHOWN));
    }

    private void run() {
        long nextLookup = System.nanoTime() + LOOKUP_NANOS;
        Look current = null;
        while (!stopping) {
            if (System.nanoTime() >= nextLookup) {
                nextLookup = System.nanoTime() + LOOKUP_NANOS;
                if (follow()) {
                    current = null;  // a new segment: its first look is no change
                }
            }
            Look fresh = readSettled();
            long now = System.nanoTime();
            tracker.observe(current != null && !fresh.sameSensors(current), now);
            controller.observe(current != null && !fresh.sameControls(current), now);
            current = fresh;
            latest = fresh;
            LockSupport.parkNanos(1_000_000_000L / LOOKS_PER_SECOND);
        }
    }

    /** Attaches both segments again when a key names another segment now; true when it did. */
    private boolean follow() {
        boolean trackerReplaced = tracker.lookedUp(SegmentTable.idOf(trackerKey));
        boolean controllerReplaced = controller.lookedUp(SegmentTable.idOf(controllerKey));
        if (!trackerReplaced && !controllerReplaced) {
            return false;
        }
        // The bridge's handles are process-wide: init_trackd_c attaches both anew.
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(trackerKey, controllerKey, status);
        long now = System.nanoTime();
        tracker.reattached((status[0] & TrackdJNI.TRACKER_FAILED) == 0, now);
        controller.reattached((status[0] & TrackdJNI.CONTROLLER_FAILED) == 0, now);
        return true;
    }

    /** trackd writes without a lock: the segments are read until two successive reads agree. */
    private Look readSettled() {
        Look look = read();
        for (int attempt = 0; attempt < SETTLE_ATTEMPTS; attempt++) {
            Look again = read();
            if (again.sameSensors(look) && again.sameControls(look)) {
                return again;
            }
            look = again;
        }
        return look;
    }

    private Look read() {
        float[][] matrices = new float[tracker.attached() ? shown(TrackdJNI.getNumSensors()) : 0][];
        for (int i = 0; i < matrices.length; i++) {
            matrices[i] = new float[TrackdJNI.MATRIX_LENGTH];
            TrackdJNI.getMatrix(matrices[i], i);
        }
        int[] buttons = new int[controller.attached() ? shown(TrackdJNI.getNumButtons()) : 0];
        for (int i = 0; i < buttons.length; i++) {
            buttons[i] = TrackdJNI.getButton(i);
        }
        float[] valuators = new float[controller.attached()
                ? shown(TrackdJNI.getNumValuators()) : 0];
        for (int i = 0; i < valuators.length; i++) {
            valuators[i] = TrackdJNI.getValuator(i);
        }
        return new Look(matrices, buttons, valuators);
    }

    /**
     * One segment's health as trackd-monitor judges it: attached or not, removed, live with the changes
     * of the last second, measuring during the first, frozen after two without a change. Times are
     * System.nanoTime()'s.
     */
    static final class Health {
        static final long RATE_WINDOW_NANOS = 1_000_000_000L;
        static final double SECONDS_BEFORE_FROZEN = 2.0;

        private final String kind;
        private final int key;
        private int id;
        private int named;
        private boolean attached;
        private final ArrayDeque<Long> changes = new ArrayDeque<>();
        private final ArrayDeque<Long> looks = new ArrayDeque<>();
        private long attachedAt;
        private long lastChange;
        private long lastLook;
        private BooleanSupplier driven = () -> false;

        /** For a segment attached or not, whose key named segment `id` (-1: none) when it was. */
        Health(String kind, int key, boolean attached, int id, long now) {
            this.kind = kind;
            this.key = key;
            this.attached = attached;
            this.id = attached ? id : -1;
            named = this.id;
            reset(now);
        }

        private void reset(long now) {
            changes.clear();
            looks.clear();
            attachedAt = now;
            lastChange = now;
            lastLook = now;
        }

        /**
         * Where the viewer drives the simulator itself (--drive): while `driven` holds, values that stay put
         * mean that nobody drives, not a frozen writer. The bridge shows the viewer no write counter.
         */
        synchronized void drivenWhile(BooleanSupplier driven) {
            this.driven = driven;
        }

        synchronized boolean attached() {
            return attached;
        }

        /** Counts one look at the segment, which found a change or none. */
        synchronized void observe(boolean changed, long now) {
            if (changed) {
                changes.addLast(now);
                lastChange = now;
            }
            looks.addLast(now);
            long old = now - RATE_WINDOW_NANOS;
            while (!changes.isEmpty() && changes.peekFirst() < old) {
                changes.removeFirst();
            }
            while (!looks.isEmpty() && looks.peekFirst() < old) {
                looks.removeFirst();
            }
            lastLook = now;
        }

        /**
         * The key names segment `named` now (-1: none); true when that is another than the one attached, or
         * one at last, which the caller then attaches.
         */
        synchronized boolean lookedUp(int named) {
            this.named = named;
            return named >= 0 && named != id;
        }

        synchronized void reattached(boolean ok, long now) {
            attached = ok;
            id = ok ? named : -1;
            reset(now);
        }

        /** Seconds the rate is counted over: the last second, or the time since the segment was attached. */
        synchronized double window() {
            return Math.min(RATE_WINDOW_NANOS, lastLook - attachedAt) / 1e9;
        }

        /** The changes a second over the last second: every change seen counts, also for a lower bound. */
        synchronized double rate() {
            double window = window();
            return window > 0 ? changes.size() / window : 0;
        }

        /** Changes in most looks: the segment may change faster than the viewer looks. */
        synchronized boolean rateIsLowerBound() {
            return !changes.isEmpty() && 2 * changes.size() >= looks.size();
        }

        /** The health at one moment: the rate with the counts it comes from, and the words shown. */
        record Reading(int changes, int looks, double window, double rate, boolean lowerBound, String line) {}

        synchronized Reading reading() {
            return new Reading(changes.size(), looks.size(), window(), rate(), rateIsLowerBound(), line());
        }

        /** The status bar's words for the segment, short enough that both segments' fit the window. */
        synchronized String line() {
            String name = kind + String.format(Locale.ROOT, " 0x%08x: ", key);
            if (!attached) {
                return name + "NOT ATTACHED";
            }
            if (named != id) {
                return name + "REMOVED: the key no longer names it";
            }
            double quiet = (lastLook - lastChange) / 1e9;
            if (!changes.isEmpty()) {
                return name + String.format(Locale.ROOT, "live, %s%.1f Hz", rateIsLowerBound() ? "above " : "", rate());
            }
            if (lastLook - attachedAt < RATE_WINDOW_NANOS) {
                return name + "measuring";
            }
            if (driven.getAsBoolean()) {
                return name + "unchanged: nobody is driving";
            }
            if (quiet >= SECONDS_BEFORE_FROZEN) {
                return name + String.format(Locale.ROOT, "FROZEN: no change for %.1f s", quiet);
            }
            return name + String.format(Locale.ROOT, "static: no change seen in %.1f s", quiet);
        }
    }
}
