#include "record_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "loader_dialog.h"
#include "serial_link.h"

namespace {

long linesSent = 0;

// The progress line, drawn under "Loading file..." only on a terminal.
struct Progress {
    bool wanted = false;
    bool shown = false;
    long totalLines = 0;      // 0 when the file could not be read ahead
    long long fileBytes = 0;  // 0 when the size is not known
    long long bytesSent = 0;
    double started = 0;
    double lastDrawn = 0;
} progress;

const double redrawSeconds = 0.1;

double secondsNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

void startProgress() {
    progress.wanted = isatty(STDOUT_FILENO);
    progress.shown = false;
    progress.bytesSent = 0;
    struct stat fileStatus;
    bool sized = fstat(fileHandle, &fileStatus) == 0 && S_ISREG(fileStatus.st_mode);
    progress.fileBytes = sized ? fileStatus.st_size : 0;
    progress.started = progress.lastDrawn = secondsNow();
}

void drawProgress(int lineLength) {
    progress.bytesSent += lineLength;
    double now = secondsNow();
    if (!progress.wanted || now - progress.lastDrawn < redrawSeconds) return;
    progress.lastDrawn = now;
    double rate = progress.bytesSent / (now - progress.started);
    if (progress.totalLines > 0)
        printf("\r  %ld/%ld lines", linesSent, progress.totalLines);
    else
        printf("\r  %ld lines", linesSent);
    if (progress.fileBytes > 0) printf("  %lld%%", progress.bytesSent * 100 / progress.fileBytes);
    printf("  %.1f kB/s", rate / 1000);
    if (progress.fileBytes > progress.bytesSent) {
        long secondsLeft = static_cast<long>((progress.fileBytes - progress.bytesSent) / rate);
        printf("  %ld:%02ld left", secondsLeft / 60, secondsLeft % 60);
    }
    fputs("\033[K", stdout);
    fflush(stdout);
    progress.shown = true;
}

// A fragment left without a line feed at the end of the file is worth
// sending unless it is only padding: white space or the old end-of-file mark.
bool isPaddingOnly(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        bool padding = byte == ' ' || byte == '\t' || byte == '\r' || byte == '\v' ||
                       byte == '\f' || byte == 0x1a;
        if (!padding) return false;
    }
    return true;
}

[[noreturn]] void stopOnOverlongLine(long lineNumber) {
    clearProgress();
    fprintf(stderr, "%s: line %ld is longer than %d bytes\n", hexFileName, lineNumber,
            loadBufferSize);
    exit(1);
}

[[noreturn]] void stopOnFileError() {
    clearProgress();
    fprintf(stderr, "%s: %s\n", hexFileName, strerror(errno));
    exit(1);
}

int lineLengthAtFront() {
    const void *lineFeed = memchr(loadBuffer, '\n', bufferedCount);
    if (!lineFeed) return 0;
    return static_cast<int>(static_cast<const unsigned char *>(lineFeed) - loadBuffer) + 1;
}

void sendLineAtFront(int lineLength) {
    ++linesSent;
    if (writeCOM(loadBuffer, lineLength) < lineLength) {
        stopOnLostPort("The port does not take the line");
    }
    char verdict = readCOMwait();
    if (verdict != 'G') {
        clearProgress();
        putc(verdict, stdout);
        puts("\nLoad failed\n");
        exit(1);
    }
    drawProgress(lineLength);
    bufferedCount -= lineLength;
    memmove(loadBuffer, loadBuffer + lineLength, bufferedCount);
}

// At the end of the file: what is left has no line feed.
void finishLastFragment() {
    if (isPaddingOnly(loadBuffer, bufferedCount)) {
        bufferedCount = 0;
        return;
    }
    if (bufferedCount == loadBufferSize) stopOnOverlongLine(linesSent + 1);
    loadBuffer[bufferedCount++] = '\n';
    sendLineAtFront(bufferedCount);
}

// Number of the first line that cannot fit the work buffer with its line
// feed (or the one to be added), or 0 when every line fits.
long findOverlongLine() {
    off_t offset = 0;
    long lineNumber = 1;
    long lineLength = 0;  // bytes of the current line, its line feed included
    ssize_t got;
    while ((got = pread(fileHandle, loadBuffer, loadBufferSize, offset)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (++lineLength > loadBufferSize) return lineNumber;
            if (loadBuffer[i] == '\n') {
                ++lineNumber;
                lineLength = 0;
            }
        }
        offset += got;
    }
    if (got < 0) stopOnFileError();
    // A last line without a line feed gets one added when it is sent.
    if (lineLength + 1 > loadBufferSize) return lineNumber;
    progress.totalLines = lineLength > 0 ? lineNumber : lineNumber - 1;
    return 0;
}

}  // namespace

void checkLinesFit() {
    long overlongLine = findOverlongLine();
    if (overlongLine > 0) stopOnOverlongLine(overlongLine);
}

void clearProgress() {
    if (progress.shown) fputs("\r\033[K", stdout);
    progress.shown = false;
    fflush(stdout);
}

void streamRecords() {
    startProgress();
    bufferedCount = 0;
    linesSent = 0;
    bool moreInput = true;
    while (moreInput) {
        ssize_t got = read(fileHandle, loadBuffer + bufferedCount, loadBufferSize - bufferedCount);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) stopOnFileError();
        bufferedCount += static_cast<int>(got);
        if (got == 0) {
            finishLastFragment();
            moreInput = false;
        }
        int lineLength;
        while ((lineLength = lineLengthAtFront()) > 0) sendLineAtFront(lineLength);
        if (bufferedCount == loadBufferSize) stopOnOverlongLine(linesSent + 1);
    }
    clearProgress();
}
