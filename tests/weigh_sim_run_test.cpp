// weigh-sim run end to end as a separate process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/reading.h"
#include "scenario.h"
#include "under_wine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct SimRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string output, errors;
};

// The VM tests' scenarios of a start that fails: weigh ends by itself.
const char* const failedStarts[] = {"missing.txt", "remote-alone.txt", "wine/silent.txt"};
// The Wine VM test's board that goes for good while another comes back in
// its place as a new device: a run of weigh-sim plays one board.
const char vmOnly[] = "wine/unplug.txt";

std::string TempPath(const std::string& name) {
    return testing::TempDir() + name;
}

// Every file's whole text, "" for none.
std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs weigh-sim with an argument, standard input empty, both outputs kept
// in files. Not a pipe: under Wine a helper process that the program's
// message box starts inherits the program's output handles, and a pipe
// would then stay open, and the reader waiting, long after the program
// has ended. With closeStdout the program starts with standard output
// closed instead (POSIX shells only).
SimRun RunSim(const std::string& argument, bool closeStdout = false) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string output = TempPath(std::string("weigh-sim-") + test->name() + ".stdout");
    std::string errors = TempPath(std::string("weigh-sim-") + test->name() + ".stderr");
    std::string command = std::string("\"") + WEIGH_SIM_PATH + "\" " + argument + " <";
#ifdef _WIN32
    command += "NUL";
#else
    command += "/dev/null";
#endif
    command += (closeStdout ? std::string(" >&-") : " >\"" + output + "\"") + " 2>\"" + errors + "\"";
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
    run.output = FileText(output);
    std::ifstream lines(output);  // text mode: without Windows' carriage returns
    for (std::string line; std::getline(lines, line);)
        run.lines.push_back(lines.eof() ? line : line + "\n");
    std::ifstream file(errors);
    std::stringstream text;
    text << file.rdbuf();
    run.errors = text.str();
    return run;
}

// A scenario of the VM tests (under tests/vm), which weigh-sim plays too:
// the board's script and what a run against it must show.
sim::Script Scenario(const std::string& file) {
    std::string text, error;
    sim::Script scenario;
    EXPECT_TRUE(sim::ReadScriptFile((std::string(WEIGH_VM_DIR) + file).c_str(), &text)) << file;
    EXPECT_TRUE(sim::ParseScript(text, &scenario, &error)) << file << ": " << error;
    return scenario;
}

std::string WriteScript(const std::string& name, const std::string& text) {
    std::string path = TempPath("weigh-sim-" + name);
    std::ofstream(path) << text;
    return "\"" + path + "\"";
}

// The built-in session, in order: the empty board before its zero point,
// A held, 70 kg, leaning right and left, stepping off, Home, the frozen
// read-out, and the end, as the session itself says.
TEST(WeighSim, BuiltInSessionShowsEveryPhaseInOrderAndEnds) {
    SimRun run = RunSim("");
    sim::Script session;
    std::string error;
    ASSERT_TRUE(sim::ParseScript(sim::builtInSession, &session, &error)) << error;
    EXPECT_EQ(test::CheckRun(session, {run.output, run.errors, std::nullopt, run.status}), std::vector<std::string>{});
}

// On a Windows desktop the messages are message boxes that wait for a
// click; only where none can be shown (Wine without a display, a service
// session) do they come on standard error at once.
bool MessagesWaitForAClick() {
#ifdef _WIN32
    return !test::UnderWine() || std::getenv("DISPLAY");
#else
    return false;
#endif
}

// A board missing gets both messages, one that never answers the second
// only, and the family's remote alone is not taken for the board: no line
// is printed, and the status is 1, as the VM tests' scenarios say.
TEST(WeighSim, FailedStartShowsItsMessagesAndExits1) {
    if (MessagesWaitForAClick())
        GTEST_SKIP() << "the messages would be message boxes waiting for a click";
    for (const char* file : failedStarts) {
        SCOPED_TRACE(file);
        SimRun run = RunSim("\"" + std::string(WEIGH_VM_DIR) + file + "\"");
        EXPECT_EQ(test::CheckRun(Scenario(file), {run.output, run.errors, std::nullopt, run.status}),
                  std::vector<std::string>{});
    }
}

TEST(WeighSim, ScriptOfItsOwnEndsWithItsStatus) {
    SimRun run = RunSim(WriteScript("short.txt", "board 1500 00 00 100 100 100 100\nend 7\n"));
    EXPECT_EQ(run.status, 7);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "0,0, Msum  4.0(kg), Mrf  100, Mrb  100, Mlf  100, Mlb  100\n");
}

// Usage asked for is on standard output, with status 0; after a mistake
// it is on standard error, with status 2.
TEST(WeighSim, UsageAskedForGoesToStandardOutput) {
    for (const char* argument : {"--help", "-h"}) {
        SCOPED_TRACE(argument);
        SimRun run = RunSim(argument);
        EXPECT_EQ(run.status, 0);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.front(), "usage: weigh-sim [SCRIPT]\n");
        EXPECT_EQ(run.errors, "");
    }
    SimRun run = RunSim("one two");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(run.errors.rfind("usage: weigh-sim [SCRIPT]\n", 0), 0u) << run.errors;
}

TEST(WeighSim, BadScriptIsRefusedWithItsLine) {
    SimRun run = RunSim(WriteScript("bad.txt", "rate 100\nboard 10 00\n"));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.errors.find("line 2: board takes"), std::string::npos) << run.errors;
    EXPECT_TRUE(run.lines.empty());
}

#ifndef _WIN32
// At a terminal each message waits for Enter: the second message does not
// come until the first has been acknowledged.
TEST(WeighSim, AtATerminalEachMessageWaitsForEnter) {
    std::string script = WriteScript("missing-tty.txt", "missing\n");
    script = script.substr(1, script.size() - 2);  // no quotes for exec
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(WEIGH_SIM_PATH, WEIGH_SIM_PATH, script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    // Reads what the terminal shows until text appears or the bound passes.
    auto readUntil = [&](const std::string& text, int boundMs = 10000) {
        for (int waited = 0; seen.find(text) == std::string::npos && waited < boundMs; waited += 50) {
            pollfd ready{terminal, POLLIN, 0};
            if (poll(&ready, 1, 50) > 0) {
                char buffer[256];
                ssize_t got = read(terminal, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                seen.append(buffer, static_cast<size_t>(got));
            }
        }
        return seen.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("Wii-Remote not found.\r\nPress Enter to continue.\r\n")) << seen;
    // Nothing more while the message stands, well past the 100 ms probe.
    EXPECT_FALSE(readUntil("cannot open", 500)) << seen;
    ASSERT_EQ(write(terminal, "\n", 1), 1);
    ASSERT_TRUE(readUntil("Wii-Remote cannot open.\r\nPress Enter to continue.\r\n")) << seen;
    ASSERT_EQ(write(terminal, "\n", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A board that goes on for ten minutes: any end before that is weigh-sim's own.
const char longSession[] = "board 600000 00 00 100 100 100 100\n";
const char longSessionLine[] = "0,0, Msum  4.0(kg), Mrf  100, Mrb  100, Mlf  100, Mlb  100";

// Starts weigh-sim on the script at path with standard input empty and
// standard output on fd (and standard error on errorFd, if given), SIGPIPE
// ignored when asked (it stays so across exec).
pid_t StartSim(const std::string& path, int fd, bool ignoreSigpipe, int errorFd = -1) {
    pid_t child = fork();
    if (child == 0) {
        if (ignoreSigpipe)
            signal(SIGPIPE, SIG_IGN);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        if (errorFd >= 0)
            dup2(errorFd, STDERR_FILENO);
        execl(WEIGH_SIM_PATH, WEIGH_SIM_PATH, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// Polls until condition holds or boundMs pass; returns its last value.
bool PollFor(const std::function<bool()>& condition, int boundMs = 20000) {
    for (int waited = 0; !condition() && waited < boundMs; waited += 10)
        usleep(10000);
    return condition();
}

// Waits for the child's end within the bound; if it has not ended, ends it
// by force so that no process is left behind, and says so.
bool Ended(pid_t child, int* status) {
    bool ended = false;
    PollFor([&] { return ended = ended || waitpid(child, status, WNOHANG) == child; });
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, status, 0);
    }
    return ended;
}

// `weigh-sim > file` ended by Ctrl+C: the file holds whole lines only,
// up to the last one formed.
TEST(WeighSim, EndedBySigintLeavesOnlyWholeLines) {
    std::string script = WriteScript("long-sigint.txt", longSession);
    std::string output = TempPath("weigh-sim-sigint.stdout");
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    pid_t child = StartSim(script.substr(1, script.size() - 2), fd, false);
    close(fd);
    ASSERT_GT(child, 0);
    auto size = [&] {
        std::ifstream file(output, std::ios::binary | std::ios::ate);
        return file ? static_cast<long>(file.tellg()) : 0L;
    };
    bool wrote = PollFor([&] { return size() >= 1000; });
    kill(child, SIGINT);
    int status = 0;
    ASSERT_TRUE(Ended(child, &status)) << "weigh-sim outlived SIGINT";
    ASSERT_TRUE(wrote) << "no output from weigh-sim";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    sim::Script scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScript(std::string(longSession) + "expect last " + longSessionLine, &scenario, &error));
    EXPECT_EQ(test::CheckRun(scenario, {FileText(output), std::nullopt, std::nullopt, -1}), std::vector<std::string>{});
}

// `weigh-sim >&-`: the closed standard output is filled with /dev/null
// before anything is opened, and the run goes on to the script's end
// (where nothing fills it, the first line fails to be written).
TEST(WeighSim, WithStandardOutputClosedPlaysToItsEnd) {
    SimRun run = RunSim(WriteScript("closed-stdout.txt", "board 1500 00 00 100 100 100 100\nend 5\n"), true);
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.errors, "");
}

// `weigh-sim | head -1` under a parent that left SIGPIPE ignored: the
// writes fail once the reader has gone, and weigh-sim ends with status 1.
TEST(WeighSim, EndsWhenItsReaderGoesAwayWithSigpipeIgnored) {
    std::string script = WriteScript("long-pipe.txt", longSession);
    int ends[2];  // close-on-exec: the reader's end must not stay open in weigh-sim
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    pid_t child = StartSim(script.substr(1, script.size() - 2), ends[1], true);
    close(ends[1]);
    ASSERT_GT(child, 0);
    std::string first;
    bool line = PollFor([&] {
        pollfd ready{ends[0], POLLIN, 0};
        char c;
        while (first.find('\n') == std::string::npos && poll(&ready, 1, 0) > 0 && read(ends[0], &c, 1) == 1)
            first += c;
        return first.find('\n') != std::string::npos;
    });
    close(ends[0]);
    int status = 0;
    ASSERT_TRUE(Ended(child, &status)) << "weigh-sim went on writing to a closed pipe";
    Reading reading;
    EXPECT_TRUE(line && ParseReading(first, &reading)) << first;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// Every other scenario of the VM tests, which vboard plays in the VM with
// the same model of the board, played here by weigh-sim, all at once: each
// run shows what its scenario expects, by the VM tests' own checker. The
// board's log is the VM's alone, so what it must hold is checked there.
TEST(WeighSim, PlaysTheVmTestsScenarios) {
    struct Run {
        std::string file;
        sim::Script scenario;
        std::string output, errors;
        pid_t child;
        bool shown;
    };
    std::vector<Run> runs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(WEIGH_VM_DIR)) {
        std::string file = std::filesystem::relative(entry.path(), WEIGH_VM_DIR).generic_string();
        if (entry.path().extension() != ".txt" || entry.path().filename() == "CMakeLists.txt" || file == vmOnly ||
            std::find(std::begin(failedStarts), std::end(failedStarts), file) != std::end(failedStarts))
            continue;
        sim::Script scenario = Scenario(file);
        if (scenario.expectations.empty())
            continue;  // a device's script only, as the remote's
        std::string name = file.substr(file.find('/') + 1);
        Run run{
            file, scenario, TempPath("weigh-sim-vm-" + name + ".stdout"), TempPath("weigh-sim-vm-" + name + ".stderr"),
            0,    false};
        int out = open(run.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(run.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(out, 0);
        ASSERT_GE(err, 0);
        run.child = StartSim(entry.path().string(), out, false, err);
        close(out);
        close(err);
        ASSERT_GT(run.child, 0);
        runs.push_back(run);
    }
    EXPECT_GE(runs.size(), 5u) << "the VM tests' scenarios were not found in " << WEIGH_VM_DIR;
    auto failures = [](const Run& run) {
        return test::CheckRun(run.scenario, {FileText(run.output), FileText(run.errors), std::nullopt, -1});
    };
    // Looked at every 200 ms: the outputs grow by a thousand lines a second.
    for (int waited = 0; waited < 60000; waited += 200) {
        bool all = true;
        for (Run& run : runs)
            all = (run.shown = run.shown || failures(run).empty()) && all;
        if (all)
            break;
        usleep(200000);
    }
    for (const Run& run : runs) {
        SCOPED_TRACE(run.file);
        kill(run.child, SIGINT);
        int status = 0;
        EXPECT_TRUE(Ended(run.child, &status)) << "weigh-sim outlived SIGINT";
        EXPECT_TRUE(run.shown) << "not all shown within 60 s";
        EXPECT_EQ(failures(run), std::vector<std::string>{});
    }
}
#endif

// Standard error in a file, and weigh-sim ended from outside, as every run
// ends: each notice of a board that went and came back is in the file as
// soon as it is said, not only when the process ends by itself.
TEST(WeighSim, NoticesReachAFileAtOnce) {
    std::string script = WriteScript("off-on.txt", "board 1000 00 00 100 100 100 100\n"
                                                   "off 1000\n"
                                                   "board 600000 00 00 200 200 200 200\n");
    script = script.substr(1, script.size() - 2);
    std::string errors = TempPath("weigh-sim-notices.stderr");
    const std::string both = "weigh: the board has gone; waiting for it to come back\n"
                             "weigh: the board is back\n";
    auto said = [&] {
        std::string all = FileText(errors);
        all.erase(std::remove(all.begin(), all.end(), '\r'), all.end());
        return all;
    };
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE null = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null;
    startup.hStdOutput = null;
    startup.hStdError = file;
    PROCESS_INFORMATION process{};
    std::string command = std::string("\"") + WEIGH_SIM_PATH + "\" \"" + script + "\"";
    BOOL started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(file);
    CloseHandle(null);
    ASSERT_TRUE(started) << GetLastError();
#else
    int file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_WRONLY);
    ASSERT_GE(file, 0);
    ASSERT_GE(null, 0);
    pid_t child = StartSim(script, null, false, file);
    close(file);
    close(null);
    ASSERT_GT(child, 0);
#endif
    bool came = false;
    for (int waited = 0; !(came = said() == both) && waited < 60000; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
#ifdef _WIN32
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
#else
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
#endif
    EXPECT_TRUE(came) << "standard error while weigh-sim ran: \"" << said() << "\"";
}

}  // namespace
