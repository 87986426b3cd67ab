// Ports 0 to 3: a latch a pin, and pins that read low when their latch is 0
// or something outside grounds them. What a pin feeds (timer inputs, the
// external interrupts) hears of each change.
#include "chip_core.h"

namespace {

const uint8_t portAddresses[4] = {regP0, regP1, regP2, regP3};

// Pins that feed the timers: T2 and T2EX on port 1, T0 and T1 on port 3.
const uint8_t timerPins[4] = {0x00, 0x03, 0x00, 0x30};
const uint8_t interruptPins = 0x0C;  // INT0 and INT1 on port 3

void settlePins(ChipCore &chip, int port) {
    uint8_t old = chip.ports.pins[port];
    uint8_t now = static_cast<uint8_t>(chip.sfr[portAddresses[port] - 0x80] & ~chip.ports.grounded[port]);
    if (old == now) return;
    // Timers count, and gates open, up to this moment with the old levels.
    syncTimers(chip);
    chip.ports.pins[port] = now;
    for (int bit = 0; bit < 8; ++bit) {
        if (!((old ^ now) >> bit & 1)) continue;
        ++chip.ports.changes[port * 8 + bit];
        bool fell = old >> bit & 1;
        if (fell && (timerPins[port] >> bit & 1)) timerPinFell(chip, port, bit);
    }
    if (port == 3 && ((old ^ now) & interruptPins)) sampleExternalInterrupts(chip, old, now);
    chip.nextEvent = chip.clocks;
}

}  // namespace

void writePortLatch(ChipCore &chip, int port, uint8_t value) {
    chip.sfr[portAddresses[port] - 0x80] = value;
    settlePins(chip, port);
}

void groundPin(ChipCore &chip, int port, int bit, bool grounded) {
    uint8_t mask = static_cast<uint8_t>(1 << bit);
    uint8_t &held = chip.ports.grounded[port];
    held = static_cast<uint8_t>(grounded ? held | mask : held & ~mask);
    settlePins(chip, port);
}

uint8_t portPins(const ChipCore &chip, int port) { return chip.ports.pins[port]; }
