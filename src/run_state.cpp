#include "run_state.h"

unsigned char loadBuffer[loadBufferSize];
int bufferedCount = 0;
int fileHandle = -1;
const char *hexFileName = "";
