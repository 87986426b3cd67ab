#include "access_hint.h"
#include "console.h"

// The browser gives one reason however the open failed: each remedy is named.
void hintAtAccess(const char *portPath) {
    tell(portPath, "if another program (a terminal, or this page in another tab) has it open, close that and try again");
    tell(portPath, "on Linux, if you may not open it, join its group with 'sudo usermod -aG dialout $USER', then log in again");
}
