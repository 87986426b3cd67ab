// Measures how close a load comes to the wire's own time, one load at a
// time and eight at once, against the virtual chip with the wire's timing.
//   hexpush-bench HEXPUSH_BINARY [REPEATS] [RESULTS_FILE] [BAUD...]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "image_file.h"
#include "load_runner.h"

namespace {

const int imageBytes = 32 * 1024;
const char imagePath[] = "/tmp/hexpush-bench.hex";

struct Load {
    double wallSeconds = 0;
    double wireSeconds = 0;
    double cpuSeconds = 0;
    long lines = 0;
    double chipLateMicros = 0;  // how late the chip's verdicts were, a line
    bool imageCorrect = false;
};

double ratio(const Load &load) { return load.wallSeconds / load.wireSeconds; }
double overheadMicros(const Load &load) {
    return (load.wallSeconds - load.wireSeconds) * 1e6 / std::max(1L, load.lines);
}
double cpuShare(const Load &load) { return load.cpuSeconds / load.wallSeconds; }

// The wire's own time for a session: every byte both ways at 10 bits, plus
// the time the chip is modelled to spend on its replies and records.
double wireSeconds(const ChipSession &session, const ChipOptions &options, long repliedBytes) {
    long sent = 0;
    for (const std::string &stage : session.received) sent += static_cast<long>(stage.size());
    double bytesTime = (sent + repliedBytes) * 10.0 / session.baud;
    long replies = session.lines + 4;
    double chipWork =
        options.eraseMicros + replies * options.reactionMicros + session.lines * options.lineMicros;
    return bytesTime + chipWork / 1e6;
}

// Runs several loads at once, each against its own virtual chip.
std::vector<Load> runLoads(const char *hexpush, int baud, int count, const std::string &expected) {
    ChipOptions options;
    options.flashSize = 65536;
    // A lone chip spins the last microseconds before each reply so that its
    // own lateness stays out of the figures; eight chips spinning on two cores
    // would take the time from the loads being measured.
    options.spinMicros = count == 1 ? 60 : 0;
    std::vector<std::unique_ptr<ChipOnPort>> chips;
    std::vector<HostRun> hosts(count);
    std::vector<HostRun *> running;
    for (int i = 0; i < count; ++i) chips.push_back(std::make_unique<ChipOnPort>(options));
    for (int i = 0; i < count; ++i) {
        hosts[i] = startHost(hexpush, {"PORT", imagePath, std::to_string(baud)}, chips[i]->port);
        running.push_back(&hosts[i]);
    }
    finishHosts(running, 600);
    std::vector<Load> loads(count);
    for (int i = 0; i < count; ++i) {
        chips[i]->finish();
        const ChipSession &session = chips[i]->session;
        Load &load = loads[i];
        load.wallSeconds = hosts[i].seconds;
        load.cpuSeconds = hosts[i].cpuSeconds;
        load.wireSeconds = wireSeconds(session, options, 80 + 7 + 4 + session.lines);
        load.lines = session.lines;
        load.chipLateMicros = session.verdictLateMicros / std::max(1L, session.lines);
        load.imageCorrect = hosts[i].status == 0 && binaryImage(session.memory) == expected &&
                            session.rejected.empty() && session.protocolErrors.empty();
    }
    return loads;
}

template <typename Measure>
std::pair<double, double> medianAndSpread(const std::vector<Load> &loads, Measure measure) {
    std::vector<double> values;
    for (const Load &load : loads) values.push_back(measure(load));
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back() - values.front()};
}

bool allCorrect(const std::vector<Load> &loads) {
    return std::all_of(loads.begin(), loads.end(),
                       [](const Load &load) { return load.imageCorrect; });
}

// One row of the results table; the CPU figure is hexpush's CPU seconds per
// second of wall time (for a gang, all eight processes over the slowest load).
std::string tableRow(const std::string &name, const std::vector<Load> &loads, double cpuPerWall) {
    auto [wall, wallSpread] = medianAndSpread(loads, [](const Load &l) { return l.wallSeconds; });
    auto [ratioMedian, ratioSpread] = medianAndSpread(loads, ratio);
    auto [overhead, overheadSpread] = medianAndSpread(loads, overheadMicros);
    double chipLate = medianAndSpread(loads, [](const Load &l) { return l.chipLateMicros; }).first;
    char row[512];
    snprintf(row, sizeof row,
             "| %s | %zu | %.2f ± %.2f | %.2f | %.4f ± %.4f | %.0f ± %.0f | %.0f | %.4f | %s |\n",
             name.c_str(), loads.size(), wall, wallSpread / 2, loads[0].wireSeconds, ratioMedian,
             ratioSpread / 2, overhead, overheadSpread / 2, chipLate, cpuPerWall,
             allCorrect(loads) ? "correct" : "WRONG");
    fputs(row, stdout);
    fflush(stdout);
    return row;
}

std::string makeImage() {
    std::string command = "srec_cat -generate 0 " + std::to_string(imageBytes) + " -random -o " +
                          imagePath + " -Intel -Output_Block_Size 16";
    std::string binary = std::string(imagePath) + ".bin";
    std::string convert =
        std::string("srec_cat ") + imagePath + " -Intel -o " + binary + " -Binary";
    if (system(command.c_str()) != 0 || system(convert.c_str()) != 0) {
        fprintf(stderr, "hexpush-bench: srec_cat failed (package srecord)\n");
        exit(1);
    }
    return readWholeFile(binary);
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc < 2) {
        fprintf(stderr, "usage: hexpush-bench HEXPUSH_BINARY [REPEATS] [RESULTS_FILE] [BAUD...]\n");
        return 2;
    }
    const char *hexpush = argv[1];
    int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    std::vector<int> rates{115200, 57600, 9600};
    if (argc > 4) rates.clear();
    for (int i = 4; i < argc; ++i) rates.push_back(atoi(argv[i]));
    std::string expected = makeImage();

    std::string table =
        "| case | loads | wall s (median ± half spread) | wire s | ratio | overhead us/line | of "
        "it, "
        "chip us/line | hexpush CPU s per wall s | image "
        "|\n|---|---|---|---|---|---|---|---|---|\n";
    bool correct = true;
    for (int baud : rates) {
        std::vector<Load> loads;
        for (int run = 0; run < repeats; ++run)
            loads.push_back(runLoads(hexpush, baud, 1, expected)[0]);
        table += tableRow("1 load at " + std::to_string(baud), loads,
                          medianAndSpread(loads, cpuShare).first);
        correct = correct && allCorrect(loads);
    }
    std::vector<Load> gang = runLoads(hexpush, 115200, 8, expected);
    auto slowest = std::max_element(
        gang.begin(), gang.end(), [](const Load &a, const Load &b) { return ratio(a) < ratio(b); });
    double totalCpu = 0;
    for (const Load &load : gang) totalCpu += load.cpuSeconds;
    slowest->imageCorrect = allCorrect(gang);
    table += tableRow("8 at once at 115200, slowest", {*slowest}, totalCpu / slowest->wallSeconds);
    correct = correct && allCorrect(gang);
    if (argc > 3) writeImageFile(argv[3], table);
    return correct ? 0 : 1;
}
