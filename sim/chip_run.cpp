// The clock the processor and its peripherals share: instructions run
// until a peripheral's next event, which is then served (timers counted,
// frames moved, an interrupt taken), and so on to the time asked for.
#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "chip_core.h"

namespace {

void serveEvents(ChipCore &chip) {
    syncTimers(chip);
    syncSerial(chip);
    Clocks next = ~Clocks{0};
    if (chip.interrupts.holdOne) {
        chip.interrupts.holdOne = false;
        next = chip.clocks + 1;  // after the instruction that must come first
    } else if (takeInterrupt(chip)) {
        syncTimers(chip);
        next = chip.clocks + 1;  // a higher level may follow
    }
    next = std::min({next, nextTimerEvent(chip), nextSerialEvent(chip)});
    chip.nextEvent = std::max(next, chip.clocks + 1);
}

}  // namespace

void resetChip(ChipCore &chip, const std::vector<uint8_t> &program, double crystalHz) {
    uint8_t grounded[4];
    std::copy(chip.ports.grounded, chip.ports.grounded + 4, grounded);
    chip = ChipCore();
    size_t size = std::min<size_t>(program.size(), 65536);
    chip.code.assign(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(size));
    chip.crystalHz = crystalHz;
    chip.sfr[regSP - 0x80] = 0x07;
    for (int port = 0; port < 4; ++port) {
        chip.sfr[(regP0 + 0x10 * port) - 0x80] = 0xFF;
        chip.ports.grounded[port] = grounded[port];
        chip.ports.pins[port] = static_cast<uint8_t>(~grounded[port]);
    }
}

void runChip(ChipCore &chip, Clocks until) {
    size_t frames = chip.serial.sent.size();
    while (chip.clocks < until && chip.stop == ChipStop::running) {
        if (chip.clocks >= chip.nextEvent) serveEvents(chip);
        if (chip.serial.sent.size() != frames) return;
        runInstructions(chip, until);
    }
}

double chipSeconds(const ChipCore &chip) { return chip.clocks / chip.crystalHz; }

Clocks clocksAt(const ChipCore &chip, double seconds) {
    return static_cast<Clocks>(seconds * chip.crystalHz);
}

std::string stopReason(const ChipCore &chip) {
    char text[120];
    if (chip.stop == ChipStop::reservedOpcode)
        snprintf(text, sizeof text, "stopped at 0x%04X: the reserved opcode 0xA5", chip.stopAddress);
    else if (chip.stop == ChipStop::offTheEnd)
        snprintf(text, sizeof text, "stopped at 0x%04X: the program ran off the end of its %zu-byte memory",
                 chip.stopAddress, chip.code.size());
    else
        return "";
    return text;
}
