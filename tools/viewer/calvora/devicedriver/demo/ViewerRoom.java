package calvora.devicedriver.demo;

import calvora.devicedriver.room.Installation;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The installation the viewer shows the room of: the sensors' names by tracker index, their poses in the
 * room, both eyes of the head and the screens, each computed by {@link Installation} (the room library every
 * face calls), never here.
 */
final class ViewerRoom {
    /** Where the installation file is looked for last, as every tool looks for it. */
    static final String ENVIRONMENT = "ZORAVOVAR_INSTALLATION";

    private final Installation installation;
    private final int screen;
    private final int head; // the head's tracker index, or -1
    private final List<double[]> corners = new ArrayList<>();

    ViewerRoom(Installation installation, int screen) {
        this.installation = installation;
        this.screen = screen;
        int headSensor = installation.sensorRoles().indexOf("head");
        this.head = headSensor < 0 ? -1 : installation.sensorIndex(headSensor);
        for (int s = 0; s < installation.screenNames().size(); s++) {
            corners.add(installation.screenCorners(s, null));
        }
    }

    /**
     * The installation for {@code given} (--installation, may be null): else $ZORAVOVAR_INSTALLATION, else
     * the default file where it exists. Returns null when neither names a file and the default file is not
     * there.
     *
     * @throws IllegalArgumentException for a mistake in the file, "FILE:LINE: field: what is wrong"
     * @throws IOException when a file that was asked for cannot be read
     */
    static Installation load(String given) throws IOException {
        String environment = System.getenv(ENVIRONMENT);
        boolean asked = given != null || (environment != null && !environment.isEmpty());
        try {
            return Installation.load(given);
        } catch (FileNotFoundException e) {
            if (asked) {
                throw e;
            }
            return null; // no default file: no room
        }
    }

    /** The sensors' names by tracker index, "" where the file names no sensor of that index. */
    static List<String> namesByIndex(Installation installation) {
        List<String> names = new ArrayList<>();
        for (int s = 0; s < installation.sensorNames().size(); s++) {
            int index = installation.sensorIndex(s);
            while (names.size() <= index) {
                names.add("");
            }
            names.set(index, installation.sensorNames().get(s));
        }
        return names;
    }

    /**
     * Why {@code names} (--names) and the installation's disagree, as the other tools say it, or null when
     * every sensor both name has one name.
     */
    static String namesDisagreement(Installation installation, List<String> names) {
        List<String> fromFile = namesByIndex(installation);
        for (int i = 0; i < names.size() && i < fromFile.size(); i++) {
            if (!fromFile.get(i).isEmpty() && !fromFile.get(i).equals(names.get(i))) {
                return "--names calls sensor " + i + " '" + names.get(i) + "', " + installation.path() + " calls it '"
                        + fromFile.get(i) + "'";
            }
        }
        return null;
    }

    /**
     * What the viewer draws of the room for one look at the tracker: each sensor's room pose (column-vector
     * form, row after row, as the reader's matrices are given), the eyes for the head's pose and the screens.
     */
    ViewerScene.Room scene(float[][] reader, float[][] inRoom) {
        double[] pose = new double[Installation.MATRIX_LENGTH];
        for (int sensor = 0; sensor < reader.length; sensor++) {
            inRoom[sensor] = new float[Installation.MATRIX_LENGTH];
            try {
                installation.roomPose(reader[sensor], pose);
            } catch (IllegalArgumentException e) { // a matrix that is not finite: nothing to draw
                Arrays.fill(pose, Double.NaN);
            }
            for (int row = 0; row < 4; row++) {
                for (int column = 0; column < 4; column++) {
                    inRoom[sensor][row * 4 + column] = (float) pose[column * 4 + row];
                }
            }
        }
        double[][] eyes = new double[0][];
        if (head >= 0 && head < reader.length) {
            try {
                eyes = new double[][] {installation.eyePosition("left", reader[head], null),
                    installation.eyePosition("right", reader[head], null)};
            } catch (IllegalArgumentException e) { // the head's matrix is not finite: no eyes
                eyes = new double[0][];
            }
        }
        return new ViewerScene.Room(installation.screenNames(), corners, screen, eyes);
    }
}
