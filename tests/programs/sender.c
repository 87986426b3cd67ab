// 76 bytes and a "!" at 9600 baud: 77 frames of 10 bits, 80.2 ms; at
// 19200 with SMOD set (built with -DDOUBLE).
#include "console.h"

void main(void) {
    unsigned char i;
    startSerial();
#ifdef DOUBLE
    PCON |= 0x80;
#endif
    for (i = 0; i < 76; ++i) putchar('U');
    putchar('!');
    for (;;) {
    }
}
