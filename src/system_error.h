// The system's own words for why its last call failed: one implementation a
// system (system_error_posix.cpp, system_error_windows.cpp).
#pragma once

// Valid until the next call.
const char *lastSystemError();
