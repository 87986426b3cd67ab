// The run's shared state, which the entry point owns in the program.
#include "loader_dialog.h"
#include "record_stream.h"

unsigned char loadBuffer[loadBufferSize];
int bufferedCount = 0;
int fileHandle = -1;
const char *hexFileName = "test.hex";
