// Transfers: files that frame their lines oddly, hold a record the chip
// rejects, or change while they load; what reached the chip, and what
// hexpush said.
#include <gtest/gtest.h>

#include <fstream>

#include "harness.h"

namespace {

// What hexpush prints when the chip rejects a line with this verdict.
std::string rejectedWith(char verdict) {
    return std::string(loadStartLines) + verdict + "\nLoad failed\n\n";
}

EVERY_BUILD(Transfers);

TEST_P(Transfers, SendEachLineAsItStandsAndEndAtTheFirstRejectionOrChange) {
    std::string record = dataRecord(0x40, {9, 8}), good = dataRecord(0x0100, {0xAA, 0xBB});
    std::string longest = ":" + std::string(1022, 'A') + "\n", badSum = good;
    badSum[4] ^= 1;  // another address, so the sum no longer adds up
    std::string lines;
    for (unsigned address = 0; address < 0x800; address += 16)
        lines += dataRecord(address, std::vector<unsigned char>(16, 0x5A));
    std::string big = lines + endRecord;  // 129 lines of 44 bytes, then the end
    const std::string third = "line 3 rejected by the loader";
    struct Case {
        std::string file, sent;                         // sent: the file itself, if empty
        std::string out = fourProgressLines, err = "";  // err: what follows "FILE: "
        std::string changed = "";  // what the file becomes at line 40, if anything
        bool judged = false;       // the chip checks each record
    } cases[] = {
        {"", ""},
        {record + "\n\r\n" + endRecord, ""},
        {std::string("a\0b\n", 4) + endRecord, ""},
        {record + longest + endRecord, ""},
        {record + ":00000001FF", record + ":00000001FF\n"},
        {record + ":00000001FF\r", record + ":00000001FF\r\n"},
        {record + endRecord + "\x1a", record + endRecord},
        {record + endRecord + " \t\r", record + endRecord},
        // Each check the chip makes of a record, with the verdict it answers.
        {good + good + badSum, "", rejectedWith('C'), third, "", true},
        {good + good + ":0300000001FC\n", "", rejectedWith('L'), third, "", true},
        {good + good + ":01000000ZZ00\n", "", rejectedWith('H'), third, "", true},
        {good + good + dataRecord(0x0FFF, {1, 2}), "", rejectedWith('A'), third, "", true},
        {good + good + ":00000007F9\n", "", rejectedWith('T'), third, "", true},
        {good + good + "00000001FF\n", "", rejectedWith('S'), third, "", true},
        // Measured before the chip is woken; a change seen while it loads
        // ends the run as a failure, whatever the loader said of the lines.
        {big, "", loadStartLines, "changed while loading", big.substr(0, 44 * 80)},
        {big, "", loadStartLines, "changed while loading", big.substr(0, 44 * 80 + 20)},
        {big, "", loadStartLines, "changed while loading",
         big + ":" + std::string(2000, 'C') + "\n"},
        {big, "", loadStartLines, "changed while loading", big + lines},
        {big, "", loadStartLines, "changed while loading",
         std::string(big).replace(44 * 100 + 9, 2, "A5")},
    };
    for (const Case &transfer : cases) {
        std::string path = scratchFile(transfer.file);
        ChipOptions chip = promptChip();
        chip.flashSize = 4096;
        chip.judgeRecords = transfer.judged;
        chip.onLine = [&](long line) {
            if (line == 40 && !transfer.changed.empty())
                std::ofstream(path, std::ios::binary) << transfer.changed;
        };
        RunResult run = this->run({"PORT", path, "115200"}, chip, 10);
        std::string err = transfer.err.empty() ? "" : path + ": " + transfer.err + "\n";
        expectEnding(run, transfer.err.empty() ? 0 : 1, transfer.out, err);
        // A change ends the run as soon as it is seen: nothing beyond what
        // was measured reaches the chip.
        const std::string &received = run.session.received[stageRecords];
        if (transfer.changed.empty())
            EXPECT_EQ(received, transfer.sent.empty() ? transfer.file : transfer.sent);
        else
            EXPECT_LE(received.size(), transfer.file.size());
        EXPECT_TRUE(run.session.protocolErrors.empty()) << "a line went out before its verdict";
    }
}

}  // namespace
