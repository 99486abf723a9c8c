// The scenarios' checker finds each kind of run that its scenario does not
// allow: a checker that passed every run would leave every scenario test
// proving nothing.
#include <gtest/gtest.h>

#include "scenario.h"

namespace {

TEST(ScenarioCheck, FindsEachUnmetExpectation) {
    const std::string a = "0,0, Msum  1.0(kg), Mrf  100, Mrb    0, Mlf    0, Mlb    0\n";
    const std::string b = "0,128, Msum  2.0(kg), Mrf  200, Mrb    0, Mlf    0, Mlb    0\n";
    const std::string log = "vboard: left in mode 34\nvboard: at 5 ms sends 34 buttons 00 00 loads 1 2 3 4\n"
                            "vboard: output 12 00 31 (3 bytes)\nvboard: at 30 ms mode 31, asked for at 10 ms\n";
    const std::string scenario = "mode 34\nlatency 20\nexpect first " + a.substr(0, a.size() - 1) + "\nexpect last " +
                                 b.substr(0, b.size() - 1) +
                                 "\nexpect never Mrf  300\nexpect notice gone\n"
                                 "expect received 12 00 31 (3 bytes)\nexpect sent 34 buttons 00 00 loads 1 2 3 4\n";
    struct Case {
        const char* what;
        std::string output, errors, log;
        const char* failure;  // nullptr: the run is as the scenario says
    } cases[] = {
        {"as expected", a + b + b, "gone\n", log, nullptr},
        {"a line missing", a, "gone\n", log, "not shown in its place: 0,128"},
        {"another first line", "0,0, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n" + a + b, "gone\n", log,
         "not shown in its place: 0,0, Msum  1.0"},
        {"not frozen at the end", a + b + a, "gone\n", log, "does not end on"},
        {"a line cut off", a + b + b.substr(0, 10), "gone\n", log, "cut off"},
        {"a line not whole", a + "0,0, Msum 9.9(kg)\n" + b, "gone\n", log, "not a whole read-out line"},
        {"a line that never should be", a + "0,0, Msum  3.0(kg), Mrf  300, Mrb    0, Mlf    0, Mlb    0\n" + b,
         "gone\n", log, "never should be"},
        {"a notice more", a + b, "gone\nback\n", log, "standard error held"},
        {"a report more", a + b, "gone\n", log + "vboard: output 11 10 (2 bytes)\n", "the board received"},
        {"a report never sent", a + b, "gone\n",
         "vboard: left in mode 34\nvboard: at 5 ms sends 34 x\nvboard: output 12 00 31 (3 bytes)\n"
         "vboard: at 30 ms mode 31, asked for at 10 ms\n",
         "never sent 34 buttons"},
        {"a mode change too soon", a + b, "gone\n",
         "vboard: left in mode 34\nvboard: at 5 ms sends 34 buttons 00 00 loads 1 2 3 4\n"
         "vboard: output 12 00 31 (3 bytes)\nvboard: at 20 ms mode 31, asked for at 10 ms\n",
         "after 10 ms"},
        {"a mode change never taken", a + b, "gone\n", log.substr(0, log.rfind("vboard: at 30")), "mode changes"},
        {"not left in its mode", a + b, "gone\n", log.substr(log.find('\n') + 1), "did not start in mode 34"},
    };
    sim::Script parsed;
    std::string error;
    ASSERT_TRUE(sim::ParseScript(scenario, &parsed, &error)) << error;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> failures = test::CheckRun(parsed, {c.output, c.errors, c.log, -1});
        if (!c.failure) {
            EXPECT_EQ(failures, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
        EXPECT_NE(failures[0].find(c.failure), std::string::npos) << failures[0];
    }
}

}  // namespace
