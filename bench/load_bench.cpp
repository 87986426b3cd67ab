// Measures how close a load comes to the wire's own time, one load at a
// time and many at once, against virtual chips with the wire's timing.
//   hexpush-bench HEXPUSH_BINARY [REPEATS] [RESULTS_FILE|-] [EARLIER_BINARY|-] [HEXPUSH_EXE|-]
//                 [WEB_PAGE]
// With an earlier build, every case runs with both, row by row. With the
// Windows build, its loads alone run under Wine beside the others; with the
// web page, its load at 115200 in headless Chromium, through the test bridge
// that stands in for Web Serial (a figure of that bridge as much as of the
// page), timed from the wake-up to the port's close, the browser's start
// aside, and without CPU figures (the browser's processes are not its); and
// the same through the page's own virtual chip, which times it itself.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "image_file.h"
#include "load_runner.h"
#include "wine_host.h"
#include "chip_account.h"

namespace {

const int imageBytes = 32 * 1024;
const char imagePath[] = "/tmp/hexpush-bench.hex";
// The page's own chip has the DS89C420's 16 KiB: its image fills them.
const int chipImageBytes = 16 * 1024;
const char chipImagePath[] = "/tmp/hexpush-bench-16k.hex";
std::string webPage;

bool isPage(const std::string &program) { return program == BROWSER_RUNNER; }

struct Load {
    double wallSeconds = 0;
    double wireSeconds = 0;
    double cpuSeconds = 0;      // hexpush's; negative where it cannot be told apart
    double chipCpuSeconds = 0;  // the virtual chip's
    long lines = 0;
    double chipLateMicros = 0;  // how late the chip's verdicts were, a line
    bool imageCorrect = false;
};

double ratio(const Load &load) { return load.wallSeconds / load.wireSeconds; }
double overheadMicros(const Load &load) {
    return (load.wallSeconds - load.wireSeconds) * 1e6 / std::max(1L, load.lines);
}

// The image as srec_cat reads the file.
bool imageCorrect(const ChipSession &session) {
    std::string image = std::string(imagePath) + ".image";
    return writeImageFile(image, binaryImage(session.memory)) &&
           system((std::string(CHECK_IMAGE " ") + imagePath + " " + image).c_str()) == 0;
}

// Runs several loads at once, each against its own virtual chip.
std::vector<Load> runLoads(const std::string &hexpush, int baud, int count) {
    ChipOptions options;
    options.flashSize = 65536;
    // A lone chip wakes 60 us early and spins the rest, so that its own
    // lateness stays out of the figures; chips sharing the machine never spin.
    options.spinMicros = count == 1 ? 60 : 0;
    std::vector<std::unique_ptr<ChipOnPort>> chips;
    std::vector<HostRun> hosts(count);
    std::vector<HostRun *> running;
    for (int i = 0; i < count; ++i) chips.push_back(std::make_unique<ChipOnPort>(options));
    std::vector<std::string> page;
    if (isPage(hexpush)) page = {webPage};
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> arguments = page;
        arguments.insert(arguments.end(), {"PORT", imagePath, std::to_string(baud)});
        hosts[i] = startHexpush(hexpush, arguments, chips[i]->port);
        running.push_back(&hosts[i]);
    }
    finishHosts(running, 600);
    std::vector<Load> loads(count);
    for (int i = 0; i < count; ++i) {
        chips[i]->finish();
        const ChipSession &session = chips[i]->session;
        Load &load = loads[i];
        load.wallSeconds = page.empty() ? hosts[i].seconds : session.endSeconds - session.firstByteSeconds;
        load.cpuSeconds = page.empty() ? hosts[i].cpuSeconds : -1;
        load.chipCpuSeconds = session.cpuSeconds;
        load.wireSeconds = wireSeconds(session, options);
        load.lines = session.lines;
        load.chipLateMicros = session.verdictLateMicros / std::max(1L, session.lines);
        load.imageCorrect = hosts[i].status == 0 && session.rejected.empty() &&
                            session.protocolErrors.empty() && imageCorrect(session);
        if (!load.imageCorrect)
            fprintf(stderr, "hexpush-bench: a load at %d: status %d, %zu rejected, %zu breaches%s%s\n",
                    baud, hosts[i].status, session.rejected.size(), session.protocolErrors.size(),
                    session.protocolErrors.empty() ? "" : ": ",
                    session.protocolErrors.empty() ? "" : session.protocolErrors[0].c_str());
    }
    return loads;
}

// A load through the page's own virtual chip, with the figures it gives:
// how late its verdicts were taken is the page's share of a line.
Load pageChipLoad(int baud) {
    std::string figuresPath = std::string(chipImagePath) + ".chip";
    std::string memoryPath = figuresPath + ".hex";
    HostRun run = startHexpush(BROWSER_RUNNER,
                               {webPage, "--virtual-chip", figuresPath, chipImagePath, std::to_string(baud)}, "");
    finishHosts({&run}, 600);
    std::string figures = readWholeFile(figuresPath);
    size_t lineEnd = figures.find('\n');
    Load load;
    double lateMicros = 0;
    bool read = lineEnd != std::string::npos &&
                sscanf(figures.c_str(), "%lf %lf %ld %lf", &load.wallSeconds, &load.wireSeconds,
                       &load.lines, &lateMicros) == 4;
    load.cpuSeconds = load.chipCpuSeconds = -1;
    load.chipLateMicros = lateMicros / std::max(1L, load.lines);
    load.imageCorrect = read && run.status == 0 &&
                        writeImageFile(memoryPath, figures.substr(lineEnd + 1)) &&
                        system((std::string(CHECK_IMAGE " ") + chipImagePath + " " + memoryPath).c_str()) == 0;
    if (!load.imageCorrect)
        fprintf(stderr, "hexpush-bench: a load through the page's chip: status %d%s\n", run.status,
                read ? "" : ", no figures");
    return load;
}

template <typename Measure>
std::vector<double> sorted(const std::vector<Load> &loads, Measure measure) {
    std::vector<double> values;
    for (const Load &load : loads) values.push_back(measure(load));
    std::sort(values.begin(), values.end());
    return values;
}

template <typename Measure>
double median(const std::vector<Load> &loads, Measure measure) {
    std::vector<double> values = sorted(loads, measure);
    return values[values.size() / 2];
}

bool allCorrect(const std::vector<Load> &loads) {
    return std::all_of(loads.begin(), loads.end(),
                       [](const Load &load) { return load.imageCorrect; });
}

const char tableHeader[] =
    "| case | loads | wall s, median | wire s | ratio, median | ratio, slowest | overhead "
    "us/line, median | of it, chip us/line | hexpush CPU s per load s | chip CPU s per load s | "
    "images |\n|---|---|---|---|---|---|---|---|---|---|---|\n";

// One row; CPU figures are per process (or chip) per second of its load.
std::string tableRow(const std::string &name, const std::vector<Load> &loads) {
    double cpu = median(loads, [](const Load &l) { return l.cpuSeconds / l.wallSeconds; });
    double chipCpu = median(loads, [](const Load &l) { return l.chipCpuSeconds / l.wallSeconds; });
    char hexpushCpu[32] = "n/a";
    char chipCpuText[32] = "n/a";
    if (cpu >= 0) snprintf(hexpushCpu, sizeof hexpushCpu, "%.4f", cpu);
    if (chipCpu >= 0) snprintf(chipCpuText, sizeof chipCpuText, "%.4f", chipCpu);
    char row[512];
    snprintf(row, sizeof row,
             "| %s | %zu | %.2f | %.2f | %.4f | %.4f | %.0f | %.0f | %s | %s | %s |\n",
             name.c_str(), loads.size(), median(loads, [](const Load &l) { return l.wallSeconds; }),
             loads[0].wireSeconds, median(loads, ratio), sorted(loads, ratio).back(),
             median(loads, overheadMicros),
             median(loads, [](const Load &l) { return l.chipLateMicros; }), hexpushCpu, chipCpuText,
             allCorrect(loads) ? "correct" : "WRONG");
    fputs(row, stdout);
    fflush(stdout);
    return row;
}

void makeImage(int bytes, const char *path) {
    std::string command = "srec_cat -generate 0 " + std::to_string(bytes) + " -random -o " + path +
                          " -Intel -Output_Block_Size 16";
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "hexpush-bench: srec_cat failed (package srecord)\n");
        exit(1);
    }
}

}  // namespace

using Builds = std::vector<std::pair<std::string, std::string>>;  // label, program

int main(int argc, char *argv[]) {
    if (argc < 2) {
        fprintf(stderr,
                "usage: hexpush-bench HEXPUSH_BINARY [REPEATS] [RESULTS_FILE|-] "
                "[EARLIER_BINARY|-] [HEXPUSH_EXE|-] [WEB_PAGE]\n");
        return 2;
    }
    int repeats = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    Builds builds{{"", argv[1]}};
    if (argc > 4 && std::string(argv[4]) != "-")
        builds.insert(builds.begin(), {" (earlier build)", argv[4]});
    Builds windows;
    std::string problem;
    bool wine = argc > 5 && std::string(argv[5]) != "-";
    if (wine && !prepareWine(problem)) {
        fprintf(stderr, "hexpush-bench: %s\n", problem.c_str());
        return 1;
    }
    if (wine) windows.push_back({" (Windows build, Wine)", argv[5]});
    Builds browser;
    if (argc > 6) browser.push_back({" (web page, Chromium, test bridge)", BROWSER_RUNNER});
    if (argc > 6) webPage = argv[6];
    makeImage(imageBytes, imagePath);
    makeImage(chipImageBytes, chipImagePath);

    fputs(tableHeader, stdout);
    std::string table = tableHeader;
    bool correct = true;
    auto measure = [&](const Builds &which, const std::string &name, int baud, int count,
                       int runs) {
        for (const auto &[label, hexpush] : which) {
            // Wine's server ends a minute after its last program: the long
            // loads before may have outlasted it, and a server that starts
            // with a load starts its services beside it.
            if (&which == &windows) prepareWine(problem);
            std::vector<Load> loads;
            for (int run = 0; run < runs; ++run) {
                std::vector<Load> batch = runLoads(hexpush, baud, count);
                loads.insert(loads.end(), batch.begin(), batch.end());
            }
            table += tableRow(name + label, loads);
            correct = correct && allCorrect(loads);
        }
    };
    for (int baud : {115200, 57600, 9600}) {
        std::string name = "1 load at " + std::to_string(baud);
        measure(builds, name, baud, 1, repeats);
        if (baud != 57600) measure(windows, name, baud, 1, repeats);
        if (baud == 115200) measure(browser, name, baud, 1, repeats);
        if (baud == 115200 && !webPage.empty()) {
            std::vector<Load> loads;
            for (int run = 0; run < repeats; ++run) loads.push_back(pageChipLoad(baud));
            table += tableRow(name + " (web page, Chromium, its own virtual chip)", loads);
            correct = correct && allCorrect(loads);
        }
    }
    for (int count : {8, 16, 32})
        measure(builds, std::to_string(count) + " at once at 115200", 115200, count, 1);
    if (argc > 3 && std::string(argv[3]) != "-" && !writeImageFile(argv[3], table)) {
        perror(argv[3]);
        return 1;
    }
    return correct ? 0 : 1;
}
