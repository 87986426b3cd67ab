// Timer 0 interrupts every millisecond of chip time (922 ticks of the
// crystal's twelfth at 11.0592 MHz), and P1.0 changes at each.
#include <8052.h>

void tick(void) __interrupt(1) {
    TH0 = (65536 - 922) >> 8;
    TL0 = (65536 - 922) & 0xFF;
    P1_0 = !P1_0;
}

void main(void) {
    TMOD = 0x01;
    TH0 = (65536 - 922) >> 8;
    TL0 = (65536 - 922) & 0xFF;
    ET0 = EA = TR0 = 1;
    for (;;) {
    }
}
