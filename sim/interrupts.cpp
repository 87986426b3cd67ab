// The 8052's six interrupt sources at two priority levels: polled in a
// fixed order within a level, a high one able to interrupt a low one's
// routine, none taken right after RETI or a write to IE or IP.
#include "chip_core.h"

namespace {

struct Source {
    uint8_t flagRegister;
    uint8_t flags;          // any of them asks
    uint8_t clearedOnCall;  // flags the call clears (edge-triggered ones depend on IT)
    uint16_t vector;
};

const uint8_t it0 = 0x01, ie0 = 0x02, it1 = 0x04, ie1 = 0x08;

// In polling order; the enable and priority bits are the source's index.
const Source sources[] = {
    {regTCON, ie0, ie0, 0x03},    // external 0
    {regTCON, 0x20, 0x20, 0x0B},  // timer 0
    {regTCON, ie1, ie1, 0x13},    // external 1
    {regTCON, 0x80, 0x80, 0x1B},  // timer 1
    {regSCON, 0x03, 0, 0x23},     // serial port: RI or TI
    {regT2CON, 0xC0, 0, 0x2B},    // timer 2: TF2 or EXF2
};

inline uint8_t &sfrAt(ChipCore &chip, uint8_t address) { return chip.sfr[address - 0x80]; }

// Edge-triggered external flags are cleared by the call; level-triggered
// ones follow their pin.
uint8_t clearedOnCall(ChipCore &chip, int index) {
    uint8_t tcon = sfrAt(chip, regTCON);
    if (index == 0) return tcon & it0 ? ie0 : 0;
    if (index == 2) return tcon & it1 ? ie1 : 0;
    return sources[index].clearedOnCall;
}

}  // namespace

bool takeInterrupt(ChipCore &chip) {
    uint8_t enabled = sfrAt(chip, regIE), priority = sfrAt(chip, regIP);
    Interrupts &state = chip.interrupts;
    if (!(enabled & 0x80) || state.inService[1]) return false;
    for (int level = 1; level >= 0; --level) {
        if (level == 0 && state.inService[0]) return false;
        for (int index = 0; index < 6; ++index) {
            const Source &source = sources[index];
            bool atLevel = (priority >> index & 1) == level;
            if (!(enabled >> index & 1) || !atLevel || !(sfrAt(chip, source.flagRegister) & source.flags))
                continue;
            sfrAt(chip, source.flagRegister) &= static_cast<uint8_t>(~clearedOnCall(chip, index));
            state.inService[level] = true;
            callVector(chip, source.vector);
            return true;
        }
    }
    return false;
}

void returnFromInterrupt(ChipCore &chip) {
    Interrupts &state = chip.interrupts;
    state.inService[state.inService[1] ? 1 : 0] = false;
    state.holdOne = true;
    chip.nextEvent = chip.clocks;
}

void sampleExternalInterrupts(ChipCore &chip, uint8_t oldPins, uint8_t newPins) {
    uint8_t &tcon = sfrAt(chip, regTCON);
    const struct {
        uint8_t pin, trigger, flag;
    } lines[] = {{0x04, it0, ie0}, {0x08, it1, ie1}};
    for (const auto &line : lines) {
        bool low = !(newPins & line.pin);
        if (tcon & line.trigger) {
            if ((oldPins & line.pin) && low) tcon |= line.flag;
        } else {
            tcon = static_cast<uint8_t>(low ? tcon | line.flag : tcon & ~line.flag);
        }
    }
}
