// Whole loads: files made by real tools, the line framing and its edge cases.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "harness.h"
#include "image_file.h"

namespace {

ChipOptions fastChip(bool judge = true) {
    ChipOptions options;
    options.eraseMicros = 2000;
    options.judgeRecords = judge;
    return options;
}

void expectCompleteLoad(const RunResult &run, const std::string &hexPath) {
    expectEnding(run, 0, fourProgressLines, "");
    expectChipHolds(run.session, hexPath);
}

TEST(RealFiles, SrecordImagesAndACompiledProgramLoadWhole) {
    struct {
        const char *ranges, *recordSize, *lineEnd;
    } images[] = {{"0 0x2000", "16", "nl"},
                  {"0x100 0x900 -random -generate 0x2000 0x3F00", "255", "crlf"},
                  {"0x3000 0x4000", "32", "crlf"}};
    for (const auto &image : images) {
        std::string path = scratchFile("");
        shell(std::string("srec_cat -generate ") + image.ranges + " -random -o " + path +
              " -Intel -Output_Block_Size " + image.recordSize + " -line-termination " +
              image.lineEnd);
        expectCompleteLoad(runHexpush({"PORT", path, "115200"}, fastChip(), 60), path);
    }
    std::string compiled = EXAMPLES_DIR "/blink.hex";
    expectCompleteLoad(runHexpush({"PORT", compiled, "9600"}, fastChip(), 60), compiled);
}

TEST(Verdicts, RejectedLineShowsTheVerdictAndStops) {
    std::string lines[] = {dataRecord(0, {1}), dataRecord(1, {2}), dataRecord(2, {3}), endRecord};
    std::string text = lines[0] + lines[1] + lines[2] + lines[3];
    ChipOptions rejectThird = fastChip();
    rejectThird.faults.rejectLine = 3;
    std::string path = scratchFile(text);
    RunResult run = runHexpush({"PORT", path}, rejectThird);
    expectEnding(run, 1, std::string(loadStartLines) + "H\nLoad failed\n\n",
                 path + ": line 3 rejected by the loader\n");
    EXPECT_EQ(run.session.received[stageRecords], lines[0] + lines[1] + lines[2]);
}

TEST(Framing, BlankLinesExactBufferAndMissingLastLineFeed) {
    std::string record = dataRecord(0x40, {9, 8});
    std::string longest = ":" + std::string(1022, 'A') + "\n";
    struct Case {
        std::string file;
        std::string sent;
        long lines;
    } cases[] = {
        {"", "", 0},
        {record + "\n\r\n" + endRecord, record + "\n\r\n" + endRecord, 4},
        {std::string("a\0b\n", 4) + endRecord, std::string("a\0b\n", 4) + endRecord, 2},
        {record + longest + endRecord, record + longest + endRecord, 3},
        {record + ":00000001FF", record + ":00000001FF\n", 2},
        {record + ":00000001FF\r", record + ":00000001FF\r\n", 2},
        {record + endRecord + "\x1a", record + endRecord, 2},
        {record + endRecord + " \t\r", record + endRecord, 2},
    };
    for (const Case &framing : cases) {
        RunResult run = runHexpush({"PORT", scratchFile(framing.file)}, fastChip(false), 10);
        expectEnding(run, 0, fourProgressLines, "");
        EXPECT_EQ(run.session.received[stageRecords], framing.sent);
        EXPECT_EQ(run.session.lines, framing.lines) << "one verdict a line";
        EXPECT_TRUE(run.session.protocolErrors.empty()) << "a line went out before its verdict";
    }
}

// Input that can be read only once (a FIFO here, as a pipe or process
// substitution gives) is checked whole before the chip is woken, like a file.
TEST(Framing, OverlongLineOrEndlessInputStopsBeforeWakingTheChip) {
    std::string first = dataRecord(0, {1});
    std::string overlong = ":" + std::string(1023, 'B');
    std::string fifo = scratchFile("", ".fifo");
    unlink(fifo.c_str());
    mkfifo(fifo.c_str(), 0600);
    const std::string end = endRecord;
    for (const std::string &tail : {overlong + "\n", overlong, overlong + "\n" + end, end}) {
        std::string path = scratchFile(first + tail);
        std::thread writer([&] { shell("cat " + path + " > " + fifo); });
        for (const std::string &input : {path, fifo}) {
            RunResult run = runHexpush({"PORT", input}, fastChip());
            if (tail == end) {
                expectCompleteLoad(run, path);
                continue;
            }
            expectEnding(run, 1, "", input + ": line 2 is longer than 1024 bytes\n");
            EXPECT_EQ(run.session.received[stageWake], "");
        }
        writer.join();
    }
    RunResult endless = runHexpush({"PORT", "/dev/zero"}, fastChip());
    expectEnding(endless, 1, "", "/dev/zero: more than 16777216 bytes\n");
    EXPECT_EQ(endless.session.received[stageWake], "");
}

}  // namespace
