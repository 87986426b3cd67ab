// What to do about a port the user may not open.
#pragma once

// Where joining the group that owns the port would give access, says so on
// standard error: which group, and how to join it. Says nothing otherwise.
void hintAtAccess(const char *portPath);
