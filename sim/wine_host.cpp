#include "wine_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

std::string prefix() { return "/tmp/hexpush-wine-" + std::to_string(getuid()); }

std::string comLink(int number) { return prefix() + "/dosdevices/com" + std::to_string(number); }

// A link whose port has gone is left from a run that was killed. Only a run
// that holds the prefix's lock removes them: a live run's link never
// dangles, and two runs must never race to reuse one.
void removeLeftOverLinks() {
    for (int number = 33; number <= 256; ++number) {
        struct stat target;
        std::string link = comLink(number);
        if (stat(link.c_str(), &target) != 0) unlink(link.c_str());
    }
}

std::string environmentLine() {
    std::string line;
    for (const std::string &setting : wineEnvironment()) line += setting + " ";
    return line;
}

}  // namespace

std::vector<std::string> wineEnvironment() {
    return {"WINEPREFIX=" + prefix(), "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY=", "WAYLAND_DISPLAY="};
}

// The first command of a server's life leaves Wine's own services holding its
// output, so that a pipe from it never closes: that command is this one,
// with its output going nowhere.
bool prepareWine(std::string &why) {
    if (system("command -v wine >/dev/null 2>&1") != 0) {
        why = "wine is not installed (Debian packages wine and wine64)";
        return false;
    }
    int lock = open((prefix() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    flock(lock, LOCK_EX);  // one run readies it; the others wait for it
    std::string env = "env " + environmentLine();
    // Wine makes a prefix only in a folder of the user's own, which /tmp is
    // not for an ordinary user: the prefix's own folder is made first.
    mkdir(prefix().c_str(), 0700);
    struct stat made;
    bool ready = stat((prefix() + "/system.reg").c_str(), &made) == 0 ||
                 system((env + "wineboot --init >/dev/null 2>&1").c_str()) == 0;
    ready = ready && system((env + "wineserver -p60 >/dev/null 2>&1; " + env +
                             "wine cmd /c exit 0 >/dev/null 2>&1 </dev/null")
                                .c_str()) == 0;
    if (ready) removeLeftOverLinks();
    close(lock);
    if (!ready) why = "Wine cannot start a prefix in " + prefix();
    return ready;
}

std::string linkComPort(const std::string &port) {
    for (int number = 33; number <= 256; ++number) {
        if (symlink(port.c_str(), comLink(number).c_str()) == 0)
            return "COM" + std::to_string(number);
    }
    return "";
}

void unlinkComPort(const std::string &name) {
    if (name.size() > 3) unlink(comLink(atoi(name.c_str() + 3)).c_str());
}
