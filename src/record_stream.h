// The line-by-line transfer of the HEX file, one line in flight at a time.
#pragma once

// Reads the whole file before the loader is woken: stops the run if it
// cannot be read or a line cannot fit the work buffer with its line feed,
// and notes what the file holds, so that a change during the load is seen.
// The file is left at its first byte.
void measureHexFile();

void streamRecords();
