// The DS89C420 ROM loader as the host meets it over the wire: its dialog,
// its judgement of each record, its memory, and the wire's timing (every
// byte takes 10 bits at the host's speed, both ways). Bytes go in stamped
// with when they were seen, and replies come out when their last bit would
// reach the host; moving them is the caller's business (a pseudo-terminal,
// or a page's own port).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "record_check.h"

extern const char loaderBannerText[];  // what the loader prints when woken

// Ways to make the chip misbehave, for tests of the host side.
struct ChipFaults {
    bool silent = false;      // never answers the wake-up
    bool echo = false;        // sends back what it receives, and nothing else
    bool awake = false;       // was woken before: the wake-up gets prompts alone
    long sendAtMost = 0;      // falls silent after this many bytes, if not 0
    std::string banner;       // replaces the banner when not empty
    std::string afterPrompt;  // extra bytes sent after the first prompt
    std::string afterClear;   // extra bytes sent after the prompt that ends a clear
    std::string staleInput;   // bytes in the port before the host opens it
    int burstBytes = 0;       // replies go out in bursts of this many bytes,
    long burstGapMicros = 0;  //   with this much silence between bursts
    long replyGapMicros = 0;  // silence between any two reply bytes
    char wrongReplyTo = 0;    // 'K' or 'L': that command is answered with
    std::string wrongReply;   //   this instead, and nothing more
    long rejectLine = 0;      // answer this line with rejectVerdict
    char rejectVerdict = 'H';
    long stallAtLine = 0;      // answer this line only after
    long stallMicros = 0;      //   this much silence
    long silentFromLine = 0;   // stop answering from this line on
    long hangUpAtLine = 0;     // close the port when this line arrives
    char hangUpOnCommand = 0;  // close the port when this command arrives
};

// A wait for a CPU this long may have held a reply back past a host's
// patience (hexpush gives the banner 20 ms): a session that failed after it
// may say nothing of the host.
const double lateForCpuMicros = 5000;

// The chip's reaction: from a command's last byte to its reply.
const long chipReactionMicros = 20;

// The ways a wake-up can go wrong, each as a line or a chip may answer it:
// "none" (silence), "echo" (a looped-back line), "cut" (the banner stops
// part-way), "awake" (a loader woken before: prompts alone), "wrong" (another
// version's banner), "sister" (a sister chip's loader), "noise" (what a line
// at the wrong speed reads). Sets the faults for the one named; false if
// there is no such way.
bool wakeUpFault(const std::string &name, ChipFaults &faults);
extern const char wakeUpFaults[];  // their names, for a usage text

struct ChipOptions {
    ChipFaults faults;
    size_t flashSize = defaultFlashSize;
    bool realTiming = true;    // false: no wire time, for tests where timing is not the point
    long lineMicros = 0;       // the chip's own work on each record
    long eraseMicros = 50000;  // clearing the memory
    long spinMicros = 0;       // busy-wait this long before each reply is due
    bool judgeRecords = true;  // false: every line is answered "G"
    FILE *log = nullptr;       // where rejected lines are reported
    std::function<void(long line)> onLine;  // called as each line arrives, before its verdict
};

enum ChipStage { stageWake, stageClear, stageLoadCommand, stageRecords, stageOther, stageCount };

struct RejectedLine {
    long line;
    char verdict;
    std::string why;
};

// What one session with the host looked like.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the name is the compiler's own, in the copy it makes of the array below
struct ChipSession {
    std::string received[stageCount];  // every byte received, by stage
    std::vector<std::string> protocolErrors;
    std::vector<RejectedLine> rejected;
    ChipMemory memory;
    long lines = 0;                // lines received in load mode
    long repliedBytes = 0;         // bytes the chip sent the host
    int baud = 0;                  // speed of the first byte received
    bool hungUp = false;           // the chip closed the port
    double loadSeconds = 0;        // from the load command to the last verdict
    double verdictLateMicros = 0;  // summed lateness of verdicts against the model
    double cpuSeconds = 0;         // what serving the session cost
    double firstByteSeconds = 0;   // when the host's first byte came (clock.h)
    double endSeconds = 0;         // when the session ended
    // How long the chip's thread waited for a CPU, from its last sleep
    // before the host's first byte to the session's end: on a busy machine,
    // how late its replies may have been for reasons not the host's.
    double cpuQueueMicros = 0;
    explicit ChipSession(size_t flashSize = defaultFlashSize) : memory(flashSize) {}
};

using Nanos = int64_t;
const Nanos noneDue = INT64_MAX;

struct OutByte {
    Nanos due;  // when its last bit reaches the host
    char byte;
    bool verdict;
};

// What the loader keeps between the bytes of a session.
struct RomLoader {
    const ChipOptions &options;
    ChipSession &session;
    enum Mode { asleep, command, load } mode = asleep;
    ChipStage stage = stageWake;
    std::string commandLine;
    std::string recordLine;
    bool swallowLineFeed = false;
    bool afterPromptSent = false;
    bool wokenUp = false;  // a host has sent the wake-up
    std::deque<OutByte> outgoing;
    Nanos byteNanos = 0;  // one byte's time on the wire
    Nanos lastArrival = 0;
    Nanos outFree = 0;  // when the line out is free for the next byte
    Nanos loadStart = 0;
    long bytesSent = 0;

    RomLoader(const ChipOptions &chipOptions, ChipSession &chipSession)
        : options(chipOptions), session(chipSession) {}
};

// The chip's line for a rejected record: its number, the verdict sent, why.
std::string rejectionLine(const RejectedLine &rejected);

// The host's speed, as its port is set now (0 if unknown: no wire time).
void setWireSpeed(RomLoader &loader, int baud);
// Takes bytes the host wrote, seen at that time: each is stamped with when
// its last bit reaches the chip. Stops at a hang-up (session.hungUp).
void receive(RomLoader &loader, const char *bytes, size_t count, Nanos seen);
// How many reply bytes are due by then, from the front of outgoing.
size_t dueCount(const RomLoader &loader, Nanos now);
// Those of them the host was handed, at that time.
void handedOver(RomLoader &loader, size_t count, Nanos now);
// When the next reply byte is due; noneDue if none is waiting.
Nanos nextDue(const RomLoader &loader);
