#include "console.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "system_error.h"
#include "terminal.h"

namespace {

struct Progress {
    bool wanted = false;
    bool transferring = false;  // the transfer has started
    long totalLines = 0;
    long long totalBytes = 0;
    long linesAccepted = 0;
    long long bytesSent = 0;
    double started = 0;
    double lastDrawn = 0;
} progress;

// Whether a progress line is on the screen; read by signal handlers too.
volatile sig_atomic_t progressShown = 0;

const double redrawSeconds = 0.1;
const int fieldSize = 48;
const int defaultColumns = 80;

// Fields in the order they matter: the first is always shown, cut to fit if
// it must be, and those after it that do not fit are dropped from the right.
// The last column is left free so the terminal never wraps.
void drawFields(const char (*fields)[fieldSize], int count) {
    int columns = terminalColumns();
    int room = (columns > 0 ? columns : defaultColumns) - 1;
    char line[4 * fieldSize + 16] = "";
    int length = snprintf(line, sizeof line, "  %.*s", room > 2 ? room - 2 : 0, fields[0]);
    for (int i = 1; i < count; ++i) {
        int fieldLength = static_cast<int>(strlen(fields[i]));
        if (fieldLength == 0) continue;
        if (length + 2 + fieldLength > room) break;
        length += snprintf(line + length, sizeof line - length, "  %s", fields[i]);
    }
    printf("%s%s", eraseLineText(), line);
    fflush(stdout);
    progressShown = 1;
}

void drawTransfer(double now) {
    char fields[4][fieldSize] = {};
    if (progress.totalLines > 0)
        snprintf(fields[0], fieldSize, "%ld/%ld lines", progress.linesAccepted,
                 progress.totalLines);
    else
        snprintf(fields[0], fieldSize, "%ld lines", progress.linesAccepted);
    if (progress.totalBytes > 0)
        snprintf(fields[1], fieldSize, "%lld%%", progress.bytesSent * 100 / progress.totalBytes);
    double rate = progress.bytesSent / (now - progress.started);
    snprintf(fields[2], fieldSize, "%.1f kB/s", rate / 1000);
    if (progress.totalBytes > progress.bytesSent && rate > 0) {
        long secondsLeft = static_cast<long>((progress.totalBytes - progress.bytesSent) / rate);
        snprintf(fields[3], fieldSize, "%ld:%02ld left", secondsLeft / 60, secondsLeft % 60);
    }
    drawFields(fields, 4);
}

const char *escapeName(unsigned char byte) {
    switch (byte) {
        case '\\': return "\\\\";
        case '\r': return "\\r";
        case '\n': return "\\n";
        case '\t': return "\\t";
        default: return nullptr;
    }
}

}  // namespace

void prepareConsole() {
    // With nowhere to say anything, the run cannot be watched or judged.
    if (!prepareStandardStreams()) _Exit(1);
    progress.wanted = outputIsTerminal();
}

void say(const char *line) {
    clearProgress();
    puts(line);
    fflush(stdout);
}

void sayByte(char byte) {
    clearProgress();
    if (!wireBytesShownEscaped()) {
        putc(byte, stdout);
        return;
    }
    char escaped[8];
    escapeBytes(reinterpret_cast<const unsigned char *>(&byte), 1, escaped, sizeof escaped);
    fputs(escaped, stdout);
}

void tell(const char *thing, const char *reason) {
    clearProgress();
    writeErrorText(thing);
    writeErrorText(": ");
    writeErrorText(reason);
    writeErrorText("\n");
}

void escapeBytes(const unsigned char *bytes, int count, char *text, int space) {
    int length = 0;
    for (int i = 0; i < count; ++i) {
        char escaped[8];
        const char *name = escapeName(bytes[i]);
        if (name)
            snprintf(escaped, sizeof escaped, "%s", name);
        else if (bytes[i] < 0x20 || bytes[i] > 0x7e)
            snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
        else
            snprintf(escaped, sizeof escaped, "%c", bytes[i]);
        int escapedLength = static_cast<int>(strlen(escaped));
        if (length + escapedLength >= space) break;
        memcpy(text + length, escaped, escapedLength);
        length += escapedLength;
    }
    text[length] = '\0';
}

void stopWith(const char *thing, const char *reason) {
    tell(thing, reason);
    exit(1);
}

void stopWithSystemError(const char *thing) { stopWith(thing, lastSystemError()); }

void stopSaying(const char *message) {
    clearProgress();
    writeErrorText(message);
    writeErrorText("\n");
    exit(1);
}

void sayAndStop(const char *line) {
    say(line);
    exit(1);
}

bool progressWanted() { return progress.wanted; }

void startProgress(long totalLines, long long totalBytes) {
    progress.transferring = true;
    progress.totalLines = totalLines;
    progress.totalBytes = totalBytes;
    progress.started = progress.lastDrawn = secondsNow();
}

void advanceProgress(long linesAccepted, int lineBytes) {
    progress.linesAccepted = linesAccepted;
    progress.bytesSent += lineBytes;
    double now = secondsNow();
    if (!progress.wanted || now - progress.lastDrawn < redrawSeconds) return;
    progress.lastDrawn = now;
    drawTransfer(now);
}

void showLoaderSilence(long seconds) {
    if (!progress.wanted) return;
    char fields[2][fieldSize] = {};
    snprintf(fields[0], fieldSize, "loader silent %ld s", seconds);
    if (progress.transferring)
        snprintf(fields[1], fieldSize, "%ld lines accepted", progress.linesAccepted);
    drawFields(fields, 2);
}

void clearProgress() {
    if (progressShown) fputs(eraseLineText(), stdout);
    progressShown = 0;
    fflush(stdout);
}

void eraseProgressAfterSignal() {
    if (progressShown) writeOutputNow(eraseLineText());
    progressShown = 0;
}
