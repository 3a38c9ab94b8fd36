package calvora.devicedriver.demo;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * The kernel's table of System V segments as Linux lists it in /proc/sysvipc/shm, so that a Java tool
 * can tell whether a key still names the segment it attached.
 */
final class SegmentTable {
    private static final Path TABLE = Path.of("/proc/sysvipc/shm");

    private SegmentTable() {
    }

    /** The id of the segment that `key` names now, or -1 when none does or the table cannot be read. */
    static int idOf(int key) {
        try {
            List<String> lines = Files.readAllLines(TABLE);
            for (String line : lines.subList(Math.min(1, lines.size()), lines.size())) {
                String[] fields = line.trim().split("\\s+");
                if (fields.length > 1 && Integer.parseInt(fields[0]) == key) {
                    return Integer.parseInt(fields[1]);
                }
            }
        } catch (IOException | NumberFormatException e) {
            return -1;
        }
        return -1;
    }
}
