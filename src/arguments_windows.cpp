#include <windows.h>

#include <cstdlib>

#include "arguments.h"
#include "wide_text_windows.h"

// msvcrt's own reading of the command line, in UTF-16, as main's arguments
// are read in the ANSI code page; its header is not public.
struct MsvcrtStartupInfo {
    int newMode;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): msvcrt's name
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***environment,
                              int expandWildcards, MsvcrtStartupInfo *startup);

namespace {

void freeArguments(char **arguments, int count) {
    for (int i = 0; i < count; ++i) free(arguments[i]);
    free(static_cast<void *>(arguments));
}

}  // namespace

void takeArgumentsInUtf8(int &argc, char **&argv) {
    int count = 0;
    wchar_t **wide = nullptr;
    wchar_t **environment = nullptr;
    MsvcrtStartupInfo startup{0};
    if (__wgetmainargs(&count, &wide, &environment, 0, &startup) != 0 || !wide) return;
    char **utf8 = static_cast<char **>(calloc(count + 1, sizeof(char *)));
    if (!utf8) return;
    for (int i = 0; i < count; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        utf8[i] = static_cast<char *>(malloc(size > 0 ? size : 1));
        // Arguments that cannot be had in UTF-8 are left as Windows gave them.
        if (!utf8[i] || !fromWide(wide[i], utf8[i], size)) return freeArguments(utf8, i + 1);
    }
    argc = count;
    argv = utf8;
}
