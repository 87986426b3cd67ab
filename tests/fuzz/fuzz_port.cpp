// The port and its claim in the fuzz build: what the chip sends comes from
// the fuzz input, what hexpush writes is kept for the oracle, no wait
// sleeps, and the port is lost once the input runs out, so every run ends.
#include "fuzz_port.h"

#include "port_claim.h"
#include "serial_port.h"

// One unproductive attempt is the whole silence allowance.
const long portPauseMicros = 20000;

FuzzPort fuzzPort;

namespace {

const std::string dialogSent = "\r\n\r\nK\r\nLB\r\n";
bool verdictDue = false;

}  // namespace

bool openSerialPort(const char *, int, PortFailure &) { return true; }
intptr_t serialPortHandle() { return 0; }
bool setSerialLine(PortFailure &) { return true; }
void closeSerialPort() {}
const char *lostPortReason() { return "the fuzz input ended"; }
void drainThenWait(long) {}
PortClaim claimPort(intptr_t) { return portClaimed; }
void askForLowLatency() {}
void releasePort() {}

// The chip's bytes are chunks, each a length byte and that many bytes; a
// length of 0 is a silence.
int readPort(unsigned char *space, int count, long) {
    std::string &chip = fuzzPort.chip;
    if (fuzzPort.left == 0) {
        if (fuzzPort.next >= chip.size()) return portLost;
        fuzzPort.left = static_cast<unsigned char>(chip[fuzzPort.next++]);
        if (fuzzPort.left == 0) return 0;
    }
    int got = static_cast<int>(std::min<size_t>({size_t(count), fuzzPort.left, chip.size() - fuzzPort.next}));
    if (got == 0) return portLost;
    chip.copy(reinterpret_cast<char *>(space), got, fuzzPort.next);
    fuzzPort.next += got;
    fuzzPort.left -= got;
    if (verdictDue) fuzzPort.verdicts += static_cast<char>(space[0]);
    verdictDue = false;
    return got;
}

int writePort(const unsigned char *bytes, int count, long) {
    verdictDue = fuzzPort.written.size() >= dialogSent.size();
    fuzzPort.lines += verdictDue;
    fuzzPort.written.append(reinterpret_cast<const char *>(bytes), count);
    return count;
}
