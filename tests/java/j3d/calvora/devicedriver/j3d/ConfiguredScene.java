package calvora.devicedriver.j3d;

import com.sun.j3d.utils.geometry.ColorCube;
import com.sun.j3d.utils.universe.ConfiguredUniverse;
import javax.media.j3d.BranchGroup;
import javax.media.j3d.Sensor;
import javax.media.j3d.Transform3D;
import javax.media.j3d.TransformGroup;
import javax.vecmath.Vector3d;

/**
 * A Java 3D application written for configuration files, as many are: its universe is whatever the file
 * named by -Dj3d.configURL describes. It shows colour cubes, each argument "half-edge,x,y,z" in metres, and
 * with "--hand half-edge" one more held by the file's sensor "wand".
 */
public final class ConfiguredScene {
    private ConfiguredScene() {
    }

    public static void main(String[] args) {
        ConfiguredUniverse universe = new ConfiguredUniverse(ConfiguredUniverse.getConfigURL());
        BranchGroup scene = new BranchGroup();
        for (int i = 0; i < args.length; i++) {
            if (args[i].equals("--hand")) {
                TransformGroup hand = cube(Double.parseDouble(args[++i]), new Vector3d());
                scene.addChild(hand);
                scene.addChild(new SensorFollower((Sensor) universe.getNamedSensors().get("wand"), hand));
            } else {
                String[] cube = args[i].split(",");
                scene.addChild(cube(Double.parseDouble(cube[0]), new Vector3d(Double.parseDouble(cube[1]),
                        Double.parseDouble(cube[2]), Double.parseDouble(cube[3]))));
            }
        }
        universe.addBranchGraph(scene);
    }

    private static TransformGroup cube(double halfEdge, Vector3d at) {
        Transform3D place = new Transform3D();
        place.setTranslation(at);
        TransformGroup group = new TransformGroup(place);
        group.addChild(new ColorCube(halfEdge));
        return group;
    }
}
