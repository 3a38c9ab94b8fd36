// trackd-sim's point option.
#include "pointOption.h"

#include <cmath>
#include <cstdlib>

namespace trackd_sim {

CLI::Option* addPointOption(CLI::App& app, const std::string& name, std::array<float, 3>& point,
                            const std::string& what) {
    return app
        .add_option_function<std::string>(
            name,
            [&point, name](const std::string& text) {
                std::array<float, 3> read{};
                std::size_t from = 0;
                for (std::size_t i = 0; i < 3; ++i) {
                    const std::size_t comma = i < 2 ? text.find(',', from) : text.size();
                    const std::string part = comma == std::string::npos ? "" : text.substr(from, comma - from);
                    char* end = nullptr;
                    read[i] = std::strtof(part.c_str(), &end);
                    if (part.empty() || *end != '\0' || !std::isfinite(read[i]) || std::fabs(read[i]) > 1e6F)
                        throw CLI::ValidationError(name, "'" + text +
                                                             "' is not X,Y,Z: three numbers from -1e6 to 1e6 "
                                                             "separated by commas, such as 0,1.7,0");
                    from = comma + 1;
                }
                point = read;
            },
            what)
        ->type_name("X,Y,Z");
}

}  // namespace trackd_sim
