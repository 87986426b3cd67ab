// Whole loads: files made by real tools, the line framing and its edge
// cases, and a file that changes while it loads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"
#include "image_file.h"

namespace {

class Framing : public EitherBuild {};
class ReadOnceInput : public EitherBuild {};
BOTH_BUILDS(ReadOnceInput);
class FileChanges : public EitherBuild {};
BOTH_BUILDS(Framing);
BOTH_BUILDS(FileChanges);

ChipOptions roomyChip(bool judge = true) {
    ChipOptions options = promptChip();
    options.flashSize = 65536;
    options.judgeRecords = judge;
    return options;
}

TEST_P(Framing, BlankLinesExactBufferAndMissingLastLineFeed) {
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
        RunResult run = this->run({"PORT", scratchFile(framing.file)}, roomyChip(false), 10);
        expectEnding(run, 0, fourProgressLines, "");
        EXPECT_EQ(run.session.received[stageRecords], framing.sent);
        EXPECT_EQ(run.session.lines, framing.lines) << "one verdict a line";
        EXPECT_TRUE(run.session.protocolErrors.empty()) << "a line went out before its verdict";
    }
}

// Input that can be read only once (a FIFO here, as a pipe or process
// substitution gives) is checked whole before the chip is woken, like a file.
TEST_P(ReadOnceInput, OverlongLineOrEndlessInputStopsBeforeWakingTheChip) {
    std::string first = dataRecord(0, {1});
    std::string overlong = ":" + std::string(1023, 'B');
    const std::string end = endRecord;
    for (const std::string &tail : {overlong + "\n", overlong, overlong + "\n" + end, end}) {
        std::string path = scratchFile(first + tail);
        std::string fifo = fifoFeeding(first + tail);
        RunResult run = this->run({"PORT", fifo}, roomyChip());
        if (tail == end) {
            expectEnding(run, 0, fourProgressLines, "");
            expectChipHolds(run.session, path);
            continue;
        }
        expectEnding(run, 1, "", fifo + ": line 2 is longer than 1024 bytes\n");
        EXPECT_EQ(run.session.received[stageWake], "");
    }
    // The limit itself is taken whole: what it holds decides.
    std::string exactlyTheLimit = fifoFeeding(std::string(16 * 1024 * 1024, 'A'));
    for (const std::string &input : {std::string("/dev/zero"), exactlyTheLimit}) {
        RunResult run = this->run({"PORT", input}, roomyChip());
        expectEnding(run, 1, "",
                     input + (input == "/dev/zero" ? ": more than 16777216 bytes\n"
                                                   : ": line 1 is longer than 1024 bytes\n"));
        EXPECT_EQ(run.session.received[stageWake], "");
    }
}

// Measured before the chip is woken; any change seen while it loads ends the
// run as a failure, whatever the loader said of the lines.
TEST_P(FileChanges, EndTheRunAndAreNeverReportedAsDone) {
    std::string lines;
    for (unsigned address = 0; address < 0x800; address += 16)
        lines += dataRecord(address, std::vector<unsigned char>(16, 0x5A));
    std::string text = lines + endRecord;  // 129 lines of 44 bytes, then the end
    struct Case {
        const char *what;
        std::string (*changed)(const std::string &text);
    } cases[] = {
        {"cut at a line end", [](const std::string &t) { return t.substr(0, 44 * 80); }},
        {"cut mid-line", [](const std::string &t) { return t.substr(0, 44 * 80 + 20); }},
        {"grown by an overlong line",
         [](const std::string &t) { return t + ":" + std::string(2000, 'C') + "\n"; }},
        {"edited, same size",
         [](const std::string &t) { return std::string(t).replace(44 * 100 + 9, 2, "A5"); }},
    };
    for (const auto &change : cases) {
        SCOPED_TRACE(change.what);
        std::string path = scratchFile(text);
        ChipOptions editedMidLoad = roomyChip(false);
        editedMidLoad.onLine = [&](long line) {
            if (line == 40) std::ofstream(path, std::ios::binary) << change.changed(text);
        };
        RunResult run = this->run({"PORT", path, "115200"}, editedMidLoad);
        expectEnding(run, 1, loadStartLines, path + ": changed while loading\n");
    }
}

}  // namespace
