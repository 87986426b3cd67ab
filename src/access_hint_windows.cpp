#include "access_hint.h"

// Windows has no group to join for a serial port: one that cannot be opened
// is held by another program, and the refusal already says so.
void hintAtAccess(const char *) {}
