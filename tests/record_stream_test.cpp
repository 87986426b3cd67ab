// The transfer's own failure paths, on a socket standing in for the port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "loader_dialog.h"
#include "record_stream.h"
#include "serial_link.h"

namespace {

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        comPortHandle = ends[0];
        chip = ends[1];
        fcntl(comPortHandle, F_SETFL, O_NONBLOCK);
        int smallest = 1;
        setsockopt(comPortHandle, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    }
    void TearDown() override {
        close(comPortHandle);
        comPortHandle = -1;
        close(chip);
        close(fileHandle);
        fileHandle = -1;
    }
    void useFile(const std::string &contents) {
        char path[] = "/tmp/hexpush-stream-XXXXXX";
        fileHandle = mkstemp(path);
        ASSERT_EQ(write(fileHandle, contents.data(), contents.size()), (ssize_t)contents.size());
        lseek(fileHandle, 0, SEEK_SET);
        unlink(path);
    }
    // Fills the port's send buffer, as a port whose far end does not read.
    size_t fillPort() {
        size_t filled = 0;
        char junk[256] = {};
        ssize_t took;
        while ((took = write(comPortHandle, junk, sizeof junk)) > 0) filled += took;
        return filled;
    }
    int chip = -1;
};

TEST_F(StreamTest, ShortWritesAreCompletedBeforeTheVerdict) {
    std::string line = ":" + std::string(900, 'A') + "\r\n";
    useFile(line);
    size_t filled = fillPort();
    std::thread slowChip([&] {
        std::string received;
        char chunk[512];
        while (received.size() < filled + line.size()) {
            usleep(2000);  // slower than the port, so the line goes out in pieces
            ssize_t got = read(chip, chunk, sizeof chunk);
            if (got <= 0) break;
            received.append(chunk, got);
        }
        EXPECT_EQ(received.substr(filled), line);
        ASSERT_EQ(write(chip, "G", 1), 1);
    });
    streamRecords();
    slowChip.join();
    EXPECT_EQ(bufferedCount, 0);
}

TEST_F(StreamTest, PortThatTakesNothingStopsTheRun) {
    useFile(":00000001FF\n");
    fillPort();
    EXPECT_EXIT(streamRecords(), ::testing::ExitedWithCode(1), "The port does not take the line");
}

TEST_F(StreamTest, ReadErrorOnTheFileIsNotTheEndOfIt) {
    fileHandle = open("/dev/null", O_WRONLY);
    EXPECT_EXIT(streamRecords(), ::testing::ExitedWithCode(1), "^test.hex: Bad file descriptor");
}

TEST_F(StreamTest, VerdictOtherThanGShowsTheByteAndStops) {
    // The dying run must share this process's socket to be watched from here.
    ::testing::FLAGS_gtest_death_test_style = "fast";
    useFile(":00000001FF\n:00000001FF\n");
    ASSERT_EQ(write(chip, "X", 1), 1);
    EXPECT_EXIT(
        {
            streamRecords();
            fflush(stdout);
        },
        ::testing::ExitedWithCode(1), "");
    char sent[64];
    ssize_t got = recv(chip, sent, sizeof sent, MSG_DONTWAIT);
    EXPECT_EQ(std::string(sent, got > 0 ? got : 0), ":00000001FF\n") << "second line sent";
}

}  // namespace
