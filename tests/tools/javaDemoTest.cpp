// The Java demo against the simulator, as an application polls it through TrackdJNI.
#include <gtest/gtest.h>

#include "toolsHarness.h"

namespace {

TEST(javaDemo, printsTheSimulatorsTranslations) {
#ifndef DEMO_CLASSPATH
    GTEST_SKIP() << "built without the Java tests";
#else
    const Keys keys;
    RunningSim sim(keys, {"--static", "--sensors", "2", "--buttons", "2", "--valuators", "1"});
    Process demo({JAVA, "-Xcheck:jni", std::string("-Djava.library.path=") + LIBRARY_DIR, "-cp", DEMO_CLASSPATH,
                  "calvora.devicedriver.demo.TrackdDemo", "--tracker-key", std::to_string(keys.tracker),
                  "--controller-key", std::to_string(keys.controller), "--seconds", "0.5"});
    ASSERT_EQ(demo.wait(), 0) << demo.err;
    EXPECT_NE(demo.out.find("attached, controller key " + std::to_string(keys.controller) + " attached"),
              std::string::npos)
        << demo.out;
    const std::string expectedLine =
        "sensor 0 ( 0.500,  1.250, -2.000)  sensor 1 ( 1.500,  2.250, -3.000)  buttons 1 2  valuators -0.500";
    EXPECT_NE(demo.out.find(expectedLine), std::string::npos) << demo.out;
    EXPECT_EQ(demo.err, "");
#endif
}

}  // namespace
