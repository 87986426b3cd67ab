// A small 8051 program for trying hexpush: blinks a LED on P1.0 and says
// hello on the serial port at each change.
#include <8051.h>

static const char greeting[] = "hello from the DS89C420\r\n";

static void delay(unsigned int count) {
    while (count--) {
        unsigned char inner = 200;
        while (inner--) {
        }
    }
}

static void sendText(const char *text) {
    while (*text) {
        SBUF = *text++;
        while (!TI) {
        }
        TI = 0;
    }
}

void main(void) {
    SCON = 0x50;  // mode 1, receiver on
    TMOD = 0x20;  // timer 1 in auto-reload mode for the baud rate
    TH1 = 0xFD;
    TR1 = 1;
    for (;;) {
        P1_0 = !P1_0;
        sendText(greeting);
        delay(500);
    }
}
