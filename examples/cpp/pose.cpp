// Prints a sensor's pose, the buttons and the valuators from trackd's segments; built with CMake's
// find_package(ZoravoVAR). Usage: pose [TRACKER_KEY CONTROLLER_KEY [SENSOR]] (by default the header's
// ZORAVOVAR_DEFAULT_TRACKER_KEY and ZORAVOVAR_DEFAULT_CONTROLLER_KEY, 7401 and 7402).
#include <zoravoVAR.h>

#include <array>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const int trackerKey = argc > 2 ? std::stoi(argv[1], nullptr, 0) : ZORAVOVAR_DEFAULT_TRACKER_KEY;
    const int controllerKey = argc > 2 ? std::stoi(argv[2], nullptr, 0) : ZORAVOVAR_DEFAULT_CONTROLLER_KEY;
    const int sensor = argc > 3 ? std::stoi(argv[3]) : 0;

    void* tracker = trackdInitTrackerReader(trackerKey);  // nullptr, after a message, without trackd
    void* controller = trackdInitControllerReader(controllerKey);
    if (tracker == nullptr || controller == nullptr) return 1;
    std::printf("%s: %d sensors, %d buttons, %d valuators\n", getZoravoVARVersion(), trackdGetNumberOfSensors(tracker),
                trackdGetNumberOfButtons(controller), trackdGetNumberOfValuators(controller));

    std::array<float, 3> position{};
    std::array<float, 3> angles{};
    float matrix[4][4];  // for row vectors: the translation is row 3
    if (trackdGetPosition(tracker, sensor, position.data()) == 0 ||
        trackdGetEulerAngles(tracker, sensor, angles.data()) == 0 || trackdGetMatrix(tracker, sensor, matrix) == 0)
        return 1;
    std::printf("sensor %d: position %.3f %.3f %.3f\n", sensor, double{position[0]}, double{position[1]},
                double{position[2]});
    std::printf("angles X Y Z in degrees: %.3f %.3f %.3f\n", double{angles[0]}, double{angles[1]}, double{angles[2]});
    for (int row = 0; row < 4; ++row)
        std::printf("matrix row %d: %9.5f %9.5f %9.5f %9.5f\n", row, double{matrix[row][0]}, double{matrix[row][1]},
                    double{matrix[row][2]}, double{matrix[row][3]});

    std::printf("buttons:");
    for (int i = 0; i < trackdGetNumberOfButtons(controller); ++i) std::printf(" %d", trackdGetButton(controller, i));
    std::printf("\nvaluators:");
    for (int i = 0; i < trackdGetNumberOfValuators(controller); ++i)
        std::printf(" %.3f", double{trackdGetValuator(controller, i)});
    std::printf("\n");
    return 0;
}
