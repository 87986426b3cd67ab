// Fuzzes the whole run, with the port and its claim doubled. The input: the
// HEX file's size (two bytes, low first), the file, then what the chip
// sends, as chunks (readPort). At the end of
// the run, however it ends, what hexpush did must be what the README says,
// or the run aborts:
// - "Done loading" and status 0 only when every line was answered G;
// - standard error holds printable ASCII and line feeds alone;
// - the port got the wake-up, "K", "LB", then the file's lines, each as it
//   stands, a line feed added to a last fragment unless it is only padding,
//   and nothing beyond; nothing at all when a line (a last one with the line
//   feed it would be given) is longer than 1024 bytes, and the message names
//   that line.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "port_claim.h"
#include "serial_port.h"

int hexpushMain(int argc, char *argv[]);

namespace {

// What the port was given, and what it was sent.
struct {
    std::string chip;      // what the chip sends, in chunks (readPort)
    size_t next = 0;       // where the next byte of it is
    size_t left = 0;       // bytes left of the current chunk
    std::string written;   // every byte hexpush wrote
    long lines = 0;        // lines written after the load command
    std::string verdicts;  // the first byte read after each of them
    bool verdictDue = false;
} fuzzPort;

std::string file;
char path[] = "/tmp/hexpush-fuzz-XXXXXX";

std::string contents(int stream) {
    std::string text(static_cast<size_t>(lseek(stream, 0, SEEK_END)), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(stream, &text[0], text.size(), 0))));
    return text;
}

// The lines as they go out, and the number of the first that is too long.
std::string expectedLines(long &overlong) {
    std::string sent;
    size_t start = 0, end;
    long number = 1;
    for (; (end = file.find('\n', start)) != std::string::npos; start = end + 1, ++number) {
        if (end + 1 - start > 1024 && !overlong) overlong = number;
        sent += file.substr(start, end + 1 - start);
    }
    std::string last = file.substr(start);
    if (last.size() + 1 > 1024 && !overlong) overlong = number;
    if (last.find_first_not_of(" \t\r\v\f\x1a") != std::string::npos) sent += last + "\n";
    return sent;
}

void judge(int status, void *) {
    fflush(stdout);
    fflush(stderr);
    unlink(path);
    std::string out = contents(STDOUT_FILENO), err = contents(STDERR_FILENO);
    for (char c : err)
        if (c != '\n' && (c < 0x20 || c > 0x7e)) abort();
    long overlong = 0;
    std::string whole = "\r\n\r\nK\r\nLB\r\n" + expectedLines(overlong);
    const std::string &sent = fuzzPort.written;
    if (overlong) {
        std::string named = "line " + std::to_string(overlong) + " is longer than 1024 bytes";
        if (!sent.empty() || err.find(named) == std::string::npos) abort();
    }
    if (whole.compare(0, sent.size(), sent) != 0) abort();
    bool done = out.find("Done loading\n") != std::string::npos;
    if (done != (status == 0)) abort();
    if (done && (sent != whole || fuzzPort.verdicts != std::string(fuzzPort.lines, 'G'))) abort();
}

}  // namespace

// The port and its claim: what the chip sends comes from the fuzz input,
// what hexpush writes is kept for the oracle, no wait sleeps, and the port
// is lost once the input runs out, so every run ends.
// One unproductive attempt is the whole silence allowance.
const long portPauseMicros = 20000;

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
    if (fuzzPort.verdictDue) fuzzPort.verdicts += static_cast<char>(space[0]);
    fuzzPort.verdictDue = false;
    return got;
}

int writePort(const unsigned char *bytes, int count, long) {
    fuzzPort.verdictDue = fuzzPort.written.size() >= strlen("\r\n\r\nK\r\nLB\r\n");
    fuzzPort.lines += fuzzPort.verdictDue;
    fuzzPort.written.append(reinterpret_cast<const char *>(bytes), count);
    return count;
}

int main(int argc, char *argv[]) {
    if (argc != 2) return 2;
    std::ifstream input(argv[1], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    size_t size = bytes.size() < 2 ? 0 : (unsigned char)bytes[0] | (unsigned char)bytes[1] << 8;
    file = bytes.substr(std::min<size_t>(2, bytes.size()), size);
    fuzzPort.chip = bytes.substr(std::min(bytes.size(), 2 + file.size()));
    int hexFile = mkstemp(path);
    if (hexFile < 0 || write(hexFile, file.data(), file.size()) != ssize_t(file.size())) return 2;
    close(hexFile);
    dup2(fileno(tmpfile()), STDOUT_FILENO);
    dup2(fileno(tmpfile()), STDERR_FILENO);
    on_exit(judge, nullptr);
    char program[] = "hexpush", port[] = "PORT";
    char *arguments[] = {program, port, path, nullptr};
    exit(hexpushMain(3, arguments));
}
