// weigh-sim run end to end as a separate process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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

const std::vector<std::string> noFailures;

// The VM tests' scenarios of a start that fails: weigh ends by itself.
const char* const failedStarts[] = {"missing.txt", "remote-alone.txt", "wine/silent.txt"};
// The Wine VM test's board that goes for good while another comes back in
// its place as a new device: a run of weigh-sim plays one board.
const char vmOnly[] = "wine/unplug.txt";

const std::string fourKgLine = "0,0, Msum  4.0(kg), Mrf  100, Mrb  100, Mlf  100, Mlb  100";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A file's whole text, "" for none, read without Windows' carriage returns.
std::string FileText(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Polls every stepMs until condition holds or boundMs pass; returns its last value.
bool PollFor(const std::function<bool()>& condition, int boundMs = 20000, int stepMs = 10) {
    for (int waited = 0; !condition() && waited < boundMs; waited += stepMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    return condition();
}

// Runs weigh-sim with standard input empty and its outputs in files (with
// closeStdout, standard output closed: POSIX shells only). Not a pipe: under
// Wine a helper process that the message box starts inherits the handles
// and would hold a pipe open, its reader waiting, long after weigh-sim ends.
test::RunRecord RunSim(const std::vector<std::string>& arguments, bool closeStdout = false) {
    std::string files =
        testing::TempDir() + "weigh-sim-" + testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string command = Quoted(WEIGH_SIM_PATH);
    for (const std::string& argument : arguments)
        command += " " + Quoted(argument);
    command += (closeStdout ? " >&-" : " >" + Quoted(files + ".stdout")) + " 2>" + Quoted(files + ".stderr");
#ifdef _WIN32
    // cmd /c takes off the first and the last quote of a line that begins
    // with one: a pair around the whole keeps the inner quotes as they are.
    int status = std::system(Quoted(command + " <NUL").c_str());
#else
    int status = std::system((command + " </dev/null").c_str());
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return {FileText(files + ".stdout"), FileText(files + ".stderr"), std::nullopt, status};
}

// A board's script with what a run against it must show.
sim::Script Parsed(const std::string& text, const std::string& name = "") {
    sim::Script scenario;
    std::string error;
    EXPECT_TRUE(sim::ParseScript(text, &scenario, &error)) << name << ": " << error;
    return scenario;
}

// A scenario of the VM tests (under tests/vm), which weigh-sim plays too.
sim::Script Scenario(const std::string& file) {
    std::string text;
    EXPECT_TRUE(sim::ReadScriptFile((std::string(WEIGH_VM_DIR) + file).c_str(), &text)) << file;
    return Parsed(text, file);
}

std::string WriteScript(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + "weigh-sim-" + name;
    std::ofstream(path) << text;
    return path;
}

// The built-in session, in order: the empty board, A held, 70 kg, leaning
// right and left, stepping off, Home, the frozen read-out, the end.
TEST(WeighSim, BuiltInSessionShowsEveryPhaseInOrderAndEnds) {
    EXPECT_EQ(test::CheckRun(Parsed(sim::builtInSession), RunSim({})), noFailures);
}

// A board missing gets both messages, one that never answers the second
// only, and the family's remote alone is not taken for the board: no line
// is printed, and the status is 1, as the VM tests' scenarios say.
TEST(WeighSim, FailedStartShowsItsMessagesAndExits1) {
#ifdef _WIN32
    // On a Windows desktop the messages are message boxes that wait for a
    // click; only where none can be shown (Wine without a display, a service
    // session) do they come on standard error at once.
    if (!test::UnderWine() || std::getenv("DISPLAY"))
        GTEST_SKIP() << "the messages would be message boxes waiting for a click";
#endif
    for (const char* file : failedStarts)
        EXPECT_EQ(test::CheckRun(Scenario(file), RunSim({std::string(WEIGH_VM_DIR) + file})), noFailures) << file;
}

TEST(WeighSim, ScriptOfItsOwnEndsWithItsStatus) {
    std::string script = "board 1500 00 00 100 100 100 100\nend 7\nexpect status 7\nexpect last " + fourKgLine;
    EXPECT_EQ(test::CheckRun(Parsed(script), RunSim({WriteScript("short.txt", script)})), noFailures);
}

// Usage asked for is on standard output, with status 0; after a mistake
// it is on standard error, with status 2.
TEST(WeighSim, UsageAskedForGoesToStandardOutput) {
    const std::string usage = "usage: weigh-sim [SCRIPT]\n";
    for (const char* argument : {"--help", "-h"}) {
        test::RunRecord run = RunSim({argument});
        EXPECT_EQ(std::tuple(run.status, run.output.substr(0, usage.size()), *run.errors), std::tuple(0, usage, ""))
            << argument;
    }
    test::RunRecord run = RunSim({"one", "two"});
    EXPECT_EQ(std::tuple(run.status, run.output, run.errors->substr(0, usage.size())), std::tuple(2, "", usage));
}

TEST(WeighSim, BadScriptIsRefusedWithItsLine) {
    test::RunRecord run = RunSim({WriteScript("bad.txt", "rate 100\nboard 10 00\n")});
    EXPECT_EQ(std::tuple(run.status, run.output), std::tuple(2, ""));
    EXPECT_NE(run.errors->find("line 2: board takes"), std::string::npos) << *run.errors;
}

#ifndef _WIN32
const std::string longSession = "board 600000 00 00 100 100 100 100\n";  // ten minutes: an earlier end is weigh-sim's

// Starts weigh-sim on the script at path: standard input empty, output on
// out, errors on err (unless -1), SIGPIPE ignored if asked (exec keeps that).
pid_t StartSim(const std::string& path, int out, int err = -1, bool ignoreSigpipe = false) {
    pid_t child = fork();
    if (child == 0) {
        if (ignoreSigpipe)
            signal(SIGPIPE, SIG_IGN);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        execl(WEIGH_SIM_PATH, WEIGH_SIM_PATH, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// The same, standard output and (if named) error in new files; -1 if one fails.
pid_t StartSim(const std::string& path, const std::string& output, const std::string& errors = "") {
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = errors.empty() ? -1 : open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = out < 0 || (err < 0 && !errors.empty()) ? -1 : StartSim(path, out, err);
    close(out);
    close(err);
    return child;
}

// How the child ended within the bound: "exit N" or "signal N"; "running"
// if it had not, and it is then ended by force, so that none is left behind.
std::string Ended(pid_t child) {
    int status = 0;
    bool ended = false;
    PollFor([&] { return ended = ended || waitpid(child, &status, WNOHANG) == child; });
    if (ended)
        return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                 : "signal " + std::to_string(WTERMSIG(status));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return "running";
}

// At a terminal each message waits for Enter: the second message does not
// come until the first has been acknowledged.
TEST(WeighSim, AtATerminalEachMessageWaitsForEnter) {
    std::string script = WriteScript("missing-tty.txt", "missing\n");
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(WEIGH_SIM_PATH, WEIGH_SIM_PATH, script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    // Reads what the terminal shows until text appears, the bound passes or it ends.
    auto readUntil = [&](const std::string& text, int boundMs = 10000) {
        char buffer[256];
        pollfd ready{terminal, POLLIN, 0};
        for (int waited = 0; seen.find(text) == std::string::npos && waited < boundMs; waited += 50) {
            ssize_t got = 0;
            if (poll(&ready, 1, 50) > 0 && (got = read(terminal, buffer, sizeof buffer)) <= 0)
                break;
            seen.append(buffer, static_cast<size_t>(got));
        }
        return seen.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("Wii-Remote not found.\r\nPress Enter to continue.\r\n")) << seen;
    // Nothing more while the message stands, well past the 100 ms probe.
    EXPECT_FALSE(readUntil("cannot open", 500)) << seen;
    ASSERT_EQ(write(terminal, "\n", 1), 1);
    ASSERT_TRUE(readUntil("Wii-Remote cannot open.\r\nPress Enter to continue.\r\n")) << seen;
    ASSERT_EQ(write(terminal, "\n", 1), 1);
    EXPECT_EQ(Ended(child), "exit 1");
    close(terminal);
}

// `weigh-sim > file` ended by Ctrl+C: the file holds whole lines only,
// up to the last one formed.
TEST(WeighSim, EndedBySigintLeavesOnlyWholeLines) {
    std::string output = testing::TempDir() + "weigh-sim-sigint.stdout";
    pid_t child = StartSim(WriteScript("long-sigint.txt", longSession), output);
    ASSERT_GT(child, 0);
    bool wrote = PollFor([&] { return FileText(output).size() >= 1000; });
    kill(child, SIGINT);
    ASSERT_EQ(Ended(child), "signal " + std::to_string(SIGINT));
    ASSERT_TRUE(wrote) << "no output from weigh-sim";
    EXPECT_EQ(test::CheckRun(Parsed(longSession + "expect last " + fourKgLine), {FileText(output), {}, {}, -1}),
              noFailures);
}

// `weigh-sim >&-`: the closed standard output is filled with /dev/null
// before anything is opened, and the run goes on to the script's end
// (where nothing fills it, the first line fails to be written).
TEST(WeighSim, WithStandardOutputClosedPlaysToItsEnd) {
    test::RunRecord run = RunSim({WriteScript("closed-stdout.txt", "board 1500 00 00 100 100 100 100\nend 5\n")}, true);
    EXPECT_EQ(std::tuple(run.status, *run.errors), std::tuple(5, ""));
}

// `weigh-sim | head -1` under a parent that left SIGPIPE ignored: the
// writes fail once the reader has gone, and weigh-sim ends with status 1.
TEST(WeighSim, EndsWhenItsReaderGoesAwayWithSigpipeIgnored) {
    int ends[2];  // close-on-exec: the reader's end must not stay open in weigh-sim
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    pid_t child = StartSim(WriteScript("long-pipe.txt", longSession), ends[1], -1, true);
    close(ends[1]);
    ASSERT_GT(child, 0);
    std::string first;
    bool line = PollFor([&] {
        pollfd ready{ends[0], POLLIN, 0};
        char c;
        while (!first.ends_with('\n') && poll(&ready, 1, 0) > 0 && read(ends[0], &c, 1) == 1)
            first += c;
        return first.ends_with('\n');
    });
    close(ends[0]);
    EXPECT_EQ(Ended(child), "exit 1");
    Reading reading;
    EXPECT_TRUE(line && ParseReading(first, &reading)) << first;
}

// Every other scenario of the VM tests, which vboard plays in the VM with
// the same model of the board, played here by weigh-sim, all at once: each
// run shows what its scenario expects, by the VM tests' own checker. The
// board's log is the VM's alone, so what it must hold is checked there.
TEST(WeighSim, PlaysTheVmTestsScenarios) {
    struct Run {
        std::string file, output, errors;
        sim::Script scenario;
        pid_t child = 0;
        bool shown = false;
    };
    std::vector<Run> runs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(WEIGH_VM_DIR)) {
        std::string file = std::filesystem::relative(entry.path(), WEIGH_VM_DIR).generic_string();
        if (entry.path().extension() != ".txt" || entry.path().filename() == "CMakeLists.txt" || file == vmOnly ||
            std::find(std::begin(failedStarts), std::end(failedStarts), file) != std::end(failedStarts))
            continue;
        std::string name = testing::TempDir() + "weigh-sim-vm-" + file.substr(file.find('/') + 1);
        Run run{file, name + ".stdout", name + ".stderr", Scenario(file)};
        if (run.scenario.expectations.empty())
            continue;  // a device's script only, as the remote's
        run.child = StartSim(entry.path().string(), run.output, run.errors);
        ASSERT_GT(run.child, 0);
        runs.push_back(run);
    }
    EXPECT_GE(runs.size(), 5u) << "the VM tests' scenarios were not found in " << WEIGH_VM_DIR;
    auto failures = [](const Run& run) {
        return test::CheckRun(run.scenario, {FileText(run.output), FileText(run.errors), std::nullopt, -1});
    };
    // Looked at every 200 ms: the outputs grow by a thousand lines a second.
    auto allShown = [&] {
        bool all = true;
        for (Run& run : runs)
            all = (run.shown = run.shown || failures(run).empty()) && all;
        return all;
    };
    PollFor(allShown, 60000, 200);
    for (const Run& run : runs) {
        SCOPED_TRACE(run.file);
        kill(run.child, SIGINT);
        EXPECT_NE(Ended(run.child), "running") << "weigh-sim outlived SIGINT";
        EXPECT_TRUE(run.shown) << "not all shown within 60 s";
        EXPECT_EQ(failures(run), noFailures);
    }
}
#endif

// Standard error in a file, and weigh-sim ended from outside, as every run
// ends: each notice of a board that went and came back is in the file as
// soon as it is said, not only when the process ends by itself.
TEST(WeighSim, NoticesReachAFileAtOnce) {
    std::string script =
        WriteScript("off-on.txt", "board 1000 00 00 100 100 100 100\noff 1000\nboard 600000 00 00 200 200 200 200\n");
    std::string errors = testing::TempDir() + "weigh-sim-notices.stderr";
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
    startup.hStdInput = startup.hStdOutput = null;
    startup.hStdError = file;
    PROCESS_INFORMATION process{};
    std::string command = Quoted(WEIGH_SIM_PATH) + " " + Quoted(script);
    BOOL started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(file);
    CloseHandle(null);
    ASSERT_TRUE(started) << GetLastError();
#else
    pid_t child = StartSim(script, "/dev/null", errors);
    ASSERT_GT(child, 0);
#endif
    const std::string both = "weigh: the board has gone; waiting for it to come back\nweigh: the board is back\n";
    bool came = PollFor([&] { return FileText(errors) == both; }, 60000, 50);
#ifdef _WIN32
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
#else
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
#endif
    EXPECT_TRUE(came) << "standard error while weigh-sim ran: \"" << FileText(errors) << "\"";
}

}  // namespace
