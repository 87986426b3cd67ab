#include <cerrno>
#include <cstring>

#include "system_error.h"

const char *lastSystemError() { return strerror(errno); }
