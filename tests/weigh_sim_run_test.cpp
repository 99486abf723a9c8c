// weigh-sim run end to end as a separate process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace {

struct SimRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string errors;
};

std::string TempPath(const std::string& name) {
    return testing::TempDir() + name;
}

// Runs weigh-sim with an argument, standard input empty, both outputs kept
// in files. Not a pipe: under Wine a helper process that the program's
// message box starts inherits the program's output handles, and a pipe
// would then stay open, and the reader waiting, long after the program
// has ended.
SimRun RunSim(const std::string& argument) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string output = TempPath(std::string("weigh-sim-") + test->name() + ".stdout");
    std::string errors = TempPath(std::string("weigh-sim-") + test->name() + ".stderr");
    std::string command = std::string("\"") + WEIGH_SIM_PATH + "\" " + argument + " <";
#ifdef _WIN32
    command += "NUL";
#else
    command += "/dev/null";
#endif
    command += " >\"" + output + "\" 2>\"" + errors + "\"";
#ifdef _WIN32
    // cmd /c takes off the first and the last quote of a line that begins
    // with one: a pair around the whole keeps the inner quotes as they are.
    command = "\"" + command + "\"";
#endif
    SimRun run;
    int status = std::system(command.c_str());
#ifdef _WIN32
    run.status = status;
#else
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    std::ifstream lines(output);
    for (std::string line; std::getline(lines, line);)
        run.lines.push_back(lines.eof() ? line : line + "\n");
    std::ifstream file(errors);
    std::stringstream text;
    text << file.rdbuf();
    run.errors = text.str();
    return run;
}

std::string WriteScript(const std::string& name, const std::string& text) {
    std::string path = TempPath("weigh-sim-" + name);
    std::ofstream(path) << text;
    return "\"" + path + "\"";
}

const std::regex lineFormat(
    R"(^(\d{1,3}),(\d{1,3}), Msum *-?\d{1,4}\.\d\(kg\), Mrf *-?\d{1,5}, Mrb *-?\d{1,5}, Mlf *-?\d{1,5}, Mlb *-?\d{1,5}\n$)");

// Where in the output the first line containing text stands; -1 if none.
long FirstIndex(const std::vector<std::string>& lines, const std::string& text, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            return static_cast<long>(i);
    return -1;
}

TEST(WeighSim, BuiltInSessionShowsEveryPhaseInOrderAndEnds) {
    SimRun run = RunSim("");
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    ASSERT_GT(run.lines.size(), 100u);
    for (const std::string& line : run.lines)
        ASSERT_TRUE(std::regex_match(line, lineFormat)) << line;
    // Empty board before its zero point, A held, then 70 kg, leaning right
    // and left, stepping off, Home, and the frozen read-out.
    long empty = FirstIndex(run.lines, "0,0, Msum 59.7(kg), Mrf 1480, Mrb 1523, Mlf 1502, Mlb 1461");
    long held = FirstIndex(run.lines, "0,8, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0");
    long standing = FirstIndex(run.lines, "0,0, Msum 70.0(kg), Mrf 1750, Mrb 1750, Mlf 1750, Mlb 1750");
    long right = FirstIndex(run.lines, "0,0, Msum 70.0(kg), Mrf 3150, Mrb 3150, Mlf  350, Mlb  350");
    long left = FirstIndex(run.lines, "0,0, Msum 70.0(kg), Mrf  350, Mrb  350, Mlf 3150, Mlb 3150");
    long off = FirstIndex(run.lines, "0,0, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0", right);
    long home = FirstIndex(run.lines, "0,128, Msum  0.0(kg), Mrf    0, Mrb    0, Mlf    0, Mlb    0");
    EXPECT_EQ(empty, 0);
    EXPECT_LT(empty, held);
    EXPECT_LT(held, standing);
    EXPECT_LT(standing, right);
    EXPECT_LT(right, left);
    EXPECT_LT(left, off);
    EXPECT_LT(off, home);
    ASSERT_GE(home, 0);
    // Frozen after Home: every later line is the same.
    for (size_t i = static_cast<size_t>(home); i < run.lines.size(); ++i)
        EXPECT_EQ(run.lines[i], run.lines[static_cast<size_t>(home)]) << "line " << i;
}

// On a Windows desktop the messages are message boxes that wait for a
// click; only where none can be shown (Wine without a display, a service
// session) do they come on standard error at once.
bool MessagesWaitForAClick() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return !(ntdll && GetProcAddress(ntdll, "wine_get_version")) || std::getenv("DISPLAY");
#else
    return false;
#endif
}

TEST(WeighSim, MissingBoardShowsBothMessagesAndExits1) {
    if (MessagesWaitForAClick())
        GTEST_SKIP() << "the messages would be message boxes waiting for a click";
    SimRun run = RunSim(WriteScript("missing.txt", "missing\n"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "Wii-Remote not found.\nWii-Remote cannot open.\n");
    EXPECT_TRUE(run.lines.empty());
}

TEST(WeighSim, SilentBoardCannotOpen) {
    if (MessagesWaitForAClick())
        GTEST_SKIP() << "the message would be a message box waiting for a click";
    SimRun run = RunSim(WriteScript("silent.txt", "silent\n"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "Wii-Remote cannot open.\n");
}

TEST(WeighSim, ScriptOfItsOwnEndsWithItsStatus) {
    SimRun run = RunSim(WriteScript("short.txt", "board 1500 00 00 100 100 100 100\nend 7\n"));
    EXPECT_EQ(run.status, 7);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "0,0, Msum  4.0(kg), Mrf  100, Mrb  100, Mlf  100, Mlb  100\n");
}

TEST(WeighSim, BadScriptIsRefusedWithItsLine) {
    SimRun run = RunSim(WriteScript("bad.txt", "rate 100\nboard 10 00\n"));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.errors.find("line 2: board takes"), std::string::npos) << run.errors;
    EXPECT_TRUE(run.lines.empty());
}

}  // namespace
