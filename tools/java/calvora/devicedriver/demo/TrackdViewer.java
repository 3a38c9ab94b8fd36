package calvora.devicedriver.demo;

import calvora.devicedriver.TrackdJNI;
import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Dimension;
import java.awt.Graphics;
import java.awt.Graphics2D;
import java.awt.geom.Line2D;
import java.awt.geom.Point2D;
import javax.swing.JComponent;
import javax.swing.JFrame;
import javax.swing.SwingUtilities;
import javax.swing.Timer;

/**
 * Draws each sensor's pose as a coordinate frame (X red, Y green, Z blue) in a perspective view from
 * the bridge's column-vector matrices, with buttons as lamps and valuators as bars.
 *
 * <p>Arguments as for {@link TrackdDemo}.
 */
public final class TrackdViewer extends JComponent {
    private static final long serialVersionUID = 1L;

    /** Where the eye sits, in trackd's units, looking along -Z with Y up. */
    static final double EYE_X = 0;
    static final double EYE_Y = 1.3;
    static final double EYE_Z = 2.5;
    /** Focal length as a fraction of the view's height. */
    static final double FOCAL = 0.9;
    static final double AXIS_LENGTH = 0.15;
    static final Color[] AXIS_COLORS = {Color.RED, Color.GREEN, Color.BLUE};
    static final Color LAMP_ON = Color.YELLOW;
    static final Color LAMP_OFF = new Color(60, 60, 60);
    static final Color BAR = new Color(80, 160, 255);
    static final int LAMP_SIZE = 16;

    /** What one frame shows: matrices in column-vector form, 16 floats each. */
    record Scene(float[][] matrices, int[] buttons, float[] valuators) {
    }

    private transient Scene scene = new Scene(new float[0][], new int[0], new float[0]);

    void show(Scene next) {
        scene = next;
        repaint();
    }

    @Override
    protected void paintComponent(Graphics graphics) {
        paintScene((Graphics2D) graphics, getWidth(), getHeight(), scene);
    }

    /** Projects a point onto a view of the given size; null when it lies behind the eye. */
    static Point2D project(double x, double y, double z, int width, int height) {
        double depth = EYE_Z - z;
        if (depth <= 0.01) {
            return null;
        }
        double scale = FOCAL * height / depth;
        return new Point2D.Double(width / 2.0 + (x - EYE_X) * scale, height / 2.0 - (y - EYE_Y) * scale);
    }

    static void paintScene(Graphics2D g, int width, int height, Scene scene) {
        g.setColor(Color.BLACK);
        g.fillRect(0, 0, width, height);
        g.setColor(new Color(45, 45, 45));
        for (int i = -5; i <= 5; i++) {
            line(g, i * 0.2, 0, -1, i * 0.2, 0, 1, width, height);
            line(g, -1, 0, i * 0.2, 1, 0, i * 0.2, width, height);
        }
        g.setStroke(new BasicStroke(3));
        for (int sensor = 0; sensor < scene.matrices().length; sensor++) {
            float[] m = scene.matrices()[sensor];
            Point2D origin = project(m[3], m[7], m[11], width, height);
            if (origin != null) {
                g.setColor(Color.LIGHT_GRAY);
                g.drawString(Integer.toString(sensor), (float) origin.getX() - 14, (float) origin.getY() + 14);
            }
            for (int axis = 0; axis < 3; axis++) {
                g.setColor(AXIS_COLORS[axis]);
                // Column-vector form: the image of a unit axis is a column; the translation is in 3, 7, 11.
                line(g, m[3], m[7], m[11], m[3] + AXIS_LENGTH * m[axis], m[7] + AXIS_LENGTH * m[4 + axis],
                        m[11] + AXIS_LENGTH * m[8 + axis], width, height);
            }
        }
        for (int i = 0; i < scene.buttons().length; i++) {
            g.setColor(scene.buttons()[i] != 0 ? LAMP_ON : LAMP_OFF);
            g.fillOval(lampX(i), height - 2 * LAMP_SIZE, LAMP_SIZE, LAMP_SIZE);
        }
        for (int i = 0; i < scene.valuators().length; i++) {
            int centre = width - 110;
            int length = Math.round(100 * Math.max(-1, Math.min(1, scene.valuators()[i])));
            g.setColor(BAR);
            g.fillRect(Math.min(centre, centre + length), 10 + 14 * i, Math.abs(length), 10);
        }
    }

    static int lampX(int button) {
        return 10 + button * (LAMP_SIZE + 8);
    }

    private static void line(Graphics2D g, double x0, double y0, double z0, double x1, double y1, double z1,
            int width, int height) {
        Point2D a = project(x0, y0, z0, width, height);
        Point2D b = project(x1, y1, z1, width, height);
        if (a != null && b != null) {
            g.draw(new Line2D.Double(a, b));
        }
    }

    public static void main(String[] args) {
        TrackdDemo.Options options = TrackdDemo.Options.parse(args, "TrackdViewer");
        int[] status = new int[1];
        TrackdJNI.init_trackd_c(options.trackerKey, options.controllerKey, status);
        if (status[0] == (TrackdJNI.TRACKER_FAILED | TrackdJNI.CONTROLLER_FAILED)) {
            System.err.println("TrackdViewer: neither segment could be attached");
            System.exit(1);
        }
        boolean tracker = (status[0] & TrackdJNI.TRACKER_FAILED) == 0;
        boolean controller = (status[0] & TrackdJNI.CONTROLLER_FAILED) == 0;
        SwingUtilities.invokeLater(() -> {
            TrackdViewer view = new TrackdViewer();
            view.setPreferredSize(new Dimension(800, 600));
            JFrame frame = new JFrame("trackd viewer: tracker key " + options.trackerKey);
            frame.setDefaultCloseOperation(JFrame.EXIT_ON_CLOSE);
            frame.add(view);
            frame.pack();
            frame.setVisible(true);
            long start = System.nanoTime();
            new Timer(33, event -> {
                float[][] matrices = new float[tracker ? TrackdDemo.Options.shown(TrackdJNI.getNumSensors()) : 0][];
                for (int i = 0; i < matrices.length; i++) {
                    matrices[i] = new float[TrackdJNI.MATRIX_LENGTH];
                    TrackdJNI.getMatrix(matrices[i], i);
                }
                int[] buttons = new int[controller ? TrackdDemo.Options.shown(TrackdJNI.getNumButtons()) : 0];
                for (int i = 0; i < buttons.length; i++) {
                    buttons[i] = TrackdJNI.getButton(i);
                }
                float[] valuators = new float[controller ? TrackdDemo.Options.shown(TrackdJNI.getNumValuators()) : 0];
                for (int i = 0; i < valuators.length; i++) {
                    valuators[i] = TrackdJNI.getValuator(i);
                }
                view.show(new Scene(matrices, buttons, valuators));
                if (options.seconds > 0 && System.nanoTime() - start > options.seconds * 1e9) {
                    System.exit(0);
                }
            }).start();
        });
    }
}
