// Fuzzes the whole run. The input: the HEX file's size (two bytes, low
// first), the file, then what the chip sends (fuzz_port.cpp). At the end of
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
#include <fstream>
#include <iterator>

#include "fuzz_port.h"

int hexpushMain(int argc, char *argv[]);

namespace {

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
