#include "console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Progress {
    bool wanted = false;
    bool shown = false;
    long totalLines = 0;
    long long totalBytes = 0;
    long linesSent = 0;
    long long bytesSent = 0;
    double started = 0;
    double lastDrawn = 0;
} progress;

const double redrawSeconds = 0.1;
const int fieldSize = 48;
const int defaultColumns = 80;

double secondsNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

int terminalColumns() {
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return defaultColumns;
    return size.ws_col;
}

// Fields in the order they matter; those that do not fit are dropped from
// the right, and the last column is left free so the terminal never wraps.
void drawFields(const char (*fields)[fieldSize], int count) {
    char line[4 * fieldSize + 16] = "";
    int room = terminalColumns() - 1;
    for (int i = 0; i < count; ++i) {
        if (fields[i][0] == '\0') continue;
        size_t length = strlen(line);
        if (static_cast<int>(length + 2 + strlen(fields[i])) > room) break;
        snprintf(line + length, sizeof line - length, "  %s", fields[i]);
    }
    printf("\r%s\033[K", line);
    fflush(stdout);
    progress.shown = true;
}

void drawTransfer(double now) {
    char fields[4][fieldSize] = {};
    if (progress.totalLines > 0)
        snprintf(fields[0], fieldSize, "%ld/%ld lines", progress.linesSent, progress.totalLines);
    else
        snprintf(fields[0], fieldSize, "%ld lines", progress.linesSent);
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

}  // namespace

void prepareConsole() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is the one that was closed.
            if (open("/dev/null", O_RDWR) != fd) _exit(1);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void say(const char *line) {
    clearProgress();
    puts(line);
}

void sayByte(char byte) {
    clearProgress();
    putc(byte, stdout);
}

void tell(const char *thing, const char *reason) {
    clearProgress();
    fprintf(stderr, "%s: %s\n", thing, reason);
}

void stopWith(const char *thing, const char *reason) {
    tell(thing, reason);
    exit(1);
}

void stopWithErrno(const char *thing) { stopWith(thing, strerror(errno)); }

void stopSaying(const char *message) {
    clearProgress();
    fprintf(stderr, "%s\n", message);
    exit(1);
}

void startProgress(long totalLines, long long totalBytes) {
    progress = Progress();
    progress.wanted = isatty(STDOUT_FILENO);
    progress.totalLines = totalLines;
    progress.totalBytes = totalBytes;
    progress.started = progress.lastDrawn = secondsNow();
}

void advanceProgress(long linesSent, int lineBytes) {
    progress.linesSent = linesSent;
    progress.bytesSent += lineBytes;
    double now = secondsNow();
    if (!progress.wanted || now - progress.lastDrawn < redrawSeconds) return;
    progress.lastDrawn = now;
    drawTransfer(now);
}

bool progressWanted() { return progress.wanted; }

void showLoaderSilence(long seconds) {
    if (!progress.wanted) return;
    char fields[2][fieldSize] = {};
    snprintf(fields[0], fieldSize, "waiting for the loader %ld s", seconds);
    snprintf(fields[1], fieldSize, "%ld lines sent", progress.linesSent);
    drawFields(fields, 2);
}

void clearProgress() {
    if (progress.shown) fputs("\r\033[K", stdout);
    progress.shown = false;
    fflush(stdout);
}
