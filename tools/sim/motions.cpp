// trackd-sim's three motions.
#include "motions.h"

#include <cmath>

namespace trackd_sim {

using namespace trackd_tools;

Snapshot motion(double t, std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    Snapshot s;
    s.time = t;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const double k = i;
        SensorState state;
        if (i == 0) {
            state.position = {static_cast<float>(0.1 * std::sin(0.5 * t)),
                              static_cast<float>(1.7 + 0.02 * std::sin(1.1 * t)),
                              static_cast<float>(0.05 * std::cos(0.5 * t))};
            state.angles = {static_cast<float>(8 * std::sin(0.7 * t)), static_cast<float>(20 * std::sin(0.4 * t)),
                            static_cast<float>(4 * std::sin(0.3 * t))};
        } else {
            const double w = 0.6 + 0.25 * k;
            state.position = {static_cast<float>(0.3 * std::cos(w * t)),
                              static_cast<float>(1.0 + 0.2 * k + 0.1 * std::sin(2 * w * t)),
                              static_cast<float>(-0.4 + 0.3 * std::sin(w * t))};
            state.angles = {static_cast<float>(30 * std::sin(0.9 * t + k)),
                            static_cast<float>(std::fmod(40 * w * t, 360.0) - 180),
                            static_cast<float>(45 * std::sin(1.3 * t + k))};
        }
        s.sensors.push_back(state);
    }
    for (std::uint32_t i = 0; i < buttons; ++i)
        s.buttons.push_back(static_cast<std::int32_t>(static_cast<long long>(t / (1.5 + 0.7 * i)) % 2));
    for (std::uint32_t i = 0; i < valuators; ++i)
        s.valuators.push_back(static_cast<float>(i % 2 == 0 ? std::sin(0.8 * t + i) : std::cos(0.8 * t + i)));
    return s;
}

Snapshot checkable(long long frame, std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    const auto k = static_cast<std::int32_t>(frame % 100);
    const auto kf = static_cast<float>(k);
    Snapshot s;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const auto base = static_cast<float>(1000 * i) + kf;
        s.sensors.push_back({{base, base + 100, base + 200}, {2 * kf, kf, 3 * kf}});
    }
    for (std::uint32_t i = 0; i < buttons; ++i) s.buttons.push_back(static_cast<std::int32_t>(1000 * i) + k);
    for (std::uint32_t i = 0; i < valuators; ++i) s.valuators.push_back(static_cast<float>(1000 * i) + kf);
    return s;
}

Snapshot staticPose(std::uint32_t sensors, std::uint32_t buttons, std::uint32_t valuators) {
    Snapshot s;
    for (std::uint32_t i = 0; i < sensors; ++i) {
        const auto f = static_cast<float>(i);
        s.sensors.push_back({{0.5F + f, 1.25F + f, -2 - f}, {10 + 15 * f, 20 + 10 * f, 30 + 5 * f}});
    }
    for (std::uint32_t i = 0; i < buttons; ++i) s.buttons.push_back(static_cast<std::int32_t>(i) + 1);
    for (std::uint32_t i = 0; i < valuators; ++i) s.valuators.push_back(0.25F * static_cast<float>(i) - 0.5F);
    return s;
}

}  // namespace trackd_sim
