// The on-chip 1 KiB of MOVX memory, through DPTR (xdata) and through R0,
// R1 and P2 (pdata).
#include "console.h"

static __xdata unsigned char table[900];
static __pdata unsigned char page[100];

void main(void) {
    unsigned int i, sum = 0;
    unsigned char check = 0;
    startSerial();
    for (i = 0; i < sizeof table; ++i) table[i] = (unsigned char)(i * 7 + (i >> 3));
    for (i = 0; i < sizeof page; ++i) page[i] = table[i * 9] ^ 0x5A;
    for (i = 0; i < sizeof table; ++i) sum += table[i];
    for (i = 0; i < sizeof page; ++i) check = (unsigned char)(check * 31 + page[i]);
    printf("sum %u check %u last %u first %u\n", sum, check, table[899], page[0]);
    finish();
}
