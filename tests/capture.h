// Standard error captured around one action, for comparing the library's messages byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testing_segments {

// Everything `action` writes to standard error while it runs.
template <typename Action>
std::string stderrOf(Action&& action) {
    ::testing::internal::CaptureStderr();
    action();
    return ::testing::internal::GetCapturedStderr();
}

}  // namespace testing_segments
