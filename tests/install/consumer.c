/* A C program built against the installed library only: attaches both segments and prints what it reads. */
#include <stdio.h>
#include <stdlib.h>
#include <zoravoVAR.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: consumer TRACKER_KEY CONTROLLER_KEY\n");
        return 2;
    }
    void* tracker = trackdInitTrackerReader(atoi(argv[1]));
    void* controller = trackdInitControllerReader(atoi(argv[2]));
    if (tracker == NULL || controller == NULL) return 1;
    float position[3];
    float matrix[4][4];
    if (!trackdGetPosition(tracker, 0, position) || !trackdGetMatrix(tracker, 0, matrix)) return 1;
    printf("%s: %d sensors, sensor 0 at %g %g %g (matrix row 3: %g %g %g), button 0 = %d, valuator 0 = %g\n",
           getZoravoVARVersion(), trackdGetNumberOfSensors(tracker), position[0], position[1], position[2],
           matrix[3][0], matrix[3][1], matrix[3][2], trackdGetButton(controller, 0), trackdGetValuator(controller, 0));
    return 0;
}
