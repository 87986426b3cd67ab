// The port set-up, the paced primitives and the transfer's failure paths, on
// real pseudo-terminals and sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "harness.h"
#include "hex_file.h"
#include "loader_dialog.h"
#include "pty_port.h"
#include "record_stream.h"
#include "serial_link.h"
#include "serial_port_posix.h"

unsigned char loadBuffer[loadBufferSize];
int bufferedCount = 0;
int fileHandle = -1;
const char *hexFileName = "test.hex";

namespace {

// Writes bursts into a port from its far end, with a pause before each.
std::thread sendBursts(int farEnd, std::vector<std::string> bursts, int gapMillis) {
    return std::thread([=] {
        for (const std::string &burst : bursts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMillis));
            EXPECT_EQ(write(farEnd, burst.data(), burst.size()), (ssize_t)burst.size());
        }
    });
}

TEST(SerialLink, CookedPortBecomesRawAtTheSpeedAndIsRestored) {
    std::string slavePath;
    int master = openVirtualPort(slavePath);
    termios original;
    ASSERT_EQ(tcgetattr(master, &original), 0);
    ASSERT_TRUE(original.c_lflag & ICANON) << "a fresh port starts cooked";
    // Worse than a fresh port: output mangled, receiver off, modem lines heeded.
    original.c_oflag |= OPOST | OLCUC | TAB3;
    original.c_cflag &= ~(CLOCAL | CREAD);
    ASSERT_EQ(tcsetattr(master, TCSANOW, &original), 0);
    tcgetattr(master, &original);
    PortFailure failure;
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B19200, failure));
    termios applied;
    tcgetattr(master, &applied);
    EXPECT_EQ(cfgetospeed(&applied), B19200);
    EXPECT_EQ(applied.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));

    std::string everyByte;
    for (int value = 0; value < 256; ++value) everyByte += static_cast<char>(value);
    std::thread chip = sendBursts(master, {everyByte}, 0);
    std::string received(256, '\0');
    EXPECT_EQ(readCOM(received.data(), 256), 256);
    chip.join();
    EXPECT_EQ(received, everyByte) << "bytes from the chip were altered";
    EXPECT_EQ(writeCOM(everyByte.data(), 256), 256);
    std::string sent(512, '\0');
    sent.resize(std::max<ssize_t>(0, read(master, sent.data(), sent.size())));
    EXPECT_EQ(sent, everyByte) << "bytes to the chip were altered";

    restorePort();
    termios restored;
    EXPECT_TRUE(tcgetattr(master, &restored) == 0 && sameAttributes(restored, original));
    close(master);
}

TEST(SerialLink, ReadsGatherBurstsTrickleAndGiveUpOnlyAfterSilence) {
    std::string slavePath;
    int master = openVirtualPort(slavePath);
    PortFailure failure;
    ASSERT_TRUE(setUpPort(slavePath.c_str(), B57600, failure));
    unsigned char space[128];
    std::thread bursts =
        sendBursts(master, {std::string(20, 'a'), std::string(25, 'b'), std::string(35, 'c')}, 8);
    EXPECT_EQ(readCOM(space, 80), 80) << "gaps shorter than the allowance ended the read";
    bursts.join();
    std::thread thirty = sendBursts(master, {std::string(30, 'd')}, 1);
    EXPECT_EQ(readCOM(space, 80), 30);
    thirty.join();

    // About 20 ms of silence ends a read: never less, and (in the quickest of
    // three tries, against a busy machine) never many times more.
    auto quickest = std::chrono::hours(1) + std::chrono::steady_clock::duration();
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(readCOM(space, 80), 0);
        quickest = std::min(quickest, std::chrono::steady_clock::now() - start);
    }
    EXPECT_GE(quickest, std::chrono::milliseconds(20)) << "fewer than 200 pauses of 100 us";
    EXPECT_LE(quickest, std::chrono::milliseconds(120)) << "pauses far longer than 100 us";

    std::thread trickle = sendBursts(master, std::vector<std::string>(30, "t"), 10);
    EXPECT_EQ(readCOM(space, 30), 30) << "a steady trickle timed out";
    trickle.join();

    close(master);
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(readCOMwait(), ::testing::ExitedWithCode(1), slavePath + ": Device hung up");
    EXPECT_EXIT(writeCOM("K\r\n", 3), ::testing::ExitedWithCode(1),
                slavePath + ": Input/output error");
    restorePort();
}

// The port is a socket here, so that its far end can stop taking bytes.
class Transfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ::testing::FLAGS_gtest_death_test_style = "fast";
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        comPortHandle = ends[0];
        chip = ends[1];
        fcntl(comPortHandle, F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        close(comPortHandle);
        close(chip);
        close(fileHandle);
    }
    void useFile(const std::string &contents) {
        fileHandle = open(scratchFile(contents).c_str(), O_RDONLY);
        measureHexFile();
    }
    size_t fillPort() {
        char junk[256] = {};
        size_t filled = 0;
        for (ssize_t took; (took = write(comPortHandle, junk, sizeof junk)) > 0;) filled += took;
        return filled;
    }
    int chip = -1;
};

TEST_F(Transfer, ShortWritesAreCompletedBeforeTheVerdict) {
    std::string line = ":" + std::string(900, 'A') + "\r\n";
    useFile(line);
    size_t filled = fillPort();
    std::thread slowChip([&] {
        std::string received;
        char chunk[512];
        for (ssize_t got = 1; got > 0 && received.size() < filled + line.size();) {
            usleep(2000);  // slower than the port, so the line goes out in pieces
            got = read(chip, chunk, sizeof chunk);
            received.append(chunk, std::max<ssize_t>(got, 0));
        }
        EXPECT_EQ(received.substr(filled), line);
        EXPECT_EQ(write(chip, "G", 1), 1);
    });
    streamRecords();
    slowChip.join();
}

TEST_F(Transfer, PortThatTakesNothingOrUnreadableFileStopsTheRun) {
    useFile(":00000001FF\n");
    fillPort();
    EXPECT_EXIT(streamRecords(), ::testing::ExitedWithCode(1), "The port does not take the line");
    close(fileHandle);
    fileHandle = open("/dev/null", O_WRONLY);
    EXPECT_EXIT(measureHexFile(), ::testing::ExitedWithCode(1), "^test.hex: Bad file descriptor");
}

}  // namespace
