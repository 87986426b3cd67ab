// A CPU-bound program for timing the virtual chip against s51: the CRC-32
// of its own first 4 KiB of program memory, bit by bit, 24 times, then the
// result at 9600 baud. It ends where both stop: s51 at its simulator
// interface (a MOVX to 0xFFFF), the virtual chip at the reserved opcode.
#include <8052.h>

static __code unsigned char *const program = (__code unsigned char *)0;

static void send(char c) {
    SBUF = c;
    while (!TI) {
    }
    TI = 0;
}

void main(void) {
    unsigned long crc = 0;
    unsigned char round, bit;
    unsigned int i;
    SCON = 0x50;
    TMOD = 0x20;
    TH1 = 0xFD;
    TR1 = 1;
    for (round = 0; round < 24; ++round) {
        crc = 0xFFFFFFFFUL;
        for (i = 0; i < 4096; ++i) {
            crc ^= program[i];
            for (bit = 0; bit < 8; ++bit) crc = crc & 1 ? crc >> 1 ^ 0xEDB88320UL : crc >> 1;
        }
    }
    crc = ~crc;
    for (bit = 0; bit < 8; ++bit, crc <<= 4) send("0123456789ABCDEF"[crc >> 28]);
    send('\n');
    *(volatile __xdata unsigned char *)0xFFFF = 's';
    __asm
        .db 0xa5
    __endasm;
}
