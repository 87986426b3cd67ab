// Reentrant recursion on the stack, jump tables from switches, and calls
// through pointers.
#include "console.h"

static unsigned int fibonacci(unsigned char n) __reentrant {
    return n < 2 ? n : fibonacci(n - 1) + fibonacci(n - 2);
}

static unsigned int ackermann(unsigned char m, unsigned int n) __reentrant {
    if (m == 0) return n + 1;
    if (n == 0) return ackermann(m - 1, 1);
    return ackermann(m - 1, ackermann(m, n - 1));
}

static const char *dayName(unsigned char day) {
    switch (day) {
        case 0: return "Mon";
        case 1: return "Tue";
        case 2: return "Wed";
        case 3: return "Thu";
        case 4: return "Fri";
        case 5: return "Sat";
        case 6: return "Sun";
        case 7: return "again";
        case 8: return "and";
        case 9: return "on";
        default: return "?";
    }
}

static int twice(int x) { return 2 * x; }
static int square(int x) { return x * x; }
static int negate(int x) { return -x; }

void main(void) {
    static int (*const operations[])(int) = {twice, square, negate};
    unsigned char i;
    startSerial();
    for (i = 0; i < 15; ++i) printf("fib(%u)=%u\n", i, fibonacci(i));
    printf("ack(2,3)=%u ack(3,2)=%u\n", ackermann(2, 3), ackermann(3, 2));
    for (i = 0; i < 12; ++i) printf("%s ", dayName(i));
    putchar('\n');
    for (i = 0; i < 9; ++i) printf("%d ", operations[i % 3](i * 11 - 40));
    putchar('\n');
    finish();
}
