// The line-by-line transfer of the HEX file, one line in flight at a time.
#pragma once

// Stops the run before the loader is woken if the file cannot be read or a
// line cannot fit the work buffer with its line feed. The file position is
// left where it was.
void checkLinesFit();

void streamRecords();
