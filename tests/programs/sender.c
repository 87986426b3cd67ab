// 76 bytes and a "!" at 9600 baud: 77 frames of 10 bits, 80.2 ms.
#include "console.h"

void main(void) {
    unsigned char i;
    startSerial();
    for (i = 0; i < 76; ++i) putchar('U');
    putchar('!');
    for (;;) {
    }
}
