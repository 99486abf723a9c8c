// The output line, the zero point and the display pass.
#include <gtest/gtest.h>

#include "console/console.h"
#include "console/reading.h"
#include "device/reports.h"
#include "support.h"

namespace {

// One display pass with the board in this state: what it printed.
std::string PassAt(int buttons1, int buttons2, int32_t rf, int32_t rb, int32_t lf, int32_t lb) {
    test::SetBoardState(buttons1, buttons2, rf, rb, lf, lb);
    return test::Pass();
}

// From nothing to the widest and the most negative, the buttons as
// unsigned numbers; every case's zero point is the same on all corners.
TEST(DisplayLine, MatchesTheFormatExactly) {
    const struct {
        int tare, raw[4], buttons1, buttons2;
        const char* line;
    } cases[] = {
        {0, {0, 0, 0, 0}, 0, 0, "0,0, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n"},
        {1000, {1123, 1234, 1150, 1146}, 0, 0, "0,0, Msum  6.5(kg), Mrf  123, Mrb  234, Mlf  150, Mlb  146\n"},
        {100, {95, 103, 88, 104}, 0, 0, "0,0, Msum -0.1(kg), Mrf   -5, Mrb    3, Mlf  -12, Mlb    4\n"},
        {0, {65535, 65535, 65535, 65535}, 0, 0, "0,0, Msum2621.4(kg), Mrf 65535, Mrb 65535, Mlf 65535, Mlb 65535\n"},
        {65535, {0, 0, 0, 0}, 0, 0, "0,0, Msum-2621.4(kg), Mrf-65535, Mrb-65535, Mlf-65535, Mlb-65535\n"},
        {0, {1, 2, 3, 4}, 255, 128, "255,128, Msum  0.1(kg), Mrf    1, Mrb    2, Mlf    3, Mlb    4\n"},
        {1500, {3250, 3250, 3250, 3250}, 0, 0, "0,0, Msum 70.0(kg), Mrf 1750, Mrb 1750, Mlf 1750, Mlb 1750\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        test::FreshRun("");
        test::SetZeroPoint(c.tare, c.tare, c.tare, c.tare);
        EXPECT_EQ(PassAt(c.buttons1, c.buttons2, c.raw[0], c.raw[1], c.raw[2], c.raw[3]), c.line);
        char line[128];
        FormatReading(line, sizeof line);
        EXPECT_STREQ(line, c.line);
        // Read back, the line gives the values it was made of.
        Reading r{};
        ASSERT_TRUE(ParseReading(c.line, &r));
        EXPECT_EQ(std::tuple(r.buttons1, r.buttons2, r.Mrf, r.Mlb, r.Msum),
                  std::tuple(c.buttons1, c.buttons2, c.raw[0] - c.tare, c.raw[3] - c.tare, Msum));
    }
}

// What the program could not have printed is no reading: a line cut
// short, a total that is not the corners' sum, a button byte past 255,
// another spacing.
TEST(DisplayLine, ReadBackOnlyFromTheProgramsOwnLines) {
    Reading r{};
    EXPECT_TRUE(ParseReading("0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0", &r));
    for (const char* line :
         {"0,0, Msum  6.5(kg), Mrf  123", "0,0, Msum  7.5(kg), Mrf  123, Mrb  234, Mlf  150, Mlb  146\n",
          "256,0, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n",
          "0,0, Msum 0.0(kg), Mrf 0, Mrb 0, Mlf 0, Mlb 0\n", ""})
        EXPECT_FALSE(ParseReading(line, &r)) << line;
}

TEST(ZeroPoint, TakenOnEveryPassWhileAIsHeld) {
    test::FreshRun("");
    // Still held on the second pass: a new zero point.
    for (auto [rf, lb] : {std::pair(1500, 1800), std::pair(1510, 1790)}) {
        EXPECT_EQ(PassAt(0, 0x08, rf, 1600, 1700, lb), "0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n");
        EXPECT_EQ(std::pair(tareRf, tareLb), std::pair(rf, lb));
    }
}

TEST(ZeroPoint, AHeldWithOtherButtonsStillTares) {
    test::FreshRun("");
    PassAt(0x04, 0x88, 10, 20, 30, 40);
    EXPECT_EQ(std::pair(Msum, tareRb), std::pair(0, 20));
}

TEST(ZeroPoint, KeptAfterReleaseSoALighterLoadIsNegative) {
    test::FreshRun("");
    PassAt(0, 0x08, 3000, 3000, 3000, 3000);
    EXPECT_EQ(PassAt(0, 0x00, 2900, 2990, 3000, 2800), "0,0, Msum -3.1(kg), Mrf -100, Mrb  -10, Mlf    0, Mlb -200\n");
    EXPECT_EQ(tareRf, 3000);
}

TEST(ZeroPoint, NoneBeforeTheFirstPressSoRawWordsPrint) {
    test::FreshRun("");
    EXPECT_EQ(PassAt(0, 0, 1480, 1523, 1502, 1461), "0,0, Msum 59.7(kg), Mrf 1480, Mrb 1523, Mlf 1502, Mlb 1461\n");
}

}  // namespace
