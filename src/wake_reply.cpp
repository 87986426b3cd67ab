#include "wake_reply.h"

#include <cstdio>
#include <cstring>

#include "console.h"
#include "serial_link.h"

namespace {

const int hexBytesShown = 16;

bool isLineEnd(unsigned char byte) { return byte == '\r' || byte == '\n'; }

// What a loader that is awake already answers a line end with.
bool onlyLineEndsAndPrompts(const unsigned char *reply, int count) {
    for (int i = 0; i < count; ++i) {
        if (isLineEnd(reply[i])) continue;
        if (reply[i] != '>' || i + 1 == count || reply[i + 1] != ' ') return false;
        ++i;
    }
    return true;
}

bool isText(const unsigned char *reply, int count) {
    for (int i = 0; i < count; ++i) {
        bool printable = reply[i] >= 0x20 && reply[i] <= 0x7e;
        if (!printable && reply[i] != '\t' && !isLineEnd(reply[i])) return false;
    }
    return true;
}

bool holdsText(const unsigned char *reply, int count, const char *text) {
    int length = static_cast<int>(strlen(text));
    for (int at = 0; at + length <= count; ++at) {
        if (memcmp(reply + at, text, length) == 0) return true;
    }
    return false;
}

void tellQuoting(const char *what, const unsigned char *reply, int count) {
    char quoted[512];
    escapeBytes(reply, count, quoted, sizeof quoted);
    char line[600];
    snprintf(line, sizeof line, "%s: \"%s\"", what, quoted);
    tellAboutPort(line);
}

void tellInHex(const unsigned char *reply, int count) {
    char line[160];
    int length = snprintf(line, sizeof line, "the reply is not text, as a line at the wrong speed reads:");
    for (int i = 0; i < count && i < hexBytesShown; ++i)
        length += snprintf(line + length, sizeof line - length, " %02X", reply[i]);
    snprintf(line + length, sizeof line - length, " (%d bytes)", count);
    tellAboutPort(line);
}

}  // namespace

void explainWakeReply(const unsigned char *reply, int count, const char *wakeUp,
                      const char *banner) {
    int bannerLength = static_cast<int>(strlen(banner));
    char line[160];
    if (count == 0) {
        snprintf(line, sizeof line, "no reply to the wake-up at %d baud", portBaud());
        tellAboutPort(line);
        tellAboutPort(
            "check that this is the chip's port, that the chip is powered and reset into its ROM "
            "loader, and that its serial lines are wired to the port");
    } else if (count == static_cast<int>(strlen(wakeUp)) && memcmp(reply, wakeUp, count) == 0) {
        tellAboutPort("the wake-up came back as it was sent, and nothing more");
        tellAboutPort(
            "the line is looped back (by a jumper, or an adapter's echo) rather than wired to the "
            "chip");
    } else if (count < bannerLength && memcmp(reply, banner, count) == 0) {
        snprintf(line, sizeof line, "the loader's banner stopped after %d of its %d bytes", count,
                 bannerLength);
        tellAboutPort(line);
    } else if (onlyLineEndsAndPrompts(reply, count)) {
        tellAboutPort(
            "only line ends and prompts came back: the loader was probably awake already, from an "
            "earlier wake-up");
        tellAboutPort("reset the chip into its ROM loader, then run hexpush again");
    } else if (holdsText(reply, count, "LOADER VERSION")) {
        tellQuoting("another loader answered", reply, count);
        tellAboutPort("hexpush knows only the DS89C420 loader's banner shown in hexpush(1)");
    } else if (isText(reply, count)) {
        tellQuoting("text came back, not the loader's banner", reply, count);
    } else {
        tellInHex(reply, count);
        tellAboutPort(
            "the ROM loader takes its speed from the first bytes it receives after a reset: reset "
            "the chip, or use the speed it was started at");
    }
}
