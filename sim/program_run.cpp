#include "program_run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "rom_loader.h"

namespace {

bool endsWith(const std::string &text, const std::string &end) {
    return !end.empty() && text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void finish(ProgramRun &run, RunEnd end, Clocks at) {
    run.end = end;
    run.endClocks = at;
}

// Takes the bytes whose frames have ended by then; false once one ends the run.
bool takeSent(ProgramRun &run, std::vector<SerialByte> &sent, Clocks by) {
    std::vector<SerialByte> &out = run.chip.serial.sent;
    size_t longest = std::max(run.options.expectText.size(), run.options.failText.size());
    size_t taken = 0;
    for (; taken < out.size() && out[taken].end <= by; ++taken) {
        sent.push_back(out[taken]);
        run.recent += static_cast<char>(out[taken].byte);
        if (run.recent.size() > longest) run.recent.erase(0, run.recent.size() - longest);
        bool expected = endsWith(run.recent, run.options.expectText);
        if (expected || endsWith(run.recent, run.options.failText)) {
            finish(run, expected ? RunEnd::expected : RunEnd::failed, out[taken].end);
            ++taken;
            break;
        }
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(taken));
    return run.end == RunEnd::running;
}

std::string pinChanges(const ChipCore &chip) {
    std::string text;
    for (int pin = 0; pin < 32; ++pin) {
        long long count = chip.ports.changes[pin];
        if (count == 0) continue;
        char entry[48];
        snprintf(entry, sizeof entry, "%sP%d.%d changed %lld time%s", text.empty() ? "" : ", ", pin / 8,
                 pin % 8, count, count == 1 ? "" : "s");
        text += entry;
    }
    return text.empty() ? "none changed" : text;
}

std::string serialLine(ChipCore &chip) {
    const SerialPort0 &serial = chip.serial;
    char counts[120];
    snprintf(counts, sizeof counts, " (%lld bytes sent, %lld received)", serial.sentCount,
             serial.receivedCount);
    std::string line = "serial: " + (serial.sentCount ? serial.speedText : "nothing sent") + counts + "\n";
    if (serial.lost)
        line += "serial: " + std::to_string(serial.lost) +
                " received bytes lost: the receiver was off, or RI still set\n";
    return line;
}

std::string quoted(const std::string &text) {
    std::string escaped;
    for (unsigned char byte : text) {
        char piece[8];
        if (byte == '"' || byte == '\\')
            snprintf(piece, sizeof piece, "\\%c", byte);
        else if (byte < 0x20 || byte > 0x7E)
            snprintf(piece, sizeof piece, "\\x%02X", byte);
        else
            snprintf(piece, sizeof piece, "%c", byte);
        escaped += piece;
    }
    return "\"" + escaped + "\"";
}

std::string endLine(const ProgramRun &run) {
    switch (run.end) {
        case RunEnd::expected: return "ended: " + quoted(run.options.expectText) + " sent\n";
        case RunEnd::failed: return "ended: failed, " + quoted(run.options.failText) + " sent\n";
        case RunEnd::timedOut:
            return "ended: timeout after " + std::to_string(run.options.timeoutMillis) +
                   " ms of chip time\n";
        case RunEnd::stopped: return "ended: " + stopReason(run.chip) + "\n";
        case RunEnd::reset: return "ended: reset\n";
        case RunEnd::interrupted: return "ended: interrupted\n";
        default: return "";
    }
}

}  // namespace

int exitStatusFor(RunEnd end) {
    switch (end) {
        case RunEnd::expected: return 0;
        case RunEnd::timedOut: return timeoutStatus;
        case RunEnd::interrupted: return interruptedStatus;
        default: return 1;
    }
}

void startRun(ProgramRun &run, const ChipMemory &memory, const RunOptions &options) {
    run.options = options;
    run.end = RunEnd::running;
    run.endClocks = 0;
    run.recent.clear();
    resetChip(run.chip, memory.bytes, options.crystalHz);
}

void advanceRun(ProgramRun &run, Clocks until, std::vector<SerialByte> &sent) {
    ChipCore &chip = run.chip;
    Clocks timeout = run.options.timeoutMillis > 0 ? clocksAt(chip, run.options.timeoutMillis / 1e3)
                                                   : ~Clocks{0};
    until = std::min(until, timeout);
    // Step from frame end to frame end, so that a run ends as its text is sent.
    while (run.end == RunEnd::running) {
        const std::vector<SerialByte> &pending = chip.serial.sent;
        runChip(chip, pending.empty() ? until : std::min(until, pending.front().end));
        // A stopped processor leaves its serial port to finish the frame it sends.
        bool stopped = chip.stop != ChipStop::running;
        if (!takeSent(run, sent, stopped ? ~Clocks{0} : chip.clocks)) return;
        if (stopped)
            finish(run, RunEnd::stopped, chip.clocks);
        else if (chip.clocks >= timeout)
            finish(run, RunEnd::timedOut, timeout);
        else if (chip.clocks >= until)
            return;
    }
}

void endRun(ProgramRun &run, RunEnd end) {
    if (run.end == RunEnd::running) finish(run, end, run.chip.clocks);
}

std::string runAccount(ProgramRun &run) {
    ChipCore &chip = run.chip;
    Clocks clocks = run.end == RunEnd::running ? chip.clocks : run.endClocks;
    char head[160];
    snprintf(head, sizeof head, "run: %.6f s of chip time at %g MHz, %lld instructions\n",
             clocks / chip.crystalHz, chip.crystalHz / 1e6, chip.instructions);
    std::string account = head + serialLine(chip) + "pins: " + pinChanges(chip) + "\n";
    for (const std::string &note : chip.notes) account += note + "\n";
    return account + endLine(run);
}

bool readProgramFile(const std::string &path, ChipMemory &memory, std::string &problems) {
    FILE *file = fopen(path.c_str(), "rb");
    std::string contents;
    char chunk[4096];
    size_t got = 0;
    while (file && (got = fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, got);
    if (!file || ferror(file)) {
        problems = path + ": " + strerror(errno) + "\n";
        if (file) fclose(file);
        return false;
    }
    fclose(file);
    memory.erase();
    long lineNumber = 0;
    for (size_t start = 0; start < contents.size();) {
        size_t end = std::min(contents.find('\n', start), contents.size());
        std::string line = contents.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Judgement judgement = judgeRecord(line, memory);
        if (judgement.verdict != 'G')
            problems += rejectionLine({lineNumber, judgement.verdict, judgement.why});
    }
    if (!memory.endRecordSeen) problems += "no end-of-file record: the load did not finish\n";
    return problems.empty();
}

bool speedsMatch(double programBaud, double lineBaud) {
    return programBaud > 0 && lineBaud > 0 && std::fabs(programBaud - lineBaud) <= 0.03 * lineBaud;
}
