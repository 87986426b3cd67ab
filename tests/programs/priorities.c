// Timer 0 interrupts at the low priority, timer 2 at the high one: the
// high one interrupts the low one's routine, and never the other way.
#include "console.h"

static volatile unsigned char lowCount, highCount, highDuringLow, lowDuringHigh, inLow;

void lowPriority(void) __interrupt(1) {
    unsigned char seen = highCount;
    inLow = 1;
    if (++lowCount == 20) ET0 = 0;
    while (highCount == seen) {  // waits for the high one, which must get in
    }
    ++highDuringLow;
    inLow = 0;
}

void highPriority(void) __interrupt(5) {
    unsigned int spin;
    TF2 = 0;
    ++highCount;
    if (inLow) {
        // The low one's flag stays pending however long this takes.
        TF0 = 1;
        for (spin = 0; spin < 300; ++spin) {
        }
        if (lowCount != 0 && !inLow) ++lowDuringHigh;
    }
}

void main(void) {
    startSerial();
    TMOD = (TMOD & 0xF0) | 0x01;  // timer 0: 16 bits
    TH0 = 0xF0;
    RCAP2H = TH2 = 0xFC;          // timer 2: auto-reload every 1024 ticks
    RCAP2L = TL2 = 0x00;
    PT2 = 1;
    ET0 = ET2 = EA = 1;
    TR0 = TR2 = 1;
    while (ET0) {
    }
    EA = 0;
    printf("low %u, high interrupted it %u times, low interrupted high %u times\n", lowCount, highDuringLow,
           lowDuringHigh);
    finish();
}
