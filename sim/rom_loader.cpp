#include "rom_loader.h"

#include <algorithm>
#include <cstddef>

#include "wire.h"

const char loaderBannerText[] =
    "\r\nDS89C420 LOADER VERSION 1.0  COPYRIGHT (C) 2000 DALLAS SEMICONDUCTOR\r\n> ";
const char wakeUpFaults[] = "none echo cut awake wrong sister noise";

bool wakeUpFault(const std::string &name, ChipFaults &faults) {
    // Framing errors read as zeros and runs of high bits, as when the chip
    // sends at a quarter of the host's speed.
    static const char noise[] = "\x00\xF8\x80\xE6\x1E\x98\x00\xFE\x60\x78\x80\x00\xE0\x9E\x06\xF8"
                                "\x00\x80\x18\xFC";
    if (name == "none") {
        faults.silent = true;
    } else if (name == "echo") {
        faults.echo = true;
    } else if (name == "cut") {
        faults.sendAtMost = 40;
    } else if (name == "awake") {
        faults.awake = true;
    } else if (name == "wrong") {
        faults.banner = "\r\nDS89C420 LOADER VERSION 2.0\r\n> ";
    } else if (name == "sister") {
        faults.banner = "\r\nDS89C430 LOADER VERSION 2.1  COPYRIGHT (C) 2002 DALLAS SEMICONDUCTOR\r\n> ";
    } else if (name == "noise") {
        faults.banner = std::string(noise, sizeof noise - 1);
        faults.sendAtMost = sizeof noise - 1;
    } else {
        return false;
    }
    return true;
}

namespace {

const Nanos nanosPerMicro = 1000;
const char prompt[] = "\r\n> ";

Nanos micros(long count) { return count * nanosPerMicro; }

// ---- The wire: bytes take their time both ways at the host's speed. ----

Nanos reaction(const RomLoader &chip) {
    return chip.options.realTiming ? micros(chipReactionMicros) : 0;
}

// Queues a reply; each byte reaches the host once its bits are sent.
void send(RomLoader &chip, const std::string &text, Nanos earliest, bool verdict = false) {
    Nanos start = std::max(chip.outFree, earliest);
    const ChipFaults &faults = chip.options.faults;
    for (char byte : text) {
        if (faults.sendAtMost > 0 && chip.bytesSent >= faults.sendAtMost) break;
        if (chip.bytesSent > 0 && faults.burstBytes > 0 && chip.bytesSent % faults.burstBytes == 0)
            start += micros(faults.burstGapMicros);
        if (chip.bytesSent > 0) start += micros(faults.replyGapMicros);
        start += chip.byteNanos;
        chip.outgoing.push_back({start, byte, verdict});
        ++chip.bytesSent;
    }
    chip.outFree = start;
}

// ---- The dialog: the wake-up, then commands until the load command. ----

void protocolError(RomLoader &chip, const std::string &what) {
    chip.session.protocolErrors.push_back(what);
}

void hangUp(RomLoader &chip) { chip.session.hungUp = true; }

void runCommand(RomLoader &chip, Nanos at) {
    const ChipFaults &faults = chip.options.faults;
    std::string line = chip.commandLine;
    chip.commandLine.clear();
    if (!line.empty() && line[0] == faults.hangUpOnCommand) return hangUp(chip);
    if (!line.empty() && line[0] == faults.wrongReplyTo) return send(chip, faults.wrongReply, at);
    send(chip, "\r\n", at + reaction(chip));
    if (line.empty()) {
        send(chip, prompt, at);
        if (!chip.afterPromptSent) send(chip, faults.afterPrompt, at);
        chip.afterPromptSent = true;
    } else if (line == "K") {
        chip.session.memory.erase();
        send(chip, prompt + faults.afterClear, at + micros(chip.options.eraseMicros));
    } else if (line == "LB") {
        chip.mode = RomLoader::load;
        chip.swallowLineFeed = true;
        chip.loadStart = at;
    } else {
        protocolError(chip, "unknown command " + line);
        send(chip, prompt, at);
    }
}

void wake(RomLoader &chip, char byte, Nanos at) {
    chip.session.received[stageWake] += byte;
    if (byte != '\r') {
        if (byte != '\n') protocolError(chip, "byte before the wake-up");
        return;
    }
    chip.wokenUp = true;
    const ChipFaults &faults = chip.options.faults;
    if (faults.silent) return;
    chip.mode = RomLoader::command;
    // Awake already, the loader takes the carriage return as an empty command.
    if (faults.awake) return runCommand(chip, at);
    send(chip, faults.banner.empty() ? loaderBannerText : faults.banner, at + reaction(chip));
}

// Commands are echoed as they are typed, and run at the carriage return.
void commandByte(RomLoader &chip, char byte, Nanos at) {
    if (chip.commandLine.empty() && byte != '\r' && byte != '\n')
        chip.stage = byte == 'K' ? stageClear : byte == 'L' ? stageLoadCommand : stageOther;
    chip.session.received[chip.stage] += byte;
    if (byte == '\n') return;
    if (byte == '\r') return runCommand(chip, at);
    chip.commandLine += byte;
    if (chip.commandLine[0] != chip.options.faults.wrongReplyTo)
        send(chip, std::string(1, byte), at + reaction(chip));
}

// ---- The load: one verdict a record. ----

char verdictFor(RomLoader &chip, const std::string &record) {
    const ChipFaults &faults = chip.options.faults;
    ChipSession &session = chip.session;
    Judgement judgement{'G', ""};
    if (faults.rejectLine == session.lines)
        judgement = {faults.rejectVerdict, "rejected as asked"};
    else if (chip.options.judgeRecords)
        judgement = judgeRecord(record, session.memory);
    if (judgement.verdict != 'G') {
        session.rejected.push_back({session.lines, judgement.verdict, judgement.why});
        if (chip.options.log) fputs(rejectionLine(session.rejected.back()).c_str(), chip.options.log);
    }
    return judgement.verdict;
}

void completeLine(RomLoader &chip, Nanos at) {
    const ChipFaults &faults = chip.options.faults;
    long line = ++chip.session.lines;
    std::string record = chip.recordLine;
    chip.recordLine.clear();
    if (!record.empty() && record.back() == '\r') record.pop_back();
    if (chip.options.onLine) chip.options.onLine(line);
    if (faults.hangUpAtLine == line) return hangUp(chip);
    char verdict = verdictFor(chip, record);
    if (faults.silentFromLine > 0 && line >= faults.silentFromLine) return;
    Nanos work = micros(chip.options.lineMicros) +
                 (faults.stallAtLine == line ? micros(faults.stallMicros) : 0);
    send(chip, std::string(1, verdict), at + reaction(chip) + work, true);
}

void loadByte(RomLoader &chip, char byte, Nanos at) {
    if (chip.swallowLineFeed && byte == '\n') {
        chip.session.received[stageLoadCommand] += byte;
        chip.swallowLineFeed = false;
        return;
    }
    chip.swallowLineFeed = false;
    chip.session.received[stageRecords] += byte;
    if (byte == '\n') return completeLine(chip, at);
    chip.recordLine += byte;
}

// A looped-back line: the host hears itself, and the chip nothing.
void echo(RomLoader &chip, char byte, Nanos at) {
    chip.session.received[stageWake] += byte;
    chip.wokenUp = chip.wokenUp || byte == '\r';
    send(chip, std::string(1, byte), at);
}

void handle(RomLoader &chip, char byte, Nanos at) {
    if (chip.options.faults.echo) return echo(chip, byte, at);
    if (chip.mode == RomLoader::asleep) return wake(chip, byte, at);
    if (chip.mode == RomLoader::command) return commandByte(chip, byte, at);
    loadByte(chip, byte, at);
}

bool verdictPending(const RomLoader &chip) {
    return std::any_of(chip.outgoing.begin(), chip.outgoing.end(),
                       [](const OutByte &out) { return out.verdict; });
}

}  // namespace

std::string rejectionLine(const RejectedLine &rejected) {
    return "line " + std::to_string(rejected.line) + " rejected with " + rejected.verdict + ": " +
           rejected.why + "\n";
}

void setWireSpeed(RomLoader &chip, int baud) {
    if (chip.session.baud == 0) chip.session.baud = baud;
    chip.byteNanos = chip.options.realTiming && baud > 0 ? bitsPerByte * 1000000000LL / baud : 0;
}

void receive(RomLoader &chip, const char *bytes, size_t count, Nanos seen) {
    if (chip.session.firstByteSeconds == 0) chip.session.firstByteSeconds = seen / 1e9;
    if (chip.mode == RomLoader::load && verdictPending(chip))
        protocolError(
            chip, "line " + std::to_string(chip.session.lines + 1) + " sent before the verdict");
    for (size_t i = 0; i < count && !chip.session.hungUp; ++i) {
        chip.lastArrival = std::max(chip.lastArrival, seen) + chip.byteNanos;
        handle(chip, bytes[i], chip.lastArrival);
    }
}

size_t dueCount(const RomLoader &chip, Nanos now) {
    size_t count = 0;
    while (count < chip.outgoing.size() && chip.outgoing[count].due <= now) ++count;
    return count;
}

void handedOver(RomLoader &chip, size_t count, Nanos now) {
    bool verdict = false;
    for (size_t i = 0; i < count; ++i) {
        const OutByte &out = chip.outgoing[i];
        if (out.verdict) chip.session.verdictLateMicros += (now - out.due) / 1e3;
        verdict = verdict || out.verdict;
    }
    chip.outgoing.erase(chip.outgoing.begin(),
                        chip.outgoing.begin() + static_cast<std::ptrdiff_t>(count));
    chip.session.repliedBytes += static_cast<long>(count);
    if (verdict) chip.session.loadSeconds = (now - chip.loadStart) / 1e9;
}

Nanos nextDue(const RomLoader &chip) {
    return chip.outgoing.empty() ? noneDue : chip.outgoing.front().due;
}
