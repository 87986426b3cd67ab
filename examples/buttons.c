// A small 8051 program for trying the web page's pins: it says on the serial
// port (9600 baud) when P3.2 or P1.7 changes. In the page, load it into the
// virtual chip, open the terminal, and hold either pin down.
#include <8051.h>
#include <stdio.h>

int putchar(int c) {
    SBUF = c;
    while (!TI) {
    }
    TI = 0;
    return c;
}

void main(void) {
    unsigned char int0 = 1, p17 = 1;
    SCON = 0x50;  // mode 1, receiver on
    TMOD = 0x20;  // timer 1 in auto-reload mode for the baud rate
    TH1 = 0xFD;
    TR1 = 1;
    printf("watching P3.2 and P1.7\r\n");
    for (;;) {
        if (P3_2 != int0) {
            int0 = P3_2;
            printf("P3.2 %s\r\n", int0 ? "high" : "low");
        }
        if (P1_7 != p17) {
            p17 = P1_7;
            printf("P1.7 %s\r\n", p17 ? "high" : "low");
        }
    }
}
