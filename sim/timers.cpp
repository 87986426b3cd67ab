// Timers 0, 1 and 2 as the 8052 has them, counting the crystal's twelfth
// (timer 2 its half as a baud-rate generator), or falling edges on their
// pins as counters. They are counted up lazily, when the program looks or
// an overflow is due, so a timer costs nothing between its events.
#include <algorithm>

#include "chip_core.h"

namespace {

const uint8_t tf1 = 0x80, tr1 = 0x40, tf0 = 0x20, tr0 = 0x10;
const uint8_t tf2 = 0x80, exf2 = 0x40, rclk = 0x20, tclk = 0x10, exen2 = 0x08, tr2 = 0x04,
              counter2 = 0x02, capture2 = 0x01;
const uint8_t gateBit = 0x08, counterBit = 0x04;
const Clocks clocksPerTick = 12, clocksPerFastTick = 2;
const Clocks never = ~Clocks{0};

inline uint8_t &sfrAt(ChipCore &chip, uint8_t address) { return chip.sfr[address - 0x80]; }
inline uint8_t sfrAt(const ChipCore &chip, uint8_t address) { return chip.sfr[address - 0x80]; }

// A counter of `top` states that starts again at `reload` when it overflows:
// counts n and returns how many times it overflowed.
long long countWithReload(uint32_t &value, uint32_t top, uint32_t reload, Clocks n) {
    if (value + n < top) {
        value += static_cast<uint32_t>(n);
        return 0;
    }
    Clocks past = value + n - top;
    uint32_t period = top - reload;
    value = reload + static_cast<uint32_t>(past % period);
    return 1 + static_cast<long long>(past / period);
}

// Timer 0 or 1 in its mode as a count of states: 13, 16 or 8 bits.
struct TimerShape {
    uint32_t top, reload, value;
};

int timerMode(const ChipCore &chip, int timer) { return sfrAt(chip, regTMOD) >> (4 * timer) & 3; }
uint8_t timerControl(const ChipCore &chip, int timer) {
    return static_cast<uint8_t>(sfrAt(chip, regTMOD) >> (4 * timer) & 0x0F);
}

TimerShape shapeOf(const ChipCore &chip, int timer) {
    uint8_t low = sfrAt(chip, timer ? regTL1 : regTL0), high = sfrAt(chip, timer ? regTH1 : regTH0);
    switch (timerMode(chip, timer)) {
        case 0: return {8192, 0, static_cast<uint32_t>(high << 5 | (low & 0x1F))};
        case 1: return {65536, 0, static_cast<uint32_t>(high << 8 | low)};
        case 2: return {256, high, low};
        default: return {256, 0, low};  // TL0, split from TH0 in mode 3
    }
}

void storeShape(ChipCore &chip, int timer, uint32_t value) {
    uint8_t &low = sfrAt(chip, timer ? regTL1 : regTL0), &high = sfrAt(chip, timer ? regTH1 : regTH0);
    switch (timerMode(chip, timer)) {
        case 0:
            high = static_cast<uint8_t>(value >> 5);
            low = static_cast<uint8_t>((low & 0xE0) | (value & 0x1F));
            break;
        case 1:
            high = static_cast<uint8_t>(value >> 8);
            low = static_cast<uint8_t>(value);
            break;
        default: low = static_cast<uint8_t>(value);
    }
}

bool timer0Split(const ChipCore &chip) { return timerMode(chip, 0) == 3; }

// Whether timer 0 or 1 counts now: its run bit (timer 1's is TH0's while
// timer 0 is split, and it runs until put in mode 3 itself), and its gate.
bool running(const ChipCore &chip, int timer) {
    uint8_t control = timerControl(chip, timer);
    if (timer == 1 && timerMode(chip, 1) == 3) return false;
    bool run = (timer == 1 && timer0Split(chip)) ||
               (sfrAt(chip, regTCON) & (timer ? tr1 : tr0));
    bool gateOpen = !(control & gateBit) || (chip.ports.pins[3] >> (timer ? 3 : 2) & 1);
    return run && gateOpen;
}

// The flag timer 0 or 1 sets on overflow; timer 1 has none while timer 0 is split.
uint8_t overflowFlag(const ChipCore &chip, int timer) {
    return timer == 0 ? tf0 : timer0Split(chip) ? 0 : tf1;
}

void countTimer(ChipCore &chip, int timer, Clocks n) {
    TimerShape shape = shapeOf(chip, timer);
    long long overflows = countWithReload(shape.value, shape.top, shape.reload, n);
    storeShape(chip, timer, shape.value);
    if (overflows > 0) sfrAt(chip, regTCON) |= overflowFlag(chip, timer);
}

// TH0 as timer 0 splits it: an 8-bit timer run by TR1, with TF1.
void countHighHalf(ChipCore &chip, Clocks n) {
    uint32_t value = sfrAt(chip, regTH0);
    if (countWithReload(value, 256, 0, n) > 0) sfrAt(chip, regTCON) |= tf1;
    sfrAt(chip, regTH0) = static_cast<uint8_t>(value);
}

bool baudGenerator2(const ChipCore &chip) { return sfrAt(chip, regT2CON) & (rclk | tclk); }

uint32_t reload2(const ChipCore &chip) {
    bool reloads = baudGenerator2(chip) || !(sfrAt(chip, regT2CON) & capture2);
    return reloads ? static_cast<uint32_t>(sfrAt(chip, regRCAP2H) << 8 | sfrAt(chip, regRCAP2L)) : 0;
}

void countTimer2(ChipCore &chip, Clocks n) {
    uint32_t value = static_cast<uint32_t>(sfrAt(chip, regTH2) << 8 | sfrAt(chip, regTL2));
    long long overflows = countWithReload(value, 65536, reload2(chip), n);
    sfrAt(chip, regTH2) = static_cast<uint8_t>(value >> 8);
    sfrAt(chip, regTL2) = static_cast<uint8_t>(value);
    if (overflows > 0 && !baudGenerator2(chip)) sfrAt(chip, regT2CON) |= tf2;
}

bool timer2Counts(const ChipCore &chip) { return sfrAt(chip, regT2CON) & tr2; }

// The clock at which a timer counting from the last sync overflows.
Clocks overflowAt(Clocks ticksDone, Clocks perTick, uint32_t top, uint32_t value) {
    return (ticksDone + (top - value)) * perTick;
}

}  // namespace

void syncTimers(ChipCore &chip) {
    Timers &timers = chip.timers;
    Clocks ticks = chip.clocks / clocksPerTick, fastTicks = chip.clocks / clocksPerFastTick;
    Clocks n = ticks - timers.ticksDone, fastN = fastTicks - timers.fastTicksDone;
    timers.ticksDone = ticks;
    timers.fastTicksDone = fastTicks;
    for (int timer = 0; timer < 2; ++timer) {
        if (n > 0 && running(chip, timer) && !(timerControl(chip, timer) & counterBit))
            countTimer(chip, timer, n);
    }
    if (n > 0 && timer0Split(chip) && (sfrAt(chip, regTCON) & tr1)) countHighHalf(chip, n);
    uint8_t control2 = sfrAt(chip, regT2CON);
    if (timer2Counts(chip) && !(control2 & counter2))
        countTimer2(chip, baudGenerator2(chip) ? fastN : n);
}

void timerPinFell(ChipCore &chip, int port, int bit) {
    if (port == 3) {  // T0 (P3.4) or T1 (P3.5)
        int timer = bit - 4;
        if (running(chip, timer) && (timerControl(chip, timer) & counterBit)) countTimer(chip, timer, 1);
        return;
    }
    uint8_t &control = sfrAt(chip, regT2CON);
    if (bit == 0) {  // T2 (P1.0)
        if (timer2Counts(chip) && (control & counter2)) countTimer2(chip, 1);
        return;
    }
    if (!(control & exen2)) return;  // T2EX (P1.1)
    control |= exf2;
    if (baudGenerator2(chip)) return;
    if (control & capture2) {
        sfrAt(chip, regRCAP2H) = sfrAt(chip, regTH2);
        sfrAt(chip, regRCAP2L) = sfrAt(chip, regTL2);
    } else {
        sfrAt(chip, regTH2) = sfrAt(chip, regRCAP2H);
        sfrAt(chip, regTL2) = sfrAt(chip, regRCAP2L);
    }
}

// Only overflows that set a flag not set already need a look: a baud-rate
// timer overflows thousands of times a second and changes nothing.
Clocks nextTimerEvent(const ChipCore &chip) {
    const Timers &timers = chip.timers;
    uint8_t tcon = sfrAt(chip, regTCON);
    Clocks next = never;
    for (int timer = 0; timer < 2; ++timer) {
        uint8_t flag = overflowFlag(chip, timer);
        if (!flag || (tcon & flag) || !running(chip, timer) || (timerControl(chip, timer) & counterBit))
            continue;
        TimerShape shape = shapeOf(chip, timer);
        next = std::min(next, overflowAt(timers.ticksDone, clocksPerTick, shape.top, shape.value));
    }
    if (timer0Split(chip) && (tcon & tr1) && !(tcon & tf1))
        next = std::min(next, overflowAt(timers.ticksDone, clocksPerTick, 256, sfrAt(chip, regTH0)));
    uint8_t control2 = sfrAt(chip, regT2CON);
    if (timer2Counts(chip) && !(control2 & (counter2 | tf2)) && !baudGenerator2(chip)) {
        uint32_t value = static_cast<uint32_t>(sfrAt(chip, regTH2) << 8 | sfrAt(chip, regTL2));
        next = std::min(next, overflowAt(timers.ticksDone, clocksPerTick, 65536, value));
    }
    return next;
}

double timerBitClocks(const ChipCore &chip, bool timer2) {
    if (timer2) {
        uint8_t control2 = sfrAt(chip, regT2CON);
        if (!(control2 & tr2) || (control2 & counter2)) return 0;
        uint32_t reload = static_cast<uint32_t>(sfrAt(chip, regRCAP2H) << 8 | sfrAt(chip, regRCAP2L));
        return 16.0 * clocksPerFastTick * (65536 - reload);
    }
    if (!running(chip, 1) || (timerControl(chip, 1) & counterBit)) return 0;
    TimerShape shape = shapeOf(chip, 1);
    double smod = sfrAt(chip, regPCON) & 0x80 ? 2 : 1;
    return 32.0 * clocksPerTick * (shape.top - shape.reload) / smod;
}
