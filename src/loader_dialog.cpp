#include "loader_dialog.h"

#include <cstdio>
#include <cstring>

#include "console.h"
#include "run_state.h"
#include "serial_link.h"
#include "wake_reply.h"

namespace {

const char wakeUp[] = "\r\n\r\n";
const char loaderBanner[] =
    "\r\nDS89C420 LOADER VERSION 1.0  COPYRIGHT (C) 2000 DALLAS SEMICONDUCTOR\r\n> \r\n\r\n> ";
const int bannerLength = sizeof loaderBanner - 1;
static_assert(bannerLength == 80, "the loader's banner is 80 bytes");

const char clearCommand[] = "K\r\n";
const char clearReply[] = "K\r\n\r\n> ";
const char loadCommand[] = "LB\r\n";

void sendCommand(const char *text) { writeCOM(text, static_cast<int>(strlen(text))); }

[[noreturn]] void stopOnUnexpectedReply(const char *expected) {
    // Both replies start with the command they answer, up to its line end.
    int commandLength = static_cast<int>(strcspn(expected, "\r"));
    char message[64];
    snprintf(message, sizeof message, "Unexpected reply from the loader to \"%.*s\"", commandLength,
             expected);
    stopSaying(message);
}

// Takes exactly the reply's length from the port, however long the loader
// pauses, so that anything it sends beyond the reply is left for later. A
// reply that has already gone wrong cannot come right: it ends the run at
// once instead of waiting for the rest. A read that comes back short has
// seen a whole silence allowance; from then on the wait sleeps until the
// loader speaks (a clear takes a while), rather than poll at every pause.
void waitForReply(const char *expected, int length) {
    bufferedCount = 0;
    Silence silence = silenceFromNow();
    bool allowanceSpent = false;
    while (bufferedCount < length) {
        unsigned char *missing = loadBuffer + bufferedCount;
        int count = length - bufferedCount;
        int received = allowanceSpent ? readCOMwhenItComes(missing, count, silence) : readCOM(missing, count);
        allowanceSpent = received < count;
        if (received == 0) continue;
        bufferedCount += received;
        silence = silenceFromNow();
        if (memcmp(loadBuffer, expected, bufferedCount) != 0) stopOnUnexpectedReply(expected);
    }
}

}  // namespace

void getLoaderPrompt() {
    say("Getting loader prompt...");
    sendCommand(wakeUp);
    // The silence allowance must not start while the wake-up is still on
    // the wire: at 2400 baud it alone outlasts the allowance.
    waitWireTime(static_cast<int>(strlen(wakeUp)) + 1);
    int received = readCOM(loadBuffer, bannerLength);
    if (received < bannerLength || memcmp(loadBuffer, loaderBanner, bannerLength) != 0) {
        explainWakeReply(loadBuffer, received, wakeUp, loaderBanner);
        sayAndStop("No 420 Loader found");
    }
}

void clearMemory() {
    say("Klearing memory...");
    sendCommand(clearCommand);
    waitForReply(clearReply, static_cast<int>(strlen(clearReply)));
}

void startLoad() {
    say("Loading file...");
    sendCommand(loadCommand);
    waitForReply(loadCommand, static_cast<int>(strlen(loadCommand)));
}

