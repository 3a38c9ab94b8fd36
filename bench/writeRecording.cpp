// Writes a recording as trackd-monitor writes it (the same JSON lines), of moving sensors, buttons and
// valuators, for the benchmarks of loading recordings.
// Usage: writeRecording FILE SECONDS RATE SENSORS
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "snapshot.h"

using namespace trackd_tools;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: writeRecording FILE SECONDS RATE SENSORS\n", stderr);
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    const double rate = std::atof(argv[3]);
    const int sensors = std::atoi(argv[4]);
    std::FILE* file = std::fopen(argv[1], "w");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fputs((recordingHeader().dump() + '\n').c_str(), file);
    const auto frames = static_cast<long long>(seconds * rate);
    for (long long n = 0; n < frames; ++n) {
        Snapshot s;
        s.time = static_cast<double>(n) / rate;
        for (int i = 0; i < sensors; ++i) {
            SensorState state;
            for (int c = 0; c < 3; ++c) {
                state.position[c] = static_cast<float>(0.3 * std::sin(0.7 * s.time + i + c) + 0.5 * c);
                state.angles[c] = static_cast<float>(170 * std::sin(0.3 * s.time + 2 * i + c));
            }
            s.sensors.push_back(state);
        }
        for (int b = 0; b < 4; ++b) s.buttons.push_back(static_cast<int>(s.time / (1.5 + b)) % 2);
        for (int v = 0; v < 2; ++v) s.valuators.push_back(static_cast<float>(std::sin(0.8 * s.time + v)));
        std::fputs((toJson(s).dump() + '\n').c_str(), file);
    }
    return std::fclose(file) == 0 ? 0 : 1;
}
