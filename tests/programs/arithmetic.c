// Integer arithmetic to 32 bits, signed and unsigned, and floats.
#include "console.h"

static float asFloat(unsigned long bits) {
    union { unsigned long bits; float value; } both;
    both.bits = bits;
    return both.value;
}

static unsigned long bitsOf(float value) {
    union { unsigned long bits; float value; } both;
    both.value = value;
    return both.bits;
}

void main(void) {
    static const long values[] = {0, 1, -1, 7, -13, 255, 256, 32767, -32768, 65535, 100000, -2147483647L, 1234567890L};
    unsigned char i, j;
    startSerial();
    for (i = 0; i < sizeof values / sizeof values[0]; ++i) {
        for (j = 0; j < sizeof values / sizeof values[0]; ++j) {
            long a = values[i], b = values[j];
            unsigned long ua = a, ub = b;
            hex32(a + b); putchar(' ');
            hex32(a - b); putchar(' ');
            hex32(a * b); putchar(' ');
            if (b) { hex32(a / b); putchar(' '); hex32(a % b); putchar(' '); }
            if (ub) { hex32(ua / ub); putchar(' '); hex32(ua % ub); putchar(' '); }
            printf("%d %d %d ", a < b, ua < ub, (int)a * (int)b);
            hex32(ua >> (j & 31)); putchar(' ');
            hex32(a >> (i & 31)); putchar(' ');
            hex32(ua << (i & 31)); putchar('\n');
        }
        {
            float f = (float)values[i] / 7.0f, g = asFloat(0x3FB504F3UL);
            hex32(bitsOf(f)); putchar(' ');
            hex32(bitsOf(f * g + 0.5f)); putchar(' ');
            hex32(bitsOf(f - g)); putchar(' ');
            hex32((long)(f * 1000.0f)); putchar(' ');
            printf("%d\n", f < g);
        }
    }
    printf("unsigned char %u, int %d, long %ld\n", (unsigned char)(200 + 100), (int)(30000 + 30000), 70000L * 3);
    finish();
}
