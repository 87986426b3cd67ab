// The virtual chip inside the web page: the same loader as hexpush-sim's,
// driven by the page's own port (web/virtual_port.js), which hands it the
// host's bytes with the page's clock (milliseconds, performance.now()) and
// takes its replies as they come due. One session from each open to the
// next; its memory and its account stay until then. After a clean load the
// same chip runs the program (web/chip_run.js), in chip time the page
// keeps to its own clock.
#include <emscripten.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "chip_account.h"
#include "image_format.h"
#include "program_run.h"
#include "rom_loader.h"

namespace {

// As hexpush-sim serves by default: a 16 KiB memory, judged, on the wire's time.
const ChipOptions chipOptions{};
std::unique_ptr<ChipSession> session;
std::unique_ptr<RomLoader> loader;
std::string text;  // the last text handed to the page
ProgramRun run;    // the program's run, once there is one
std::vector<SerialByte> sent;  // its bytes, for the page to take

Nanos nanosAt(double millis) { return static_cast<Nanos>(millis * 1e6); }

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void chipOpen(int baud) {
    loader.reset();
    session = std::make_unique<ChipSession>(chipOptions.flashSize);
    loader = std::make_unique<RomLoader>(chipOptions, *session);
    setWireSpeed(*loader, baud);
}

EMSCRIPTEN_KEEPALIVE void chipReceive(const char *bytes, int count, double nowMillis) {
    if (loader) receive(*loader, bytes, count, nanosAt(nowMillis));
}

// Copies up to size reply bytes due by then into space; returns how many.
EMSCRIPTEN_KEEPALIVE int chipTakeDue(char *space, int size, double nowMillis) {
    if (!loader) return 0;
    Nanos now = nanosAt(nowMillis);
    size_t count = std::min(dueCount(*loader, now), static_cast<size_t>(size));
    for (size_t i = 0; i < count; ++i) space[i] = loader->outgoing[i].byte;
    handedOver(*loader, count, now);
    return static_cast<int>(count);
}

// When the next reply byte is due, or -1 if none is waiting.
EMSCRIPTEN_KEEPALIVE double chipNextDue() {
    Nanos due = loader ? nextDue(*loader) : noneDue;
    return due == noneDue ? -1 : due / 1e6;
}

// The host has closed the port: the session ends.
EMSCRIPTEN_KEEPALIVE void chipClose(double nowMillis) {
    if (session) session->endSeconds = nowMillis / 1e3;
    loader.reset();
}

// For a benchmark: the session's seconds from the host's first byte to its
// close, the wire's own seconds, its lines, and how late (microseconds, all
// told) the page took its verdicts.
EMSCRIPTEN_KEEPALIVE const char *chipFigures() {
    char figures[160] = "";
    if (session)
        snprintf(figures, sizeof figures, "%.6f %.6f %ld %.0f",
                 session->endSeconds - session->firstByteSeconds, wireSeconds(*session, chipOptions),
                 session->lines, session->verdictLateMicros);
    text = figures;
    return text.c_str();
}

// The session's account, as hexpush-sim prints it: rejected lines first.
EMSCRIPTEN_KEEPALIVE const char *chipAccount() {
    text.clear();
    if (!session) return text.c_str();
    for (const RejectedLine &rejected : session->rejected) text += rejectionLine(rejected);
    bool clean = true;
    text += sessionAccount(*session, chipOptions.judgeRecords, clean);
    return text.c_str();
}

// What the chip holds, as Intel HEX.
EMSCRIPTEN_KEEPALIVE const char *chipMemoryHex() {
    text = session ? hexImage(session->memory) : "";
    return text.c_str();
}

// Whether the last load was clean, so that there is a program to run.
EMSCRIPTEN_KEEPALIVE int chipHasProgram() {
    if (!session) return 0;
    const ChipMemory &memory = session->memory;
    return session->rejected.empty() && session->protocolErrors.empty() && memory.erased && memory.endRecordSeen;
}

// Resets the chip into the program it holds, at this crystal.
EMSCRIPTEN_KEEPALIVE void chipRunStart(double crystalHz) {
    RunOptions options;
    options.timeoutMillis = 0;
    options.crystalHz = crystalHz;
    sent.clear();
    if (session) startRun(run, session->memory, options);
}

// Runs to that chip time (milliseconds from the reset); returns the chip
// time reached, which stops short only where the chip stopped.
EMSCRIPTEN_KEEPALIVE double chipRunTo(double millis) {
    advanceRun(run, clocksAt(run.chip, millis / 1e3), sent);
    return chipSeconds(run.chip) * 1e3;
}

EMSCRIPTEN_KEEPALIVE int chipStopped() { return run.end != RunEnd::running; }

// Copies up to size of the bytes sent, with the speed each went at.
EMSCRIPTEN_KEEPALIVE int chipTakeSent(uint8_t *bytes, double *bauds, int size) {
    int count = std::min(static_cast<int>(sent.size()), size);
    for (int i = 0; i < count; ++i) {
        bytes[i] = sent[i].byte;
        bauds[i] = sent[i].baud;
    }
    sent.erase(sent.begin(), sent.begin() + count);
    return count;
}

// Bytes from the terminal on the receive line now, at its speed.
EMSCRIPTEN_KEEPALIVE void chipRunReceive(const uint8_t *bytes, int count, double baud) {
    serialReceive(run.chip, bytes, static_cast<size_t>(count), baud, run.chip.clocks);
}

// The speeds the program's serial port runs at now (0: its timer is off).
EMSCRIPTEN_KEEPALIVE double chipSendBaud() { return sendBaud(run.chip); }
EMSCRIPTEN_KEEPALIVE double chipReceiveBaud() { return receiveBaud(run.chip); }

// The 32 pins, P0 to P3, a byte a port.
EMSCRIPTEN_KEEPALIVE void chipPins(uint8_t *ports) {
    for (int port = 0; port < 4; ++port) ports[port] = portPins(run.chip, port);
}

EMSCRIPTEN_KEEPALIVE void chipGround(int port, int bit, int grounded) {
    groundPin(run.chip, port, bit, grounded != 0);
}

EMSCRIPTEN_KEEPALIVE const char *chipRunAccount() {
    text = runAccount(run);
    return text.c_str();
}

}  // extern "C"
