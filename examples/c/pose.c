/* Prints a sensor's pose, the buttons and the valuators from trackd's segments. Build with pkg-config:
 *   cc -o pose pose.c $(pkg-config --cflags --libs zoravovar)
 * Usage: pose [TRACKER_KEY CONTROLLER_KEY [SENSOR]] (by default the header's ZORAVOVAR_DEFAULT_TRACKER_KEY and
 * ZORAVOVAR_DEFAULT_CONTROLLER_KEY, 7401 and 7402). */
#include <stdio.h>
#include <stdlib.h>
#include <zoravoVAR.h>

int main(int argc, char** argv) {
    const int trackerKey = argc > 2 ? (int)strtol(argv[1], NULL, 0) : ZORAVOVAR_DEFAULT_TRACKER_KEY;
    const int controllerKey = argc > 2 ? (int)strtol(argv[2], NULL, 0) : ZORAVOVAR_DEFAULT_CONTROLLER_KEY;
    const int sensor = argc > 3 ? atoi(argv[3]) : 0;

    void* tracker = trackdInitTrackerReader(trackerKey); /* NULL, after a message, without trackd */
    void* controller = trackdInitControllerReader(controllerKey);
    if (tracker == NULL || controller == NULL) return 1;
    printf("%s: %d sensors, %d buttons, %d valuators\n", getZoravoVARVersion(), trackdGetNumberOfSensors(tracker),
           trackdGetNumberOfButtons(controller), trackdGetNumberOfValuators(controller));

    float position[3];
    float angles[3];
    float matrix[4][4]; /* for row vectors: the translation is row 3 */
    if (!trackdGetPosition(tracker, sensor, position) || !trackdGetEulerAngles(tracker, sensor, angles) ||
        !trackdGetMatrix(tracker, sensor, matrix))
        return 1;
    printf("sensor %d: position %.3f %.3f %.3f\n", sensor, position[0], position[1], position[2]);
    printf("angles X Y Z in degrees: %.3f %.3f %.3f\n", angles[0], angles[1], angles[2]);
    for (int row = 0; row < 4; ++row)
        printf("matrix row %d: %9.5f %9.5f %9.5f %9.5f\n", row, matrix[row][0], matrix[row][1], matrix[row][2],
               matrix[row][3]);

    printf("buttons:");
    for (int i = 0; i < trackdGetNumberOfButtons(controller); ++i) printf(" %d", trackdGetButton(controller, i));
    printf("\nvaluators:");
    for (int i = 0; i < trackdGetNumberOfValuators(controller); ++i)
        printf(" %.3f", trackdGetValuator(controller, i));
    printf("\n");
    return 0;
}
