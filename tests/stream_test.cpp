// Whole loads: files made by real tools, the line framing and its edge cases.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "harness.h"
#include "image_file.h"

namespace {

const char loadStartLines[] = "Getting loader prompt...\nKlearing memory...\nLoading file...\n";

ChipOptions fastChip() {
    ChipOptions options;
    options.eraseMicros = 2000;
    return options;
}

// An image made by srec_cat: random data over the given address ranges.
std::string srecordFile(const std::string &ranges, int recordBytes, bool crlf) {
    std::string path = scratchFile("");
    shell("srec_cat " + ranges + " -o " + path + " -Intel -Output_Block_Size " +
          std::to_string(recordBytes) + (crlf ? " -line-termination crlf" : " -line-termination nl"));
    return path;
}

// The chip's memory must equal srec_cat's own conversion of the file.
void expectChipHolds(const RunResult &run, const std::string &hexPath) {
    std::string image = binaryImage(run.session.memory);
    ASSERT_FALSE(image.empty());
    std::string binPath = scratchFile("", ".bin");
    shell("srec_cat " + hexPath + " -Intel -fill 0xFF 0 " + std::to_string(image.size()) + " -o " +
          binPath + " -Binary");
    EXPECT_TRUE(readWholeFile(binPath) == image) << "chip image differs from " << hexPath;
}

void expectCompleteLoad(const RunResult &run, const std::string &hexPath) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, fourProgressLines);
    EXPECT_EQ(run.session.received[stageRecords], readWholeFile(hexPath));
    EXPECT_TRUE(run.session.rejected.empty());
    EXPECT_TRUE(run.session.protocolErrors.empty()) << run.session.protocolErrors.front();
    expectChipHolds(run, hexPath);
}

TEST(RealFiles, SrecordImagesLoadWholeAt115200) {
    struct Case {
        const char *ranges;
        int recordBytes;
        bool crlf;
    };
    const Case cases[] = {
        {"-generate 0 0x2000 -random", 16, false},
        {"-generate 0 0x1800 -random", 32, true},
        {"-generate 0x0100 0x0900 -random -generate 0x2000 0x3F00 -random", 255, false},
        {"-generate 0x3000 0x4000 -random", 255, true},
    };
    for (const Case &image : cases) {
        SCOPED_TRACE(image.ranges);
        std::string hexPath = srecordFile(image.ranges, image.recordBytes, image.crlf);
        expectCompleteLoad(runHexpush({"PORT", hexPath, "115200"}, fastChip(), 60), hexPath);
    }
}

TEST(RealFiles, CompiledProgramLoadsAt9600) {
    std::string hexPath = EXAMPLES_DIR "/blink.hex";
    RunResult run = runHexpush({"PORT", hexPath, "9600"}, fastChip(), 60);
    expectCompleteLoad(run, hexPath);
    std::string small = srecordFile("-generate 0 0x200 -random", 16, true);
    expectCompleteLoad(runHexpush({"PORT", small, "9600"}, fastChip(), 60), small);
}

TEST(RealFiles, CorruptedRecordIsRejectedByTheChip) {
    std::string text = readWholeFile(EXAMPLES_DIR "/blink.hex");
    size_t fifthLine = 0;
    for (int line = 0; line < 4; ++line) fifthLine = text.find('\n', fifthLine) + 1;
    text[fifthLine + 12] = text[fifthLine + 12] == '0' ? '1' : '0';  // breaks the checksum
    RunResult run = runHexpush({"PORT", scratchFile(text)}, fastChip());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(loadStartLines) + "C\nLoad failed\n\n");
    ASSERT_EQ(run.session.rejected.size(), 1u);
    EXPECT_EQ(run.session.rejected[0].line, 5);
}

TEST(Framing, EmptyFileBlankLinesAndSeveralLinesInOneRead) {
    RunResult empty = runHexpush({"PORT", scratchFile("")}, fastChip());
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, fourProgressLines);
    EXPECT_EQ(empty.session.lines, 0);

    std::string blanks = dataRecord(0x10, {1, 2, 3}) + "\n\r\n" + dataRecord(0x20, {4}) + endRecord;
    RunResult run = runHexpush({"PORT", scratchFile(blanks)}, fastChip());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.session.received[stageRecords], blanks);
    EXPECT_EQ(run.session.lines, 5) << "each blank line needs its own verdict";
    EXPECT_TRUE(run.session.protocolErrors.empty()) << "a line went out before its verdict";
}

TEST(Framing, LineOfExactlyTheBufferIsSentWhole) {
    std::string longest = ":" + std::string(1022, 'A') + "\n";
    std::string text = dataRecord(0, {7}) + longest + endRecord;
    ChipOptions options = fastChip();
    options.judgeRecords = false;
    RunResult run = runHexpush({"PORT", scratchFile(text)}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.session.received[stageRecords], text);
    EXPECT_EQ(run.session.lines, 3);
}

TEST(Framing, RejectedThirdLineStopsBeforeTheFourth) {
    std::string lines[] = {dataRecord(0, {1}), dataRecord(1, {2}), dataRecord(2, {3}), endRecord};
    ChipOptions options = fastChip();
    options.faults.rejectLine = 3;
    options.faults.rejectVerdict = 'H';
    RunResult run = runHexpush({"PORT", scratchFile(lines[0] + lines[1] + lines[2] + lines[3])}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(loadStartLines) + "H\nLoad failed\n\n");
    EXPECT_EQ(run.session.received[stageRecords], lines[0] + lines[1] + lines[2]);
}

TEST(Framing, LastLineWithoutLineFeedIsSentAndPaddingIsNot) {
    std::string record = dataRecord(0x40, {9, 8});
    struct Case {
        std::string file;
        std::string sent;
    };
    const Case cases[] = {
        {record + ":00000001FF", record + ":00000001FF\n"},
        {record + ":00000001FF\r", record + ":00000001FF\r\n"},
        {record + endRecord + "\x1a", record + endRecord},
        {record + endRecord + " \t\r", record + endRecord},
    };
    for (const Case &ending : cases) {
        RunResult run = runHexpush({"PORT", scratchFile(ending.file)}, fastChip(), 10);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, fourProgressLines);
        EXPECT_EQ(run.session.received[stageRecords], ending.sent);
    }
}

TEST(Framing, OverlongLineInAFileStopsBeforeTheChipIsWoken) {
    std::string text = dataRecord(0, {1}) + ":" + std::string(1023, 'B') + "\n" + endRecord;
    std::string path = scratchFile(text);
    RunResult run = runHexpush({"PORT", path}, fastChip());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, path + ": line 2 is longer than 1024 bytes\n");
    EXPECT_EQ(run.session.received[stageWake], "") << "the chip must not be touched";

    std::string unterminated = dataRecord(0, {1}) + ":" + std::string(1023, 'B');
    RunResult last = runHexpush({"PORT", scratchFile(unterminated)}, fastChip());
    EXPECT_EQ(last.status, 1);
    EXPECT_NE(last.err.find(": line 2 is longer than 1024 bytes"), std::string::npos);
}

TEST(Framing, OverlongLineInAPipeStopsWhenReached) {
    std::string fifo = scratchFile("", ".fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string first = dataRecord(0, {1});
    std::thread writer([&] {
        FILE *pipe = fopen(fifo.c_str(), "w");
        fputs((first + std::string(2000, 'C') + "\n" + endRecord).c_str(), pipe);
        fclose(pipe);
    });
    RunResult run = runHexpush({"PORT", fifo}, fastChip(), 10);
    writer.join();
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, loadStartLines);
    EXPECT_EQ(run.err, fifo + ": line 2 is longer than 1024 bytes\n");
    EXPECT_EQ(run.session.received[stageRecords], first);
}

TEST(Framing, UnreadableFileStopsBeforeThePortIsTouched) {
    // Reading this process image at offset 0 fails with an I/O error.
    RunResult run = runHexpush({"PORT", "/proc/self/mem"}, fastChip());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "/proc/self/mem: Input/output error\n");
    EXPECT_EQ(run.session.received[stageWake], "");
}

// Random line soup through a chip that takes anything: every byte arrives
// as it stands in the file, one verdict per line.
TEST(Framing, RandomFilesArriveByteForByte) {
    std::mt19937 random(20261206);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    ChipOptions options = fastChip();
    options.judgeRecords = false;
    options.realTiming = false;
    for (int file = 0; file < 12; ++file) {
        std::string text;
        long lines = 0;
        for (int line = pick(0, 40); line > 0; --line, ++lines) {
            int length = pick(0, 10) == 0 ? pick(0, 1023) : pick(0, 60);
            for (int i = 0; i < length; ++i) {
                int kind = pick(0, 20);
                text += kind == 0 ? '\r' : kind == 1 ? '\0' : static_cast<char>(pick(0x20, 0x7E));
            }
            text += '\n';
        }
        std::string tail;
        if (pick(0, 1)) {
            tail = ":" + std::string(pick(1, 500), '7');
            ++lines;
        }
        RunResult run = runHexpush({"PORT", scratchFile(text + tail)}, options, 20);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.session.received[stageRecords] == text + (tail.empty() ? "" : tail + "\n"));
        EXPECT_EQ(run.session.lines, lines);
        EXPECT_TRUE(run.session.protocolErrors.empty());
    }
}

}  // namespace
