// Serial port 0: mode 0 (the shift register at the crystal's twelfth), 1
// and 3 (8 and 9 bits at timer 1's or timer 2's rate) and 2 (9 bits at the
// crystal's 64th or 32nd). Frames take their bits' time: TI comes at the
// stop bit, and the byte reaches the other end when its frame ends; a
// byte on the receive line sets RI in its stop bit, and is lost if RI is
// still set or the receiver is off.
#include <cmath>
#include <cstdio>

#include "chip_core.h"

namespace {

const uint8_t riBit = 0x01, tiBit = 0x02, rb8Bit = 0x04, renBit = 0x10;
const uint8_t rclk = 0x20, tclk = 0x10;
const Clocks shiftFrameClocks = 96;  // mode 0: eight bits at the crystal's twelfth
const Clocks never = ~Clocks{0};

inline uint8_t &scon(ChipCore &chip) { return chip.sfr[regSCON - 0x80]; }
int serialMode(const ChipCore &chip) { return chip.sfr[regSCON - 0x80] >> 6; }
bool smod(const ChipCore &chip) { return chip.sfr[regPCON - 0x80] & 0x80; }

bool usesTimer2(const ChipCore &chip, bool receiving) {
    return chip.sfr[regT2CON - 0x80] & (receiving ? rclk : tclk);
}

// Crystal clocks a bit takes; 0 while the baud-rate timer does not run.
double bitClocks(const ChipCore &chip, bool receiving) {
    switch (serialMode(chip)) {
        case 0: return 12;
        case 2: return smod(chip) ? 32 : 64;
        default: return timerBitClocks(chip, usesTimer2(chip, receiving));
    }
}

bool receiverOn(const ChipCore &chip) {
    return (chip.sfr[regSCON - 0x80] & renBit) && serialMode(chip) != 0;
}

std::string baudText(double baud) {
    char text[32];
    bool whole = std::fabs(baud - std::round(baud)) < 0.05;
    snprintf(text, sizeof text, whole ? "%.0f baud" : "%.1f baud", baud);
    return text;
}

void startFrame(ChipCore &chip, uint8_t byte, Clocks at) {
    SerialPort0 &serial = chip.serial;
    serial.sending = true;
    serial.sendingByte = byte;
    double perBit = bitClocks(chip, false);
    serial.started = perBit > 0;
    if (!serial.started) return;
    int mode = serialMode(chip);
    int tiBits = mode == 0 ? 8 : mode == 1 ? 9 : 10;
    int frameBits = mode == 0 ? 8 : mode == 1 ? 10 : 11;
    serial.tiAt = at + static_cast<Clocks>(std::llround(tiBits * perBit));
    serial.sendEnd = at + static_cast<Clocks>(std::llround(frameBits * perBit));
    serial.tiDue = true;
    double baud = chip.crystalHz / perBit;
    if (baud != serial.lastBaud) {
        serial.lastBaud = baud;
        serial.speedText = describeSerialSpeed(chip);
    }
    serial.sent.push_back({serial.sendEnd, byte, baud});
    ++serial.sentCount;
}

void syncTransmitter(ChipCore &chip) {
    SerialPort0 &serial = chip.serial;
    if (serial.sending && !serial.started) startFrame(chip, serial.sendingByte, chip.clocks);
    while (serial.sending && serial.started) {
        if (serial.tiDue && chip.clocks >= serial.tiAt) {
            scon(chip) |= tiBit;
            serial.tiDue = false;
        }
        if (chip.clocks < serial.sendEnd) break;
        serial.sending = false;
        if (serial.waiting) {
            serial.waiting = false;
            startFrame(chip, serial.waitingByte, serial.sendEnd);
        }
    }
}

void takeFromLine(ChipCore &chip, uint8_t byte) {
    SerialPort0 &serial = chip.serial;
    if (!receiverOn(chip) || (scon(chip) & riBit)) {
        ++serial.lost;
        return;
    }
    serial.received = byte;
    scon(chip) |= riBit | rb8Bit;  // RB8: the stop bit, or a ninth bit read as one
    ++serial.receivedCount;
}

// Mode 0 shifts in eight bits whenever the receiver is on and RI clear;
// with nothing clocking data in, it reads RXD's level.
void syncShiftReceiver(ChipCore &chip) {
    SerialPort0 &serial = chip.serial;
    bool receiving = serialMode(chip) == 0 && (scon(chip) & renBit) && !(scon(chip) & riBit);
    if (!receiving) {
        serial.shiftReceiving = false;
        return;
    }
    if (!serial.shiftReceiving) {
        serial.shiftReceiving = true;
        serial.shiftEnd = chip.clocks + shiftFrameClocks;
    } else if (chip.clocks >= serial.shiftEnd) {
        serial.shiftReceiving = false;
        serial.received = chip.ports.pins[3] & 1 ? 0xFF : 0x00;
        scon(chip) |= riBit;
    }
}

// A held byte goes on the line once the receiver is on and has been
// emptied, so that none is lost however slowly the program reads.
void feedHeld(ChipCore &chip) {
    SerialPort0 &serial = chip.serial;
    if (serial.held.empty() || !serial.line.empty() || !receiverOn(chip) || (scon(chip) & riBit)) return;
    double baud = receiveBaud(chip);
    if (baud <= 0) return;
    uint8_t byte = serial.held.front();
    serial.held.pop_front();
    serialReceive(chip, &byte, 1, baud, chip.clocks);
}

void syncReceiver(ChipCore &chip) {
    SerialPort0 &serial = chip.serial;
    while (!serial.line.empty() && serial.line.front().end <= chip.clocks) {
        takeFromLine(chip, serial.line.front().byte);
        serial.line.pop_front();
    }
    feedHeld(chip);
    syncShiftReceiver(chip);
}

}  // namespace

void writeSerialBuffer(ChipCore &chip, uint8_t byte) {
    syncSerial(chip);
    SerialPort0 &serial = chip.serial;
    if (serial.sending) {
        serial.waiting = true;
        serial.waitingByte = byte;
    } else {
        startFrame(chip, byte, chip.clocks);
    }
    chip.nextEvent = chip.clocks;
}

void syncSerial(ChipCore &chip) {
    syncTransmitter(chip);
    syncReceiver(chip);
}

Clocks nextSerialEvent(const ChipCore &chip) {
    const SerialPort0 &serial = chip.serial;
    Clocks next = never;
    if (serial.sending && serial.started) next = serial.tiDue ? serial.tiAt : serial.sendEnd;
    if (!serial.line.empty() && serial.line.front().end < next) next = serial.line.front().end;
    if (serial.shiftReceiving && serial.shiftEnd < next) next = serial.shiftEnd;
    return next;
}

void serialReceive(ChipCore &chip, const uint8_t *bytes, size_t count, double baud, Clocks from) {
    SerialPort0 &serial = chip.serial;
    double perBit = chip.crystalHz / baud;
    for (size_t i = 0; i < count; ++i) {
        Clocks start = std::max(from, serial.lineFree);
        serial.line.push_back({start + static_cast<Clocks>(std::llround(9.5 * perBit)), bytes[i], baud});
        serial.lineFree = start + static_cast<Clocks>(std::llround(10 * perBit));
    }
    chip.nextEvent = chip.clocks;
}

void holdInputForReceiver(ChipCore &chip, const uint8_t *bytes, size_t count) {
    chip.serial.held.insert(chip.serial.held.end(), bytes, bytes + count);
    chip.nextEvent = chip.clocks;
}

double sendBaud(ChipCore &chip) {
    double perBit = bitClocks(chip, false);
    return perBit > 0 ? chip.crystalHz / perBit : 0;
}

double receiveBaud(ChipCore &chip) {
    double perBit = bitClocks(chip, true);
    return perBit > 0 ? chip.crystalHz / perBit : 0;
}

std::string describeSerialSpeed(ChipCore &chip) {
    char crystal[32], text[160];
    snprintf(crystal, sizeof crystal, "%g MHz", chip.crystalHz / 1e6);
    std::string baud = baudText(sendBaud(chip));
    const uint8_t *sfr = chip.sfr;
    int mode = serialMode(chip);
    if (mode == 0) {
        snprintf(text, sizeof text, "%s: mode 0, the crystal's twelfth, %s", baud.c_str(), crystal);
    } else if (mode == 2) {
        snprintf(text, sizeof text, "%s: mode 2, SMOD=%d, %s", baud.c_str(), smod(chip), crystal);
    } else if (sendBaud(chip) == 0) {
        snprintf(text, sizeof text, "no baud clock: timer %d does not run as a timer",
                 usesTimer2(chip, false) ? 2 : 1);
    } else if (usesTimer2(chip, false)) {
        snprintf(text, sizeof text, "%s: timer 2, RCAP2=0x%02X%02X, %s", baud.c_str(),
                 sfr[regRCAP2H - 0x80], sfr[regRCAP2L - 0x80], crystal);
    } else if ((sfr[regTMOD - 0x80] >> 4 & 3) == 2) {
        snprintf(text, sizeof text, "%s: timer 1, TH1=0x%02X, SMOD=%d, %s", baud.c_str(),
                 sfr[regTH1 - 0x80], smod(chip), crystal);
    } else {
        snprintf(text, sizeof text, "%s: timer 1 in mode %d, SMOD=%d, %s", baud.c_str(),
                 sfr[regTMOD - 0x80] >> 4 & 3, smod(chip), crystal);
    }
    return text;
}
