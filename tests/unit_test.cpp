// The port set-up, the paced primitives, the transfer's failure paths and
// the progress line, in this process, on real pseudo-terminals and sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <regex>
#include <thread>

#include "console.h"
#include "harness.h"
#include "pty_port.h"
#include "record_stream.h"
#include "run_state.h"
#include "serial_link.h"
#include "serial_port_posix.h"
#include "virtual_chip.h"

namespace {

// Reads what the far end writes in bursts, with a pause before each. Says
// in kept why the bursts may have come later than meant (the writer, or
// the kernel's workers that carry its bytes, kept from the CPU, or the
// machine stalled), and then drains what came too late.
int readBursts(int farEnd, const std::vector<std::string> &bursts, int gapMillis, int wanted,
               std::string &kept) {
    std::map<std::string, double> workers = kernelWorkerWaits();
    StallWatch stalls;
    double waited = 0;
    std::thread writer([&] {
        for (const std::string &burst : bursts) {
            usleep(gapMillis * 1000);
            EXPECT_EQ(write(farEnd, burst.data(), burst.size()), (ssize_t)burst.size());
        }
        waited = runQueueNanos() / 1e3;
    });
    unsigned char space[128];
    int got = readCOM(space, wanted);
    writer.join();
    waited += kernelWorkerWaitMicrosSince(workers) + stalls.lostMicros();
    if (waited >= lateForCpuMicros)
        kept = "the writer was kept " + std::to_string(std::lround(waited / 1000)) + " ms from the CPU";
    while (!kept.empty() && readCOM(space, sizeof space) > 0) continue;
    return got;
}

TEST(SerialLink, RawEightNOneAtTheSpeedWhateverThePortWasAndPutBack) {
    std::string slavePath;
    int master = openVirtualPort(slavePath);
    termios original;
    ASSERT_EQ(tcgetattr(master, &original), 0);
    ASSERT_TRUE(original.c_lflag & ICANON) << "a fresh port starts cooked";
    // Worse than a fresh port: output mangled, modem lines and hardware flow
    // heeded, two stop bits, reads that return empty. (A pseudo-terminal
    // keeps eight bits, no parity and the receiver on whatever it is told:
    // those show only on a real driver, in the real-driver tier.)
    original.c_oflag |= OPOST | OLCUC | TAB3;
    original.c_cflag &= ~CLOCAL;
    original.c_cflag |= CRTSCTS | CSTOPB;
    original.c_cc[VMIN] = 0;
    original.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &original), 0);
    tcgetattr(master, &original);
    PortFailure failure;
    ASSERT_TRUE(setUpPort(slavePath.c_str(), 19200, failure));
    termios applied;
    tcgetattr(master, &applied);
    EXPECT_EQ(cfgetospeed(&applied), B19200);
    EXPECT_EQ(applied.c_cflag & (CSTOPB | CRTSCTS | CLOCAL), tcflag_t(CLOCAL));
    EXPECT_EQ(applied.c_cc[VMIN], 1) << "a read that returns nothing must mean a hang-up";
    EXPECT_EQ(applied.c_cc[VTIME], 0);

    EXPECT_EQ(applied.c_oflag & OPOST, 0u) << "output processed";
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "input cooked or echoed";
    EXPECT_EQ(applied.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), 0u)
        << "input translated";
    restorePort();
    termios restored;
    EXPECT_TRUE(tcgetattr(master, &restored) == 0 && sameAttributes(restored, original));
    close(master);
}

TEST(SerialLink, ReadsGatherBurstsTrickleAndGiveUpOnlyAfterSilence) {
    std::string slavePath;
    int master = openVirtualPort(slavePath);
    PortFailure failure;
    ASSERT_TRUE(setUpPort(slavePath.c_str(), 57600, failure)) << failure.reason;
    struct {
        std::vector<std::string> bursts;
        int gapMillis, wanted, got;
    } reads[] = {
        {{std::string(20, 'a'), std::string(25, 'b'), std::string(35, 'c')}, 8, 80, 80},
        {{std::string(30, 'd')}, 1, 80, 30},
        // Ten gaps of a fifth of the allowance: twice the allowance in all.
        {std::vector<std::string>(10, "t"), 4, 10, 10},
    };
    for (const auto &read : reads) {
        for (int attempt = 1;; ++attempt) {
            std::string kept;
            int got = readBursts(master, read.bursts, read.gapMillis, read.wanted, kept);
            if (got != read.got && runAgain(attempt, kept)) continue;
            EXPECT_EQ(got, read.got) << read.bursts[0];
            break;
        }
    }
    // Silence ends a read; how soon, the traced run in run_test.cpp counts.
    unsigned char space[80];
    EXPECT_EQ(readCOM(space, 80), 0);

    close(master);
    ::testing::FLAGS_gtest_death_test_style = "fast";
    // A child that hangs is ended by the alarm, so that the test fails instead.
    EXPECT_EXIT((alarm(20), readCOMwait()), ::testing::ExitedWithCode(1),
                slavePath + ": Device hung up");
    EXPECT_EXIT(writeCOM("K\r\n", 3), ::testing::ExitedWithCode(1),
                slavePath + ": Input/output error");
    restorePort();
}

// The port is a socket here, so that its far end can stop taking bytes.
TEST(Transfer, PortThatTakesNothingOrUnreadableFileStopsTheRun) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    comPortHandle = ends[0];
    char junk[256] = {};
    while (write(comPortHandle, junk, sizeof junk) > 0) continue;
    hexFileName = "test.hex";
    fileHandle = open(scratchFile(endRecord).c_str(), O_RDONLY);
    measureHexFile();
    EXPECT_EXIT((alarm(20), streamRecords()), ::testing::ExitedWithCode(1),
                "The port does not take the line");
    // A file that can no longer be read part-way through.
    close(fileHandle);
    fileHandle = open("/dev/null", O_WRONLY);
    EXPECT_EXIT(streamRecords(), ::testing::ExitedWithCode(1), "^test.hex: Bad file descriptor");
    close(fileHandle);
    close(ends[0]);
    close(ends[1]);
}

TEST(Console, HexDumpSixteenBytesALine) {
    unsigned char bytes[17];
    for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(0x9C + i);
    ::testing::internal::CaptureStdout();
    printHex(bytes, 16);
    printHex(bytes, 17);
    printHex(bytes, 0);
    std::string line = "9C 9D 9E 9F A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB \n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), line + line + "AC \n");
}

}  // namespace
