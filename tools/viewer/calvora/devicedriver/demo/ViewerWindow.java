package calvora.devicedriver.demo;

import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.event.KeyAdapter;
import java.awt.event.KeyEvent;
import java.awt.event.MouseAdapter;
import java.awt.event.MouseEvent;
import java.awt.event.MouseWheelEvent;
import java.awt.geom.Point2D;
import java.lang.reflect.InvocationTargetException;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.SwingUtilities;
import javax.swing.Timer;

/**
 * The viewer's window and its input: drag to orbit the view, turn the wheel to zoom. When driving a
 * simulator (SimulatorDriver), the mouse and keys move and turn the selected sensor, hold buttons and push
 * valuators. ViewerPainter paints what it shows.
 */
final class ViewerWindow extends JComponent {
    private static final long serialVersionUID = 1L;

    /** The window's size when it opens: the status bar's text fits it. */
    static final Dimension DEFAULT_SIZE = new Dimension(900, 650);
    static final int FRAME_MILLIS = 33;
    static final double DEGREES_PER_PIXEL = 0.4;
    static final double ZOOM_PER_NOTCH = 1.1;
    /** Driving: how far from a sensor's drawn origin a click selects it, and the wheel's turn a notch. */
    static final int PICK_PIXELS = 15;
    static final double WHEEL_DEGREES = 5;
    /** Driving: the keys that hold buttons 1 to 7, as in trackd-sim's terminal face; the space bar holds 0. */
    static final String BUTTON_KEYS = "zxcvbnm";
    /** Driving: what each input does, shown in the status bar; each line fits the window at its default size. */
    static final List<String> DRIVE_HINTS = List.of(
            "driving: click a sensor or press 0-9 to select it | drag: move it over the floor | shift-drag: up, down",
            "ctrl-drag: turn it | wheel: roll it | r: reset it | right-drag: orbit the view | shift-wheel: zoom",
            "hold space, z x c v b n m or click a lamp: buttons 0 to 7 | /: next valuator | - +: push it");

    private transient ViewerScene scene = new ViewerScene(new float[0][], new int[0], new float[0]);
    private transient ViewerCamera camera = ViewerCamera.START;
    private transient Point2D dragFrom;
    /** Driving: the simulator driven, or null when only viewing. */
    private final transient SimulatorDriver driver;
    private transient int selected;
    private transient int valuator;
    private transient boolean orbiting;
    /** Driving: the button a click on its lamp holds, or -1, and the keys held down. */
    private transient int lampHeld = -1;
    private final transient Set<Integer> keysHeld = new HashSet<>();

    ViewerWindow() {
        this(null);
    }

    ViewerWindow(SimulatorDriver driver) {
        this.driver = driver;
        MouseAdapter mouse = new MouseAdapter() {
            @Override
            public void mousePressed(MouseEvent event) {
                dragFrom = event.getPoint();
                orbiting = driver == null || !SwingUtilities.isLeftMouseButton(event);
                if (!orbiting) {
                    pressAt(event.getX(), event.getY());
                }
            }

            @Override
            public void mouseReleased(MouseEvent event) {
                if (lampHeld >= 0) {
                    driver.button(lampHeld, 0);
                    lampHeld = -1;
                }
            }

            @Override
            public void mouseDragged(MouseEvent event) {
                if (dragFrom == null) {
                    return;
                }
                double dx = event.getX() - dragFrom.getX();
                double dy = event.getY() - dragFrom.getY();
                dragFrom = event.getPoint();
                if (orbiting) {
                    camera = camera.orbit(-dx * DEGREES_PER_PIXEL, dy * DEGREES_PER_PIXEL);
                    repaint();
                } else if (lampHeld < 0) {
                    drag(dx, dy, event.isShiftDown(), event.isControlDown());
                }
            }

            @Override
            public void mouseWheelMoved(MouseWheelEvent event) {
                if (driver != null && !event.isShiftDown()) {
                    driver.turn(selected, 0, 0, -event.getPreciseWheelRotation() * WHEEL_DEGREES);
                    return;
                }
                camera = camera.zoom(Math.pow(ZOOM_PER_NOTCH, event.getPreciseWheelRotation()));
                repaint();
            }
        };
        addMouseListener(mouse);
        addMouseMotionListener(mouse);
        addMouseWheelListener(mouse);
        if (driver != null) {
            setFocusable(true);
            addKeyListener(new KeyAdapter() {
                @Override
                public void keyPressed(KeyEvent event) {
                    // A held key repeats its press: only the first counts.
                    if (keysHeld.add(event.getKeyCode())) {
                        keyDown(event.getKeyCode(), event.getKeyChar());
                    }
                }

                @Override
                public void keyReleased(KeyEvent event) {
                    keysHeld.remove(event.getKeyCode());
                    int button = buttonOfKey(event.getKeyCode());
                    if (button >= 0 && button < scene.buttons().length) {
                        driver.button(button, 0);
                    }
                }
            });
        }
    }

    void show(ViewerScene next) {
        scene = driver == null ? next : new ViewerScene(next.matrices(), next.buttons(), next.valuators(), next.names(),
                next.status(), DRIVE_HINTS, selected, next.room());
        repaint();
    }

    int selected() {
        return selected;
    }

    /** Driving: a press on a lamp holds its button; one near a sensor's drawn origin selects the sensor. */
    private void pressAt(int x, int y) {
        requestFocusInWindow();
        ViewerScene now = scene;
        int height = getHeight();
        for (int button = 0; button < now.buttons().length; button++) {
            int lampX = ViewerPainter.lampX(button);
            int lampY = ViewerPainter.lampY(height, now);
            int size = ViewerPainter.LAMP_SIZE;
            if (x >= lampX && x < lampX + size && y >= lampY && y < lampY + size) {
                lampHeld = button;
                driver.button(button, 1);
                return;
            }
        }
        double nearest = PICK_PIXELS;
        for (int sensor = 0; sensor < now.matrices().length; sensor++) {
            float[] m = now.matrices()[sensor];
            Point2D origin = ViewerPainter.project(m[3], m[7], m[11], getWidth(), height, camera);
            if (origin != null && origin.distance(x, y) <= nearest) {
                nearest = origin.distance(x, y);
                select(sensor);
            }
        }
    }

    private void select(int sensor) {
        if (sensor < scene.matrices().length) {
            selected = sensor;
            show(scene);
        }
    }

    /** Driving: a drag of dx, dy pixels moves the selected sensor, raises it (shift) or turns it (ctrl). */
    private void drag(double dx, double dy, boolean shift, boolean control) {
        if (control) {
            driver.turn(selected, -dy * DEGREES_PER_PIXEL, -dx * DEGREES_PER_PIXEL, 0);
        } else if (shift) {
            driver.move(selected, 0, -dy * unitsPerPixel(camera, getHeight()), 0);
        } else {
            double[] by = floorMove(dx, dy, camera, getHeight());
            driver.move(selected, by[0], 0, by[2]);
        }
    }

    /** Driving: what a key does; buttons are held until the key is released. */
    private void keyDown(int code, char character) {
        if (code >= KeyEvent.VK_0 && code <= KeyEvent.VK_9) {
            select(code - KeyEvent.VK_0);
            return;
        }
        int button = buttonOfKey(code);
        if (button >= 0 && button < scene.buttons().length) {
            driver.button(button, 1);
        } else if (character == '/' && scene.valuators().length > 0) {
            valuator = (valuator + 1) % scene.valuators().length;
        } else if (character == '-' && valuator < scene.valuators().length) {
            driver.valuatorSteps(valuator, -1);
        } else if ((character == '+' || character == '=') && valuator < scene.valuators().length) {
            driver.valuatorSteps(valuator, 1);
        } else if (code == KeyEvent.VK_R && selected < scene.matrices().length) {
            driver.reset(selected);
        }
    }

    /** The button a key holds: the space bar button 0, z x c v b n m buttons 1 to 7; -1 for other keys. */
    static int buttonOfKey(int code) {
        if (code == KeyEvent.VK_SPACE) {
            return 0;
        }
        int at = BUTTON_KEYS.indexOf(Character.toLowerCase((char) code));
        return code >= KeyEvent.VK_A && code <= KeyEvent.VK_Z && at >= 0 ? at + 1 : -1;
    }

    /** The installation's units one pixel spans at the point the view orbits. */
    static double unitsPerPixel(ViewerCamera camera, int height) {
        return camera.distance() / (ViewerPainter.FOCAL * height);
    }

    /**
     * Where a drag of dx, dy pixels moves a sensor over the floor: right on the screen is the camera's right,
     * up the screen is away from the eye. Returns the change in X, Y (always 0) and Z.
     */
    static double[] floorMove(double dx, double dy, ViewerCamera camera, int height) {
        double yaw = Math.toRadians(camera.yawDegrees());
        double scale = unitsPerPixel(camera, height);
        return new double[] {(dx * Math.cos(yaw) + dy * Math.sin(yaw)) * scale, 0,
            (-dx * Math.sin(yaw) + dy * Math.cos(yaw)) * scale};
    }

    @Override
    protected void paintComponent(Graphics graphics) {
        ViewerPainter.paintScene((Graphics2D) graphics, getWidth(), getHeight(), scene, camera);
    }
    /**
     * Opens the window, titled with the keys, on the event thread: every frame it shows the follower's
     * latest look with the names from the command line. Closing it ends the program.
     */
    static void open(ViewerOptions options, SegmentFollower follower, SimulatorDriver driver, ViewerRoom room)
            throws InterruptedException, InvocationTargetException {
        SwingUtilities.invokeAndWait(() -> {
            ViewerWindow view = new ViewerWindow(driver);
            view.setPreferredSize(DEFAULT_SIZE);
            JFrame frame = new JFrame(String.format(Locale.ROOT,
                    "%s: tracker key 0x%08x (%d), controller key 0x%08x (%d)", TrackdViewer.NAME, options.trackerKey,
                    options.trackerKey, options.controllerKey, options.controllerKey));
            frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
            frame.add(view);
            frame.pack();
            frame.setVisible(true);
            view.requestFocusInWindow();
            new Timer(FRAME_MILLIS, event -> {
                SegmentFollower.Look look = follower.latest();
                float[][] matrices = look.matrices();
                ViewerScene.Room inRoom = null;
                if (room != null) {
                    matrices = new float[look.matrices().length][];
                    inRoom = room.scene(look.matrices(), matrices);
                }
                view.show(new ViewerScene(matrices, look.buttons(), look.valuators(), options.names,
                        List.of(follower.tracker.line(), follower.controller.line()), inRoom));
            }).start();
        });
    }
}
