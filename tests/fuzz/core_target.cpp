// Fuzzes the virtual chip's processor and peripherals: the input is its
// program memory, run for 30 ms of chip time while its last bytes, one each
// 0.1 ms, press or let go a pin or arrive on the receive line. A finding is
// whatever the sanitizers see, or a chip whose clock stops short without
// the chip stopping.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "chip_core.h"

int main(int argc, char *argv[]) {
    if (argc != 2) return 2;
    std::ifstream input(argv[1], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> program(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(bytes.size(), 16384));
    program.resize(16384, 0xFF);
    ChipCore chip;
    resetChip(chip, program, defaultCrystalHz);
    size_t event = bytes.size();
    for (int step = 1; step <= 300 && chip.stop == ChipStop::running; ++step) {
        Clocks target = clocksAt(chip, step * 0.0001);
        for (int calls = 0; chip.clocks < target && chip.stop == ChipStop::running; ++calls) {
            if (calls > 100000) abort();  // runChip makes no headway
            runChip(chip, target);
        }
        uint8_t what = event > 0 ? bytes[--event] : 0;
        if (what & 0x80)
            serialReceive(chip, &what, 1, 9600, chip.clocks);
        else
            groundPin(chip, what >> 3 & 3, what & 7, what & 0x40);
        chip.serial.sent.clear();
    }
    return 0;
}
