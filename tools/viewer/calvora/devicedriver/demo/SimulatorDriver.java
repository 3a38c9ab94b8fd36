package calvora.devicedriver.demo;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A trackd-sim driven from the viewer: started as a child with {@code --interactive --commands}, sent one
 * JSON line per input on its standard input, and ended by closing that input, upon which it removes its
 * segments. The segments stay the simulator's; the viewer only decides the values.
 */
final class SimulatorDriver implements AutoCloseable {
    /** How long closing waits for the simulator to remove its segments. */
    static final long CLOSE_SECONDS = 10;

    /** The simulator exited before it made its segments, with this status; it said why on standard error. */
    static final class StartFailure extends IOException {
        private static final long serialVersionUID = 1L;
        final int status;

        StartFailure(int status) {
            super("trackd-sim exited with status " + status + " before it made the segments");
            this.status = status;
        }
    }

    private final Process process;
    private final OutputStream commands;
    private boolean closed;

    private SimulatorDriver(Process process) {
        this.process = process;
        this.commands = process.getOutputStream();
    }

    /**
     * Starts `simulator` with {@code --interactive --commands} and `options`, and waits for its banner: the
     * segments exist when this returns. Its standard error is the viewer's.
     */
    static SimulatorDriver start(String simulator, List<String> options) throws IOException {
        List<String> command = new ArrayList<>(List.of(simulator, "--interactive", "--commands"));
        command.addAll(options);
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        InputStream out = process.getInputStream();
        BufferedReader lines = new BufferedReader(new InputStreamReader(out, StandardCharsets.UTF_8));
        String banner = lines.readLine();
        if (banner == null || !banner.startsWith("trackd-sim: tracker key")) {
            try {
                process.getOutputStream().close();
                if (!process.waitFor(CLOSE_SECONDS, TimeUnit.SECONDS)) {
                    process.destroyForcibly();
                }
                throw new StartFailure(process.isAlive() ? 1 : process.exitValue());
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while trackd-sim started", e);
            }
        }
        // The rest of its output (its closing line) is read so that it never blocks on a full pipe.
        Thread drain = new Thread(() -> {
            try {
                while (lines.readLine() != null) {
                    // nothing to show
                }
            } catch (IOException e) {
                // the simulator has gone
            }
        }, "trackd-sim output");
        drain.setDaemon(true);
        drain.start();
        return new SimulatorDriver(process);
    }

    /** Moves a sensor by the given distances in the installation's units. */
    void move(int sensor, double dx, double dy, double dz) {
        send("{\"sensor\":" + sensor + ",\"move\":[" + json(dx) + "," + json(dy) + "," + json(dz) + "]}");
    }

    /** Turns a sensor by the given degrees about X, Y and Z. */
    void turn(int sensor, double ax, double ay, double az) {
        send("{\"sensor\":" + sensor + ",\"turn\":[" + json(ax) + "," + json(ay) + "," + json(az) + "]}");
    }

    void button(int button, int value) {
        send("{\"button\":" + button + ",\"value\":" + value + "}");
    }

    /** Pushes a valuator by a number of the simulator's --valuator-step. */
    void valuatorSteps(int valuator, int steps) {
        send("{\"valuator\":" + valuator + ",\"steps\":" + steps + "}");
    }

    /** Puts a sensor back at its start pose. */
    void reset(int sensor) {
        send("{\"reset\":" + sensor + "}");
    }

    boolean alive() {
        return process.isAlive();
    }

    private static String json(double value) {
        // JSON has no NaN or infinity: a drag never makes them, and one would move by nothing.
        return Double.isFinite(value) ? Double.toString(value) : "0";
    }

    private synchronized void send(String line) {
        if (closed) {
            return;
        }
        try {
            commands.write((line + "\n").getBytes(StandardCharsets.UTF_8));
            commands.flush();
        } catch (IOException e) {
            // The simulator has ended (and removed its segments): the viewer shows them removed.
        }
    }

    /** Ends the simulator by closing its input, and waits for it to remove its segments. */
    @Override
    public synchronized void close() {
        if (closed) {
            return;
        }
        closed = true;
        try {
            commands.close();
        } catch (IOException e) {
            // already gone
        }
        try {
            if (!process.waitFor(CLOSE_SECONDS, TimeUnit.SECONDS)) {
                process.destroy();
                process.waitFor(CLOSE_SECONDS, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroy();
            Thread.currentThread().interrupt();
        }
    }
}
