#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system_error.h"
#include "system_error_web.h"

namespace {

char browserReason[256];

}  // namespace

void takeBrowserReason(const char *reason) {
    snprintf(browserReason, sizeof browserReason, "%s", reason);
}

// The page's file fails in the browser's words; files in memory, in the C
// library's.
const char *lastSystemError() { return browserReason[0] ? browserReason : strerror(errno); }
