#include "support.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "acquisition/acquisition.h"
#include "console/console.h"
#include "device/reports.h"
#include "platform/platform.h"

namespace test {

namespace {
std::mutex messageMutex;
std::vector<std::string> messages;

void RecordMessage(const char* text) {
    std::lock_guard<std::mutex> lock(messageMutex);
    messages.emplace_back(text);
}
}  // namespace

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool WaitForProgramThreads() {
    return WaitFor([] { return TestLiveThreads() == 0; }, std::chrono::seconds(20));
}

void ExpectNoReadRunsOn() {
#ifdef _WIN32
    int32_t inside = sim::ReadsInside();
    int64_t delivered = sim::ReportsDelivered();
    int64_t failed = sim::ReadsFailed();
    EXPECT_LE(inside, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // more than a probe's pass
    EXPECT_EQ(sim::ReadsInside(), inside);
    EXPECT_EQ(sim::ReportsDelivered(), delivered);
    EXPECT_EQ(sim::ReadsFailed(), failed);
#else
    EXPECT_EQ(sim::ReadsInside(), 0);
#endif
}

void FreshRun(const std::string& script) {
    EXPECT_TRUE(WaitForProgramThreads()) << "a thread of an earlier run is still alive";
    ResetProgram();
    {
        std::lock_guard<std::mutex> lock(messageMutex);
        messages.clear();
    }
    testMessageHook = RecordMessage;
    std::string error;
    ASSERT_TRUE(sim::LoadScript(script, &error)) << error;
}

std::string Pass() {
    testing::internal::CaptureStdout();
    DisplayPass();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(messageMutex);
    return messages;
}

std::vector<std::string> WrittenReports(size_t bytes) {
    std::vector<std::string> written;
    for (const sim::Call& call : sim::Calls()) {
        if (call.kind != sim::Call::Write)
            continue;
        std::string hex;
        for (size_t i = 0; i < bytes; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", call.bytes[i]);
            hex += byte;
        }
        written.push_back(hex);
    }
    return written;
}

std::vector<uint8_t> Report(std::initializer_list<int> bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());  // each int taken modulo 256
}

void Push(const std::vector<uint8_t>& report) {
    sim::PushReport(report.data(), report.size());
}

}  // namespace test
