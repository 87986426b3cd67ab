// Transfers: files that frame their lines oddly, hold a record the chip
// rejects, or change while they load; what reached the chip, and what
// hexpush said.
#include <gtest/gtest.h>

#include <fstream>

#include "harness.h"

namespace {

EVERY_BUILD(Transfers);

// Each build reads the file through its own calls (a carriage return, a
// NUL or an end-of-file mark must pass as they stand), rewinds it, and
// writes the rejected line's verdict to its own console; how a change is
// told is shared, and runs natively. (A page takes the file whole before
// the chip is woken: a later change is not its.) How lines are framed (an
// empty file, the longest line, a last one without a line feed, padding
// after the last) is shared too: the fuzz corpus replays each case, and its
// oracle checks every byte sent (tests/fuzz).
TEST_P(Transfers, SendEachLineAsItStandsAndEndAtTheFirstRejectionOrChange) {
    std::string record = dataRecord(0x40, {9, 8});
    std::string lines;
    for (unsigned address = 0; address < 0x800; address += 16)
        lines += dataRecord(address, std::vector<unsigned char>(16, 0x5A));
    const size_t lineSize = 44;
    std::string big = lines + endRecord;  // 129 lines of 44 bytes, then the end
    std::string edited = std::string(big).replace(lineSize * 100 + 9, 2, "A5");
    struct Case {
        unsigned where;  // Where
        std::string file, sent;                         // sent: the file itself, if empty
        std::string out = fourProgressLines, err = "";  // err: what follows "FILE: "
        std::string changed = "";  // what the file becomes at line 40, if anything
        char verdict = 0;          // the chip's answer to line 3, if not G
    } cases[] = {
        {everywhere, record + "\n\r\n" + std::string("a\0b\n", 4) + endRecord + "\x1a",
         record + "\n\r\n" + std::string("a\0b\n", 4) + endRecord},
        // One path for any verdict but G, which a lower-case g is not. A page
        // shows the byte escaped, as it shows any other from the wire.
        {everywhere, record + record + record + endRecord, record + record + record,
         std::string(loadStartLines) + "g\nLoad failed\n\n", "line 3 rejected by the loader", "",
         'g'},
        {inBrowser, record + record + record + endRecord, record + record + record,
         std::string(loadStartLines) + "\\x1B\nLoad failed\n\n", "line 3 rejected by the loader",
         "", '\x1b'},
        // Measured before the chip is woken; a change seen while it loads
        // ends the run as a failure, whatever the loader said of the lines.
        // What is sent: a shorter file's every whole line; of a longer one,
        // nothing beyond what was measured; an edit, once read.
        {nativeOnly, big, big.substr(0, lineSize * 80), loadStartLines, "changed while loading",
         big.substr(0, lineSize * 80)},
        {nativeOnly, big, big.substr(0, lineSize * 80), loadStartLines, "changed while loading",
         big.substr(0, lineSize * 80 + 20)},
        {nativeOnly, big, "", loadStartLines, "changed while loading", big + lines},
        {notInBrowser, big, edited, loadStartLines, "changed while loading", edited},
    };
    for (const Case &transfer : cases) {
        if (!runsHere(transfer.where)) continue;
        std::string path = scratchFile(transfer.file);
        ChipOptions chip = promptChip();
        chip.flashSize = 4096;
        chip.judgeRecords = false;
        chip.faults.rejectLine = transfer.verdict ? 3 : 0;
        chip.faults.rejectVerdict = transfer.verdict;
        chip.onLine = [&](long line) {
            if (line == 40 && !transfer.changed.empty())
                std::ofstream(path, std::ios::binary) << transfer.changed;
        };
        RunResult run = this->run({"PORT", path, "115200"}, chip, 10);
        std::string err = transfer.err.empty() ? "" : fileNamed(path) + ": " + transfer.err + "\n";
        expectEnding(run, transfer.err.empty() ? 0 : 1, transfer.out, err);
        const std::string &received = run.session.received[stageRecords];
        if (!transfer.changed.empty() && transfer.sent.empty()) {
            EXPECT_LE(received.size(), transfer.file.size()) << "sent beyond what was measured";
            EXPECT_EQ(received, transfer.changed.substr(0, received.size()));
        } else {
            EXPECT_EQ(received, transfer.sent.empty() ? transfer.file : transfer.sent);
        }
        EXPECT_TRUE(run.session.protocolErrors.empty()) << "a line went out before its verdict";
    }
}

}  // namespace
