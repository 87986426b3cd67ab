// What the test programs share: serial port 0 at 9600 baud from timer 1,
// text and numbers out, bytes in, and the end of a run: s51 stops at its
// simulator interface (a MOVX to 0xFFFF), the virtual chip at the
// reserved opcode 0xA5 that follows.
#include <8052.h>
#include <stdio.h>

int putchar(int c) {
    SBUF = c;
    while (!TI) {
    }
    TI = 0;
    return c;
}

int getchar(void) {
    while (!RI) {
    }
    RI = 0;
    return SBUF;
}

static void startSerial(void) {
    SCON = 0x50;
    TMOD = (TMOD & 0x0F) | 0x20;
    TH1 = 0xFD;
    TR1 = 1;
}

static void hex32(unsigned long value) {
    printf("%04X%04X", (unsigned int)(value >> 16), (unsigned int)value);
}

static void finish(void) {
    *(volatile __xdata unsigned char *)0xFFFF = 's';
    __asm
        .db 0xa5
    __endasm;
}
