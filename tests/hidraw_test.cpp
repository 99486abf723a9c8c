// The hidraw backend of padwire without hardware: its report descriptor
// parser, discovery in a fake sysfs and /dev tree, and its reads and writes
// through a SOCK_SEQPACKET socketpair standing in for a hidraw node, which
// like hidraw keeps each message whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/linux/hidraw_internal.h"
#include "device/padwire.h"
#include "device/reports.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The board's output reports as a descriptor declares them: 0x11 with one
// byte, 0x12 with two, and an input report 0x34 that must not count.
const Bytes boardDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor)
    0x09, 0x01,        // Usage
    0xA1, 0x01,        // Collection (application)
    0x15, 0x00, 0x26, 0xFF, 0x00,  // Logical 0..255
    0x75, 0x08,        // Report Size 8
    0x85, 0x11, 0x95, 0x01, 0x09, 0x01, 0x91, 0x02,  // ID 0x11, 1 byte out
    0x85, 0x12, 0x95, 0x02, 0x09, 0x01, 0x91, 0x02,  // ID 0x12, 2 bytes out
    0x85, 0x34, 0x95, 0x15, 0x09, 0x01, 0x81, 0x02,  // ID 0x34, 21 bytes in
    0xC0,
};

struct Parsed {
    int32_t result;
    OutputReportLengths lengths;
};

// The descriptor goes through a buffer of exactly its size, so that a read
// past its end is caught under AddressSanitizer.
Parsed Parse(const Bytes& descriptor) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[descriptor.size()]);
    std::copy(descriptor.begin(), descriptor.end(), exact.get());
    Parsed parsed;
    parsed.result = ParseOutputReportLengths(exact.get(), descriptor.size(), &parsed.lengths);
    return parsed;
}

TEST(ReportDescriptor, OutputLengthsPerReportId) {
    struct Case {
        const char* what;
        Bytes descriptor;
        int32_t result;
        std::vector<std::pair<int, int>> lengths;  // report ID, bytes on the wire
    };
    const std::vector<Case> cases = {
        {"the board's", boardDescriptor, 0, {{0x11, 2}, {0x12, 3}, {0x34, 0}, {0x00, 0}}},
        {"sizes that are not whole bytes",
         {0x85, 0x01, 0x75, 0x01, 0x95, 0x03, 0x91, 0x02,   // ID 1: 3 bits
          0x75, 0x04, 0x95, 0x01, 0x91, 0x03,               //       + 4 bits: one byte
          0x85, 0x02, 0x75, 0x03, 0x95, 0x03, 0x91, 0x02,   // ID 2: 9 bits: two bytes
          0x85, 0x01, 0x75, 0x01, 0x95, 0x01, 0x91, 0x02},  // ID 1 again: 8 bits
         0, {{0x01, 2}, {0x02, 3}}},
        {"no report IDs: index 0",
         {0x75, 0x08, 0x95, 0x04, 0x91, 0x02}, 0, {{0x00, 5}}},
        {"push and pop keep the globals",
         {0x85, 0x05, 0x75, 0x08, 0x95, 0x02, 0xA4, 0x75, 0x10, 0x95, 0x03, 0x91, 0x02, 0xB4,
          0x91, 0x02},
         0, {{0x05, 1 + 6 + 2}}},
        {"a long item is stepped over",
         {0x85, 0x07, 0xFE, 0x03, 0x10, 0x91, 0x91, 0x91, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02},
         0, {{0x07, 2}}},
        {"four-byte item data",
         {0x85, 0x08, 0x77, 0x08, 0x00, 0x00, 0x00, 0x97, 0x03, 0x00, 0x00, 0x00, 0x91, 0x02},
         0, {{0x08, 4}}},
        {"feature and input items do not count",
         {0x85, 0x09, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0xB1, 0x02}, 0, {{0x09, 0}}},
        {"longer than the program's buffer",
         {0x85, 0x0A, 0x75, 0x08, 0x96, 0x00, 0x01, 0x91, 0x02,   // 256 bytes + ID
          0x85, 0x0B, 0x75, 0x08, 0x95, 0xFF, 0x91, 0x02,         // 255 bytes + ID fits
          0x85, 0x0C, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02},
         0, {{0x0A, outputReportTooLong}, {0x0B, 256}, {0x0C, outputReportTooLong}}},
        {"truncated inside a short item: what came before counts",
         {0x85, 0x03, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02, 0x96, 0x01}, -1, {{0x03, 2}}},
        {"truncated inside a long item",
         {0x85, 0x03, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02, 0xFE, 0x10, 0x00, 0x01}, -1, {{0x03, 2}}},
        {"truncated inside a long item's header", {0xFE, 0x01}, -1, {}},
        {"report ID 0 is no report ID", {0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}, -1, {{0x00, 0}}},
        {"pop with nothing pushed", {0xB4, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02}, -1, {{0x00, 0}}},
        {"empty", {}, 0, {{0x00, 0}, {0x11, 0}}},
    };
    for (const Case& c : cases) {
        Parsed parsed = Parse(c.descriptor);
        EXPECT_EQ(parsed.result, c.result) << c.what;
        int declared = 0;
        for (int id = 0; id < 256; ++id)
            declared += parsed.lengths.bytes[id] != 0;
        int expectedDeclared = 0;
        for (const auto& [id, bytes] : c.lengths) {
            EXPECT_EQ(parsed.lengths.bytes[id], bytes) << c.what << ", report " << id;
            expectedDeclared += bytes != 0;
        }
        EXPECT_EQ(declared, expectedDeclared) << c.what << ": reports declared";
    }
}

// A fake /sys and /dev in a temporary folder; restores the real roots.
class FakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/weigh-hidraw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "sys/class/hidraw");
        fs::create_directories(root / "dev");
        TestSetHidrawRoots((root / "sys").c_str(), (root / "dev").c_str());
    }
    void TearDown() override {
        for (int fd : opened)
            CloseHidHandle(fd);
        TestSetHidrawRoots(nullptr, nullptr);
        fs::remove_all(root);
    }

    // hidrawN with the given HID_ID and HID_NAME (none if nullptr), and its
    // node unless told otherwise.
    void AddNode(int number, const std::string& hidId, bool withNode = true, const char* name = "Test board") {
        fs::path device = root / "sys/class/hidraw" / ("hidraw" + std::to_string(number)) / "device";
        fs::create_directories(device);
        std::ofstream uevent(device / "uevent");
        uevent << "DRIVER=hid-generic\nHID_ID=" << hidId << "\n";
        if (name)
            uevent << "HID_NAME=" << name << "\n";
        uevent << "MODALIAS=hid:b0003\n";
        if (withNode)
            std::ofstream(Node(number)) << "";
    }
    fs::path Node(int number) { return root / "dev" / ("hidraw" + std::to_string(number)); }

    int32_t Open() {
        int32_t handle = OpenHidHandle(boardVendorId, boardProductId);
        if (handle >= 0)
            opened.push_back(handle);
        return handle;
    }

    // Whether handle is an open descriptor of that very file.
    bool IsNode(int32_t handle, int number) {
        struct stat byHandle, byPath;
        return fstat(handle, &byHandle) == 0 && stat(Node(number).c_str(), &byPath) == 0 &&
               byHandle.st_ino == byPath.st_ino && byHandle.st_dev == byPath.st_dev;
    }

    fs::path root;
    std::vector<int32_t> opened;
};

constexpr const char* board = "0005:0000057E:00000306";

TEST_F(FakeTree, NoMatchingNode) {
    AddNode(0, "0003:0000046D:0000C52B");
    AddNode(1, "0005:0000057E:00000330");  // the same maker, another product
    AddNode(2, "0003:00000306:0000057E");  // the IDs swapped
    EXPECT_EQ(Open(), -1);
}

TEST_F(FakeTree, NoHidrawClassAtAll) {
    fs::remove_all(root / "sys/class/hidraw");
    EXPECT_EQ(Open(), -1);
}

TEST_F(FakeTree, OneMatchAmongOthers) {
    AddNode(0, "0003:0000046D:0000C52B");
    AddNode(1, "0005:0000057e:00000306");  // lower-case hex, as some kernels may write it
    AddNode(2, "0003:000004F2:00000112");
    fs::create_directories(root / "sys/class/hidraw/unrelated");
    int32_t handle = Open();
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(IsNode(handle, 1));
    EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0) << "a child process must not inherit the board";
    EXPECT_EQ(fcntl(handle, F_GETFL) & O_ACCMODE, O_RDWR);
}

TEST_F(FakeTree, FirstOfTwoMatchesByNumber) {
    AddNode(10, board);  // "hidraw10" sorts before "hidraw2" as text
    AddNode(2, "0003:0000057E:00000306");
    int32_t handle = Open();
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(IsNode(handle, 2));
}

TEST_F(FakeTree, NodeThatCannotBeOpenedIsPassedOver) {
    AddNode(1, board, false);  // in sysfs, but no node in /dev
    AddNode(3, board, false);
    fs::create_directories(Node(3));  // a directory cannot be opened read-write
    AddNode(4, board);
    int32_t handle = Open();
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(IsNode(handle, 4));
}

TEST_F(FakeTree, OnlyNodeCannotBeOpened) {
    AddNode(1, board, false);
    EXPECT_EQ(Open(), -1);
}

// The family's remote has the board's IDs. The board is taken wherever it
// is listed, a device named as neither (or not named) only when no board
// is there, first come, and the remote never: alone, it is reported once
// however often it is passed over, as while weigh looks for a board gone.
TEST_F(FakeTree, BoardIsChosenByNameAndTheRemoteNever) {
    struct Case {
        const char* what;
        std::vector<const char*> names;  // hidraw0, hidraw1, ...; nullptr: no HID_NAME
        int expected;                    // the node opened, -1 for none
        bool remoteReported;
    };
    const Case cases[] = {
        {"a remote listed before the board", {remoteName, boardName}, 1, false},
        {"a device named as neither before the board", {"Test board", boardName}, 1, false},
        {"unnamed devices: the first", {nullptr, "", nullptr}, 0, false},
        {"a remote and an unnamed device", {remoteName, nullptr}, 1, false},
        {"a name that only begins like the board's", {"Nintendo RVL-WBC-01 ", remoteName}, 0, false},
        {"two remotes alone", {remoteName, remoteName}, -1, true},
    };
    for (const Case& c : cases) {
        for (int number = 0; number < static_cast<int>(c.names.size()); ++number)
            AddNode(number, board, true, c.names[static_cast<size_t>(number)]);
        testing::internal::CaptureStderr();
        int32_t first = Open();
        int32_t second = Open();
        std::string said = testing::internal::GetCapturedStderr();
        if (c.expected < 0) {
            EXPECT_EQ(first, -1) << c.what;
            EXPECT_EQ(second, -1) << c.what;
        } else {
            EXPECT_TRUE(first >= 0 && IsNode(first, c.expected)) << c.what;
            EXPECT_TRUE(second >= 0 && IsNode(second, c.expected)) << c.what;
        }
        EXPECT_EQ(said, c.remoteReported ? "weigh: found a remote, not the board; switch the board on\n" : "")
            << c.what;
        for (int32_t fd : opened)
            CloseHidHandle(fd);
        opened.clear();
        fs::remove_all(root / "sys/class/hidraw");
        fs::remove_all(root / "dev");
        fs::create_directories(root / "sys/class/hidraw");
        fs::create_directories(root / "dev");
    }
}

// A node without permission is reported in one line that names it; the
// open then fails as for a missing board. Tried again and again, as while
// weigh waits for a board to come back, it is reported once. Root may open
// anything, so the child that tries drops to an unprivileged user first.
TEST_F(FakeTree, NodeWithoutPermissionIsReported) {
    AddNode(0, board);
    bool asRoot = geteuid() == 0;
    ASSERT_EQ(chmod(Node(0).c_str(), asRoot ? 0600 : 0), 0);
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        if (asRoot && (setgid(65534) != 0 || setuid(65534) != 0 || geteuid() == 0))
            _exit(3);
        for (int i = 0; i < 3; ++i)
            if (OpenHidHandle(boardVendorId, boardProductId) != -1)
                _exit(2);
        _exit(0);
    }
    close(errors[1]);
    std::string said;
    char chunk[256];
    for (ssize_t n; (n = read(errors[0], chunk, sizeof chunk)) > 0;)
        said.append(chunk, static_cast<size_t>(n));
    close(errors[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "2: opened after all, 3: could not drop root";
    EXPECT_EQ(said, "weigh: cannot open " + Node(0).string() +
                        ": permission denied (see \"When weigh says the board is missing\" in README.md)\n");
}

// Both ends of a SOCK_SEQPACKET pair: the library's handle and the board.
class Socketpair : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        handle = TestAdoptHidDescriptor(ends[0], boardDescriptor.data(), boardDescriptor.size());
        ASSERT_EQ(handle, ends[0]);
        boardEnd = ends[1];
    }
    void TearDown() override {
        CloseHidHandle(handle);
        if (boardEnd >= 0)
            close(boardEnd);
    }

    // The next message the board end receives, waiting with a generous bound;
    // empty when none comes.
    Bytes BoardReceives(int waitMs = 10000) {
        pollfd ready = {boardEnd, POLLIN, 0};
        if (poll(&ready, 1, waitMs) != 1)
            return {};
        uint8_t bytes[1024];
        ssize_t n = recv(boardEnd, bytes, sizeof bytes, 0);
        return n > 0 ? Bytes(bytes, bytes + n) : Bytes{};
    }
    void BoardSends(const Bytes& report) {
        ASSERT_EQ(send(boardEnd, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
    }

    int32_t handle = -1;
    int boardEnd = -1;
};

TEST_F(Socketpair, WritesAsManyBytesAsTheDescriptorDeclares) {
    EXPECT_EQ(TestOutputReportLength(handle, 0x11), 2);
    EXPECT_EQ(TestOutputReportLength(handle, 0x12), 3);
    // The program's buffer: its own bytes first, leftovers and zeros behind.
    unsigned char report[256];
    std::memset(report, 0xEE, sizeof report);
    report[0] = 0x12, report[1] = 0x00, report[2] = 0x31;
    EXPECT_EQ(WriteReport(handle, report, nullptr), 3);
    EXPECT_EQ(BoardReceives(), (Bytes{0x12, 0x00, 0x31}));
    report[0] = 0x11, report[1] = 0x10;
    EXPECT_EQ(WriteReport(handle, report, nullptr), 2);
    EXPECT_EQ(BoardReceives(), (Bytes{0x11, 0x10}));
}

TEST_F(Socketpair, UndeclaredOutputReportSendsNothing) {
    for (uint8_t id : {0x00, 0x13, 0x34, 0xFF}) {
        unsigned char report[256] = {id, 0x01, 0x02};
        EXPECT_EQ(WriteReport(handle, report, nullptr), -1) << int(id);
    }
    EXPECT_EQ(BoardReceives(0), Bytes{});
}

TEST_F(Socketpair, OneReportPerRead) {
    Bytes buttons = {0x30, 0x00, 0x08};
    Bytes loads(22, 0);
    loads[0] = 0x34, loads[3] = 0x12, loads[10] = 0x34;
    BoardSends(buttons);
    BoardSends(loads);
    BoardSends(buttons);
    unsigned char report[256];
    std::memset(report, 0xEE, sizeof report);
    ASSERT_EQ(ReadReport(handle, report, nullptr), 3);
    EXPECT_EQ(Bytes(report, report + 3), buttons);
    EXPECT_EQ(report[3], 0xEE) << "nothing behind the report is touched";
    ASSERT_EQ(ReadReport(handle, report, nullptr), 22);
    EXPECT_EQ(Bytes(report, report + 22), loads);
    ASSERT_EQ(ReadReport(handle, report, nullptr), 3);
    EXPECT_EQ(report[3], 0x12) << "the longer report's bytes stay behind a shorter one";
}

TEST_F(Socketpair, ReportLongerThanTheBufferIsCut) {
    std::vector<unsigned char> area(512, 0xEE);
    BoardSends(Bytes(300, 0x3F));
    EXPECT_EQ(ReadReport(handle, area.data(), nullptr), 256);
    EXPECT_EQ(area[255], 0x3F);
    EXPECT_EQ(area[256], 0xEE);
}

// The program writes its set-up reports from the main thread while the
// probe thread may be blocked in a read on the same handle.
TEST_F(Socketpair, WriteWhileAnotherThreadIsBlockedInRead) {
    std::atomic<int32_t> readResult{0};
    unsigned char inBuffer[256] = {};
    std::thread reader([&] { readResult = ReadReport(handle, inBuffer, nullptr); });
    unsigned char outBuffer[256] = {0x12, 0x00, 0x34};
    EXPECT_EQ(WriteReport(handle, outBuffer, nullptr), 3);
    EXPECT_EQ(BoardReceives(), (Bytes{0x12, 0x00, 0x34}));
    EXPECT_EQ(readResult.load(), 0) << "the read must still be waiting for a report";
    BoardSends({0x31, 0x00, 0x00, 0x80, 0x80, 0x9A});
    reader.join();
    EXPECT_EQ(readResult.load(), 6);
    EXPECT_EQ(inBuffer[3], 0x80);
}

TEST_F(Socketpair, ReadFailsWhenTheBoardHasGone) {
    close(boardEnd);
    boardEnd = -1;
    unsigned char report[256];
    std::memset(report, 0xEE, sizeof report);
    EXPECT_EQ(ReadReport(handle, report, nullptr), -1);
    EXPECT_EQ(report[0], 0xEE);
    unsigned char out[256] = {0x11, 0x10};
    EXPECT_EQ(WriteReport(handle, out, nullptr), -1);
}

// -1, a descriptor the library never opened, and a closed handle: every
// call fails at once and touches no buffer.
TEST_F(Socketpair, CallsOnHandlesNotOursFailWithoutTouchingTheBuffer) {
    int32_t closed = handle;
    ASSERT_EQ(CloseHidHandle(handle), 0);
    handle = -1;
    for (int32_t other : {-1, boardEnd, closed, 0x5751}) {
        unsigned char report[256];
        std::memset(report, 0xEE, sizeof report);
        report[0] = 0x11;
        EXPECT_EQ(WriteReport(other, report, nullptr), -1) << other;
        EXPECT_EQ(ReadReport(other, report, nullptr), -1) << other;
        EXPECT_EQ(report[0], 0x11) << other;
        EXPECT_EQ(report[1], 0xEE) << other;
        EXPECT_EQ(CloseHidHandle(other), -1) << other;
        EXPECT_EQ(TestOutputReportLength(other, 0x11), 0) << other;
    }
    EXPECT_EQ(BoardReceives(0), Bytes{}) << "nothing was sent for a write on a handle not ours";
    EXPECT_NE(fcntl(boardEnd, F_GETFD), -1) << "a descriptor the library did not open stays open";
}

TEST(HandleTable, FullTableRefusesAndFreesOnClose) {
    std::vector<int32_t> handles;
    int32_t handle;
    while ((handle = TestAdoptHidDescriptor(open("/dev/null", O_RDWR | O_CLOEXEC), nullptr, 0)) != -1)
        handles.push_back(handle);
    ASSERT_FALSE(handles.empty());
    EXPECT_LE(handles.size(), 64u);
    EXPECT_EQ(TestAdoptHidDescriptor(-1, nullptr, 0), -1);
    ASSERT_EQ(CloseHidHandle(handles.back()), 0);
    handles.pop_back();
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    handle = TestAdoptHidDescriptor(fd, boardDescriptor.data(), boardDescriptor.size());
    EXPECT_EQ(handle, fd);
    handles.push_back(handle);
    for (int32_t h : handles)
        EXPECT_EQ(CloseHidHandle(h), 0);
}

}  // namespace
