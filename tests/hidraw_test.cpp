// The hidraw backend of padwire without hardware: its report descriptor
// parser, discovery in a fake sysfs and /dev tree, and its reads and writes
// through a SOCK_SEQPACKET socketpair standing in for a hidraw node, which
// like hidraw keeps each message whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/linux/hidraw_internal.h"
#include "device/padwire.h"
#include "device/reports.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Buffer = std::array<unsigned char, 256>;

// "85 11 95 01" as bytes.
Bytes Hex(const char* text) {
    std::istringstream in(text);
    Bytes bytes;
    for (unsigned byte; in >> std::hex >> byte;)
        bytes.push_back(static_cast<uint8_t>(byte));
    return bytes;
}

// The board's output reports as a descriptor declares them, in a vendor
// collection of 8-bit fields: 0x11 with one byte, 0x12 with two, and an
// input report 0x34 of 21 bytes that must not count.
const Bytes boardDescriptor = Hex("06 00 FF  09 01  A1 01  15 00 26 FF 00  75 08  85 11 95 01 09 01 91 02  "
                                  "85 12 95 02 09 01 91 02  85 34 95 15 09 01 81 02  C0");

// The given bytes, then 0xEE, where a byte the library wrote stands out.
Buffer Filled(std::initializer_list<unsigned char> first = {}) {
    Buffer buffer;
    buffer.fill(0xEE);
    std::copy(first.begin(), first.end(), buffer.begin());
    return buffer;
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
        {"sizes not whole bytes: ID 1 of 3 + 4 bits and, further on, 1 more: one byte; ID 2 of 9 bits: two",
         Hex("85 01 75 01 95 03 91 02  75 04 95 01 91 03  85 02 75 03 95 03 91 02  85 01 75 01 95 01 91 02"),
         0,
         {{0x01, 2}, {0x02, 3}}},
        {"no report IDs: index 0", Hex("75 08 95 04 91 02"), 0, {{0x00, 5}}},
        {"push and pop keep globals", Hex("85 05 75 08 95 02 A4 75 10 95 03 91 02 B4 91 02"), 0, {{0x05, 1 + 6 + 2}}},
        {"a long item is stepped over", Hex("85 07 FE 03 10 91 91 91 75 08 95 01 91 02"), 0, {{0x07, 2}}},
        {"four-byte item data", Hex("85 08 77 08 00 00 00 97 03 00 00 00 91 02"), 0, {{0x08, 4}}},
        {"feature and input items do not count", Hex("85 09 75 08 95 04 81 02 B1 02"), 0, {{0x09, 0}}},
        {"longer than the program's buffer: 256 bytes and the ID; 255 and the ID, which fit; 2^32 - 1 fields",
         Hex("85 0A 75 08 96 00 01 91 02  85 0B 75 08 95 FF 91 02  85 0C 77 FF FF FF FF 97 FF FF FF FF 91 02"),
         0,
         {{0x0A, outputReportTooLong}, {0x0B, 256}, {0x0C, outputReportTooLong}}},
        {"truncated in a short item: what came before counts", Hex("85 03 75 08 95 01 91 02 96 01"), -1, {{0x03, 2}}},
        {"truncated inside a long item", Hex("85 03 75 08 95 01 91 02 FE 10 00 01"), -1, {{0x03, 2}}},
        {"truncated inside a long item's header", Hex("FE 01"), -1, {}},
        {"report ID 0 is no report ID", Hex("85 00 75 08 95 01 91 02"), -1, {{0x00, 0}}},
        {"pop with nothing pushed", Hex("B4 75 08 95 01 91 02"), -1, {{0x00, 0}}},
        {"empty", {}, 0, {{0x00, 0}, {0x11, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A copy of exactly its size: a read past its end fails under AddressSanitizer.
        Bytes exact(c.descriptor.begin(), c.descriptor.end());
        OutputReportLengths lengths, expected = {};  // every report not listed declares none
        EXPECT_EQ(ParseOutputReportLengths(exact.data(), exact.size(), &lengths), c.result);
        for (const auto& [id, bytes] : c.lengths)
            expected.bytes[id] = static_cast<uint16_t>(bytes);
        for (int id = 0; id < 256; ++id)
            EXPECT_EQ(lengths.bytes[id], expected.bytes[id]) << "report " << id;
    }
}

// A fake /sys and /dev in a temporary folder; restores the real roots.
struct FakeTree : testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/weigh-hidraw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        Empty();
        TestSetHidrawRoots((root / "sys").c_str(), (root / "dev").c_str());
    }
    void TearDown() override {
        std::for_each(opened.begin(), opened.end(), CloseHidHandle);
        TestSetHidrawRoots(nullptr, nullptr);
        fs::remove_all(root);
    }
    // Closes what was opened and leaves both trees without a device.
    void Empty() {
        std::for_each(opened.begin(), opened.end(), CloseHidHandle);
        opened.clear();
        fs::remove_all(root / "sys");
        fs::remove_all(root / "dev");
        fs::create_directories(root / "sys/class/hidraw");
        fs::create_directories(root / "dev");
    }

    // hidrawN with the given HID_ID and HID_NAME (none if nullptr), and its
    // node unless told otherwise.
    void AddNode(int number, const std::string& hidId, bool withNode = true, const char* name = "Test board") {
        fs::path device = root / "sys/class/hidraw" / ("hidraw" + std::to_string(number)) / "device";
        fs::create_directories(device);
        std::ofstream(device / "uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\n"
                                         << (name ? "HID_NAME=" + std::string(name) + "\n" : "")
                                         << "MODALIAS=hid:b0003\n";
        if (withNode)
            std::ofstream(Node(number)) << "";
    }
    fs::path Node(int number) { return root / "dev" / ("hidraw" + std::to_string(number)); }

    // Every result is kept to be closed: closing -1 does nothing.
    int32_t Open() { return opened.emplace_back(OpenHidHandle(boardVendorId, boardProductId)); }

    // Whether handle is an open descriptor of that very file (never for -1).
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
    EXPECT_TRUE(IsNode(handle, 1));
    EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0) << "a child process must not inherit the board";
    EXPECT_EQ(fcntl(handle, F_GETFL) & O_ACCMODE, O_RDWR);
}

TEST_F(FakeTree, FirstOfTwoMatchesByNumber) {
    AddNode(10, board);  // "hidraw10" sorts before "hidraw2" as text
    AddNode(2, "0003:0000057E:00000306");
    EXPECT_TRUE(IsNode(Open(), 2));
}

TEST_F(FakeTree, NodeThatCannotBeOpenedIsPassedOver) {
    AddNode(1, board, false);  // in sysfs, but no node in /dev
    AddNode(3, board, false);
    fs::create_directories(Node(3));  // a directory cannot be opened read-write
    AddNode(4, board);
    EXPECT_TRUE(IsNode(Open(), 4));
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
    };
    const Case cases[] = {
        {"a remote listed before the board", {remoteName, boardName}, 1},
        {"a device named as neither before the board", {"Test board", boardName}, 1},
        {"unnamed devices: the first", {nullptr, "", nullptr}, 0},
        {"a remote and an unnamed device", {remoteName, nullptr}, 1},
        {"a name that only begins like the board's", {"Nintendo RVL-WBC-01 ", remoteName}, 0},
        {"two remotes alone", {remoteName, remoteName}, -1},
    };
    for (const Case& c : cases) {
        for (size_t number = 0; number < c.names.size(); ++number)
            AddNode(static_cast<int>(number), board, true, c.names[number]);
        testing::internal::CaptureStderr();
        for (int32_t handle : {Open(), Open()})  // a braced list is evaluated in order
            EXPECT_TRUE(c.expected < 0 ? handle == -1 : IsNode(handle, c.expected)) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.expected < 0 ? "weigh: found a remote, not the board; switch the board on\n" : "")
            << c.what;
        Empty();
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
    fs::permissions(root, fs::perms(0755));
    auto openThrice = [asRoot] {
        if (asRoot && (setgid(65534) != 0 || setuid(65534) != 0 || geteuid() == 0))
            _exit(3);
        for (int i = 0; i < 3; ++i)
            if (OpenHidHandle(boardVendorId, boardProductId) != -1)
                _exit(2);
        _exit(0);
    };
    std::string said = "weigh: cannot open " + Node(0).string() +
                       ": permission denied (see \"When weigh says the board is missing\" in README.md)\n";
    EXPECT_EXIT(openThrice(), testing::ExitedWithCode(0), testing::Matcher<const std::string&>(said))
        << "2: opened after all, 3: could not drop root";
}

// Both ends of a SOCK_SEQPACKET pair: the library's handle and the board.
struct Socketpair : testing::Test {
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        handle = TestAdoptHidDescriptor(ends[0], boardDescriptor.data(), boardDescriptor.size());
        ASSERT_EQ(handle, ends[0]);
        boardEnd = ends[1];
    }
    void TearDown() override {
        CloseHidHandle(handle);
        close(boardEnd);
    }

    // The board end's next message (a generous wait), empty when none comes.
    Bytes BoardReceives(int waitMs = 10000) {
        pollfd ready = {boardEnd, POLLIN, 0};
        uint8_t bytes[1024];
        ssize_t n = poll(&ready, 1, waitMs) == 1 ? recv(boardEnd, bytes, sizeof bytes, 0) : 0;
        return n > 0 ? Bytes(bytes, bytes + n) : Bytes{};
    }
    void BoardSends(const Bytes& report) {
        ASSERT_EQ(send(boardEnd, report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
    }

    int32_t handle = -1;
    int boardEnd = -1;
};

TEST_F(Socketpair, WritesAsManyBytesAsTheDescriptorDeclares) {
    // The program's buffer: its own bytes first, leftovers behind.
    Buffer report = Filled();
    for (const Bytes& sent : {Bytes{0x12, 0x00, 0x31}, Bytes{0x11, 0x10}}) {
        std::copy(sent.begin(), sent.end(), report.begin());
        EXPECT_EQ(TestOutputReportLength(handle, sent[0]), sent.size());
        EXPECT_EQ(WriteReport(handle, report.data(), nullptr), static_cast<int32_t>(sent.size()));
        EXPECT_EQ(BoardReceives(), sent);
    }
}

TEST_F(Socketpair, UndeclaredOutputReportSendsNothing) {
    for (uint8_t id : {0x00, 0x13, 0x34, 0xFF})
        EXPECT_EQ(WriteReport(handle, Filled({id, 0x01, 0x02}).data(), nullptr), -1) << int(id);
    EXPECT_EQ(BoardReceives(0), Bytes{});
}

TEST_F(Socketpair, OneReportPerRead) {
    Bytes buttons = Hex("30 00 08"), loads = Hex("34 00 00 12 00 00 00 00 00 00 34 00 00 00 00 00 00 00 00 00 00 00");
    for (const Bytes& report : {buttons, loads, buttons})
        BoardSends(report);
    Buffer report = Filled();
    ASSERT_EQ(ReadReport(handle, report.data(), nullptr), 3);
    EXPECT_EQ(Bytes(report.data(), report.data() + 3), buttons);
    EXPECT_EQ(report[3], 0xEE) << "nothing behind the report is touched";
    ASSERT_EQ(ReadReport(handle, report.data(), nullptr), 22);
    EXPECT_EQ(Bytes(report.data(), report.data() + 22), loads);
    ASSERT_EQ(ReadReport(handle, report.data(), nullptr), 3);
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
    Buffer in = {};
    std::thread reader([&] { readResult = ReadReport(handle, in.data(), nullptr); });
    EXPECT_EQ(WriteReport(handle, Filled({0x12, 0x00, 0x34}).data(), nullptr), 3);
    EXPECT_EQ(BoardReceives(), (Bytes{0x12, 0x00, 0x34}));
    EXPECT_EQ(readResult.load(), 0) << "the read must still be waiting for a report";
    BoardSends({0x31, 0x00, 0x00, 0x80, 0x80, 0x9A});
    reader.join();
    EXPECT_EQ(readResult.load(), 6);
    EXPECT_EQ(in[3], 0x80);
}

TEST_F(Socketpair, ReadFailsWhenTheBoardHasGone) {
    close(std::exchange(boardEnd, -1));
    Buffer report = Filled();
    EXPECT_EQ(ReadReport(handle, report.data(), nullptr), -1);
    EXPECT_EQ(report[0], 0xEE);
    EXPECT_EQ(WriteReport(handle, Filled({0x11, 0x10}).data(), nullptr), -1);
}

// -1, a descriptor the library never opened, and a closed handle: every
// call fails at once and touches no buffer.
TEST_F(Socketpair, CallsOnHandlesNotOursFailWithoutTouchingTheBuffer) {
    int32_t closed = std::exchange(handle, -1);
    ASSERT_EQ(CloseHidHandle(closed), 0);
    for (int32_t other : {-1, boardEnd, closed, 0x5751}) {
        Buffer report = Filled({0x11});
        EXPECT_EQ(WriteReport(other, report.data(), nullptr), -1) << other;
        EXPECT_EQ(ReadReport(other, report.data(), nullptr), -1) << other;
        EXPECT_EQ(report, Filled({0x11})) << other;
        EXPECT_EQ(CloseHidHandle(other), -1) << other;
        EXPECT_EQ(TestOutputReportLength(other, 0x11), 0) << other;
    }
    EXPECT_EQ(BoardReceives(0), Bytes{}) << "nothing was sent for a write on a handle not ours";
    EXPECT_NE(fcntl(boardEnd, F_GETFD), -1) << "a descriptor the library did not open stays open";
}

TEST(HandleTable, FullTableRefusesAndFreesOnClose) {
    std::vector<int32_t> handles;
    int fd;
    while ((fd = open("/dev/null", O_RDWR | O_CLOEXEC)) != -1 && TestAdoptHidDescriptor(fd, nullptr, 0) == fd)
        handles.push_back(fd);
    close(fd);  // the one the full table refused
    ASSERT_FALSE(handles.empty());
    EXPECT_LE(handles.size(), 64u);
    EXPECT_EQ(TestAdoptHidDescriptor(-1, nullptr, 0), -1);
    ASSERT_EQ(CloseHidHandle(handles.back()), 0);
    fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    handles.back() = TestAdoptHidDescriptor(fd, boardDescriptor.data(), boardDescriptor.size());
    EXPECT_EQ(handles.back(), fd);
    for (int32_t h : handles)
        EXPECT_EQ(CloseHidHandle(h), 0);
}

}  // namespace
