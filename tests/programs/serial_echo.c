// Serial input and output: a line is taken whole, then sent back
// reversed and in capitals, with its sum.
#include "console.h"

void main(void) {
    static __xdata char line[64];
    unsigned char length, i;
    unsigned int sum;
    startSerial();
    printf("ready\n");
    for (;;) {
        length = 0;
        while (length < sizeof line) {
            char c = getchar();
            if (c == '\n') break;
            line[length++] = c;
        }
        if (length == 1 && line[0] == '.') break;
        for (sum = 0, i = length; i > 0; --i) {
            char c = line[i - 1];
            sum += (unsigned char)c;
            putchar(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
        printf(" %u\n", sum);
    }
    printf("bye\n");
    finish();
}
