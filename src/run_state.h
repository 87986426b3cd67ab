// The run's state, owned by the entry point (hexpush.cpp) for the whole run:
// it lends the work buffer to the loader stages in turn, and the file to the
// transfer. Defined in run_state.cpp.
#pragma once

// The work buffer and its fill count.
const int loadBufferSize = 1024;
extern unsigned char loadBuffer[loadBufferSize];
extern int bufferedCount;

// Descriptor and name of the HEX file; -1 until opened.
extern int fileHandle;
extern const char *hexFileName;
