// The output line, the zero point and the display pass.
#include <gtest/gtest.h>

#include "console/console.h"
#include "console/reading.h"
#include "device/reports.h"
#include "support.h"

namespace {

// From nothing to the widest and the most negative, the buttons as
// unsigned numbers; every case's zero point is the same on all corners.
TEST(DisplayLine, MatchesTheFormatExactly) {
    const struct {
        int tare;
        int raw[4];
        int buttons1, buttons2;
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
        test::SetBoardState(c.buttons1, c.buttons2, c.raw[0], c.raw[1], c.raw[2], c.raw[3]);
        EXPECT_EQ(test::Pass(), c.line);
        char line[128];
        FormatReading(line, sizeof line);
        EXPECT_STREQ(line, c.line);
        // Read back, the line gives the values it was made of.
        Reading r{};
        ASSERT_TRUE(ParseReading(c.line, &r));
        EXPECT_EQ(r.buttons1, c.buttons1);
        EXPECT_EQ(r.buttons2, c.buttons2);
        EXPECT_EQ(r.Mrf, c.raw[0] - c.tare);
        EXPECT_EQ(r.Mlb, c.raw[3] - c.tare);
        EXPECT_EQ(r.Msum, Msum);
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
    test::SetBoardState(0, 0x08, 1500, 1600, 1700, 1800);
    EXPECT_EQ(test::Pass(), "0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n");
    EXPECT_EQ(std::make_pair(tareRf, tareLb), std::make_pair(1500, 1800));
    test::SetBoardState(0, 0x08, 1510, 1600, 1700, 1790);  // still held: a new zero point
    EXPECT_EQ(test::Pass(), "0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n");
    EXPECT_EQ(std::make_pair(tareRf, tareLb), std::make_pair(1510, 1790));
}

TEST(ZeroPoint, AHeldWithOtherButtonsStillTares) {
    test::FreshRun("");
    test::SetBoardState(0x04, 0x88, 10, 20, 30, 40);
    test::Pass();
    EXPECT_EQ(Msum, 0);
    EXPECT_EQ(tareRb, 20);
}

TEST(ZeroPoint, KeptAfterReleaseSoALighterLoadIsNegative) {
    test::FreshRun("");
    test::SetBoardState(0, 0x08, 3000, 3000, 3000, 3000);
    test::Pass();
    test::SetBoardState(0, 0x00, 2900, 2990, 3000, 2800);
    EXPECT_EQ(test::Pass(), "0,0, Msum -3.1(kg), Mrf -100, Mrb  -10, Mlf    0, Mlb -200\n");
    EXPECT_EQ(tareRf, 3000);
}

TEST(ZeroPoint, NoneBeforeTheFirstPressSoRawWordsPrint) {
    test::FreshRun("");
    test::SetBoardState(0, 0, 1480, 1523, 1502, 1461);
    EXPECT_EQ(test::Pass(), "0,0, Msum 59.7(kg), Mrf 1480, Mrb 1523, Mlf 1502, Mlb 1461\n");
}

}  // namespace
