// The port set-up and the paced primitives on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "pty_port.h"
#include "serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A fresh cooked pseudo-terminal whose slave the code under test opens.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        master = openVirtualPort(slavePath);
        ASSERT_GE(master, 0);
        ASSERT_EQ(tcgetattr(master, &original), 0);
    }
    void TearDown() override {
        if (comPortHandle >= 0) restorePort();
        if (master >= 0) close(master);
    }
    // Writes bursts from the master side, with a pause before each.
    std::thread sendBursts(std::vector<std::string> bursts, int gapMillis) {
        return std::thread([this, bursts, gapMillis] {
            for (const std::string &burst : bursts) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMillis));
                ASSERT_EQ(write(master, burst.data(), burst.size()), (ssize_t)burst.size());
            }
        });
    }
    int master = -1;
    std::string slavePath;
    termios original{};
};

std::string allByteValues() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
    return bytes;
}

TEST(SpeedTable, SupportedRatesAndTheRest) {
    const std::pair<int, speed_t> supported[] = {{2400, B2400},   {9600, B9600},
                                                 {19200, B19200}, {38400, B38400},
                                                 {57600, B57600}, {115200, B115200}};
    for (auto [rate, code] : supported) {
        EXPECT_EQ(getBaudValue(rate), code);
        EXPECT_EQ(baudOfSpeed(code), rate);
    }
    for (int rate : {4800, 0, 300, 1200, -9600, 230400}) {
        EXPECT_EXIT(getBaudValue(rate), ::testing::ExitedWithCode(1), "") << rate;
    }
}

TEST_F(PortTest, SetUpMakesACookedPortRawAndRestoreGivesItBack) {
    EXPECT_TRUE(original.c_lflag & ICANON) << "test needs a cooked port";
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B19200));
    termios applied;
    ASSERT_EQ(tcgetattr(master, &applied), 0);
    EXPECT_EQ(cfgetospeed(&applied), B19200);
    EXPECT_EQ(cfgetispeed(&applied), B19200);

    std::string bytes = allByteValues();
    std::thread sender = sendBursts({bytes}, 0);
    std::string received(256, '\0');
    EXPECT_EQ(readCOM(received.data(), 256), 256);
    sender.join();
    EXPECT_EQ(received, bytes) << "bytes from the chip were altered";

    EXPECT_EQ(writeCOM(bytes.data(), 256), 256);
    std::string sent(512, '\0');
    ssize_t got = read(master, sent.data(), sent.size());
    EXPECT_EQ(std::string(sent.data(), got > 0 ? got : 0), bytes) << "bytes to the chip were altered";

    restorePort();
    termios restored;
    ASSERT_EQ(tcgetattr(master, &restored), 0);
    EXPECT_EQ(restored.c_lflag, original.c_lflag);
    EXPECT_EQ(restored.c_iflag, original.c_iflag);
    EXPECT_EQ(restored.c_oflag, original.c_oflag);
    EXPECT_EQ(restored.c_cflag, original.c_cflag);
    EXPECT_EQ(cfgetospeed(&restored), cfgetospeed(&original));
}

TEST_F(PortTest, ReadGathersBurstsAndGivesUpOnlyAfterSilence) {
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B57600));
    unsigned char space[128];

    std::thread bursts = sendBursts({std::string(20, 'a'), std::string(25, 'b'), std::string(35, 'c')}, 8);
    EXPECT_EQ(readCOM(space, 80), 80) << "gaps shorter than the allowance end the read";
    bursts.join();

    std::thread thirty = sendBursts({std::string(30, 'd')}, 1);
    EXPECT_EQ(readCOM(space, 80), 30);
    thirty.join();

    Clock::time_point start = Clock::now();
    EXPECT_EQ(readCOM(space, 80), 0);
    EXPECT_GE(secondsSince(start), 0.020) << "fewer than 200 pauses of 100 us";
    EXPECT_LT(secondsSince(start), 0.5);

    std::vector<std::string> trickle(30, "t");
    std::thread slow = sendBursts(trickle, 10);
    start = Clock::now();
    EXPECT_EQ(readCOM(space, 30), 30) << "a steady trickle must never time out";
    EXPECT_GE(secondsSince(start), 0.25);
    slow.join();

    start = Clock::now();
    EXPECT_EQ(writeCOM(space, 0), 0);
    EXPECT_EQ(readCOM(space, 0), 0);
    EXPECT_LT(secondsSince(start), 0.01) << "an empty transfer makes one attempt";
}

TEST_F(PortTest, WaitForOneByteHasNoTimeLimit) {
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B9600));
    std::thread late = sendBursts({"G"}, 300);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(readCOMwait(), 'G');
    EXPECT_GE(secondsSince(start), 0.29);
    late.join();
}

TEST_F(PortTest, PortThatHangsUpEndsEveryWait) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B9600));
    close(master);
    master = -1;
    // A threadsafe death test re-runs the test, on a pseudo-terminal of its own.
    std::string message = "^/dev/pts/[0-9]+: Device hung up";
    unsigned char space[8];
    EXPECT_EXIT(readCOMwait(), ::testing::ExitedWithCode(1), message);
    EXPECT_EXIT(readCOM(space, 8), ::testing::ExitedWithCode(1), message);
    EXPECT_EXIT(writeCOM("K\r\n", 3), ::testing::ExitedWithCode(1), "^/dev/pts/[0-9]+: Input/output error");
}

TEST(SetUp, PortsThatCannotBeUsedAreRefusedWithTheReason) {
    EXPECT_FALSE(setUpPort("/dev/no-such-port", B9600));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(setUpPort("/dev/null", B9600));
    EXPECT_EQ(errno, ENOTTY);
    close(comPortHandle);
    comPortHandle = -1;
}

TEST(HexDump, SixteenBytesALine) {
    std::vector<unsigned char> bytes(17);
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(i * 17);
    bytes[16] = 0x9C;
    ::testing::internal::CaptureStdout();
    printHex(bytes.data(), 16);
    printHex(bytes.data(), 17);
    printHex(bytes.data(), 0);
    printHex(bytes.data() + 16, 1);
    std::string line = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF \n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), line + line + "9C \n" + "9C \n");
}

}  // namespace
