// Says when P3.2 or P1.7 changes, as a program watching two buttons to
// ground would.
#include "console.h"

void main(void) {
    unsigned char int0 = 1, p17 = 1;
    startSerial();
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
