// An emulation of the DS89C420 ROM loader on the master side of a
// pseudo-terminal, with the wire's timing: every byte takes 10 bits at the
// speed the host set on the port, in both directions.
#pragma once

#include <cstdint>
#include <cstdio>
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

// A wait for a CPU this long may have held a reply back past a host's
// patience (hexpush gives the banner 20 ms): a session that failed after it
// may say nothing of the host.
const double lateForCpuMicros = 5000;

// Serves one session on the master side: from the first byte the host sends
// until the host closes the port, the chip hangs up, or stopFd (when not -1)
// becomes readable, which is left for the caller to drain. On a hang-up the
// master is closed and masterFd becomes -1.
void serveSession(int &masterFd, const ChipOptions &options, ChipSession &session, int stopFd);
