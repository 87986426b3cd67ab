// What to do about a port the user may not open, one implementation a
// system (access_hint_posix.cpp, access_hint_windows.cpp).
#pragma once

// Where something the user can do would give access (joining the group that
// owns the port, say), says so on standard error. Says nothing otherwise.
void hintAtAccess(const char *portPath);
