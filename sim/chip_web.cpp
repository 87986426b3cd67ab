// The virtual chip inside the web page: the same loader as hexpush-sim's,
// driven by the page's own port (web/virtual_port.js), which hands it the
// host's bytes with the page's clock (milliseconds, performance.now()) and
// takes its replies as they come due. One session from each open to the
// next; its memory and its account stay until then.
#include <emscripten.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "chip_account.h"
#include "image_format.h"
#include "rom_loader.h"

namespace {

// As hexpush-sim serves by default: a 16 KiB memory, judged, on the wire's time.
const ChipOptions chipOptions{};
std::unique_ptr<ChipSession> session;
std::unique_ptr<RomLoader> loader;
std::string text;  // the last text handed to the page

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

}  // extern "C"
