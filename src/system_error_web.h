// The browser's own words for a failure of the page's file, for
// lastSystemError() to give.
#pragma once

void takeBrowserReason(const char *reason);
