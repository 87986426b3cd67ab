// The SFR bus: reads and writes reach the peripheral that owns the
// register, and the registers of the chip's parts that are not simulated
// are kept as plain bytes, each named once in the chip's notes.
#include <cstdio>

#include "chip_core.h"

namespace {

// The DS89C420's registers beyond the 8052's, and the 8052 bits whose
// use is not simulated: a write that sets any bit of the mask (every bit,
// for a register whose part is not simulated at all) names the register.
struct UnsimulatedRegister {
    uint8_t address;
    uint8_t mask;
    const char *name;
    const char *why;
};

const char secondPointer[] = "the second data pointer is not simulated";
const char addressRecognition[] = "automatic address recognition is not simulated";
const char secondSerialPort[] = "the second serial port is not simulated";
const char flashWrites[] = "flash writes from the program are not simulated";
const char extendedInterrupts[] = "the extended interrupts are not simulated";

const UnsimulatedRegister unsimulated[] = {
    {0x84, 0xFF, "DPL1", secondPointer},
    {0x85, 0xFF, "DPH1", secondPointer},
    {0x86, 0xFF, "DPS", secondPointer},
    {regPCON, 0x03, "PCON", "idle and stop modes are not simulated"},
    {0x8E, 0xFF, "CKCON",
     "timer clock selection and the watchdog interval are not simulated: timers count at the "
     "crystal's twelfth"},
    {0x91, 0xFF, "EXIF", "external interrupts 2 to 5 are not simulated"},
    {0x9D, 0xFF, "ACON", "address modes are not simulated"},
    {0xA9, 0xFF, "SADDR0", addressRecognition},
    {0xAA, 0xFF, "SADDR1", addressRecognition},
    {0xB1, 0xFF, "IP1", "the third and fourth priority levels are not simulated"},
    {0xB9, 0xFF, "SADEN0", addressRecognition},
    {0xBA, 0xFF, "SADEN1", addressRecognition},
    {0xC0, 0xFF, "SCON1", secondSerialPort},
    {0xC1, 0xFF, "SBUF1", secondSerialPort},
    {0xC2, 0xFF, "ROMSIZE", "program memory sizing is not simulated"},
    {0xC4, 0xFF, "PMR", "power management is not simulated"},
    {0xC5, 0xFF, "STATUS", "the status register is not simulated"},
    {0xC7, 0xFF, "TA", "timed access is not simulated"},
    {regT2MOD, 0x03, "T2MOD", "timer 2's down counting and clock output are not simulated"},
    {0xD5, 0xFF, "FCNTL", flashWrites},
    {0xD6, 0xFF, "FDATA", flashWrites},
    {0xD8, 0xFF, "WDCON", "the watchdog is not simulated"},
    {0xE8, 0xFF, "EIE", extendedInterrupts},
    {0xF1, 0xFF, "EIP1", extendedInterrupts},
    {0xF8, 0xFF, "EIP0", extendedInterrupts},
};

// The 8052's own registers, simulated.
bool isSimulated(uint8_t address) {
    switch (address) {
        case regP0: case regSP: case regDPL: case regDPH: case regPCON: case regTCON:
        case regTMOD: case regTL0: case regTL1: case regTH0: case regTH1: case regP1:
        case regSCON: case regSBUF: case regP2: case regIE: case regP3: case regIP:
        case regT2CON: case regT2MOD: case regRCAP2L: case regRCAP2H: case regTL2: case regTH2:
        case regPSW: case regACC: case regB:
            return true;
        default:
            return false;
    }
}

int portOf(uint8_t address) {
    switch (address) {
        case regP0: return 0;
        case regP1: return 1;
        case regP2: return 2;
        case regP3: return 3;
        default: return -1;
    }
}

bool feedsTimers(uint8_t address) {
    switch (address) {
        case regTCON: case regTMOD: case regTL0: case regTL1: case regTH0: case regTH1:
        case regT2CON: case regT2MOD: case regRCAP2L: case regRCAP2H: case regTL2: case regTH2:
            return true;
        default:
            return false;
    }
}

// A new look at the peripherals before the next instruction: what was
// written may start a timer, a frame or an interrupt.
void lookAgain(ChipCore &chip) { chip.nextEvent = chip.clocks; }

}  // namespace

void noteOnce(ChipCore &chip, int key, const std::string &text) {
    if (chip.noted[key]) return;
    chip.noted[key] = true;
    chip.notes.push_back(text);
}

void noteRegister(ChipCore &chip, uint8_t address, uint8_t written, bool writing) {
    if (isSimulated(address) && !writing) return;
    char text[200];
    for (const UnsimulatedRegister &known : unsimulated) {
        if (known.address != address) continue;
        bool whole = known.mask == 0xFF;
        if (!whole && !(writing && (written & known.mask))) return;
        snprintf(text, sizeof text, "0x%02X %s: %s", address, known.name, known.why);
        return noteOnce(chip, address, text);
    }
    if (isSimulated(address)) return;
    snprintf(text, sizeof text, "0x%02X: no register of the DS89C420 is simulated there", address);
    noteOnce(chip, address, text);
}

uint8_t readRegister(ChipCore &chip, uint8_t address) {
    int port = portOf(address);
    if (port >= 0) return portPins(chip, port);
    return readRegisterLatch(chip, address);
}

uint8_t readRegisterLatch(ChipCore &chip, uint8_t address) {
    if (feedsTimers(address)) syncTimers(chip);
    switch (address) {
        case regSCON: syncSerial(chip); break;
        case regSBUF: return chip.serial.received;
        case regPSW: return programStatus(chip);
        default: if (!isSimulated(address)) noteRegister(chip, address, 0, false);
    }
    return chip.sfr[address - 0x80];
}

void writeRegister(ChipCore &chip, uint8_t address, uint8_t value) {
    int port = portOf(address);
    if (port >= 0) return writePortLatch(chip, port, value);
    noteRegister(chip, address, value, true);
    if (address == regSBUF) return writeSerialBuffer(chip, value);
    if (feedsTimers(address)) syncTimers(chip);
    if (address == regSCON || address == regPCON) syncSerial(chip);
    chip.sfr[address - 0x80] = value;
    if (address == regTCON) sampleExternalInterrupts(chip, portPins(chip, 3), portPins(chip, 3));
    if (address == regIE || address == regIP) chip.interrupts.holdOne = true;
    if (feedsTimers(address) || address == regSCON || address == regPCON || address == regIE ||
        address == regIP)
        lookAgain(chip);
}
