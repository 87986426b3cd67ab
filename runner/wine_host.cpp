#include "wine_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

namespace {

std::string prefix() { return "/tmp/hexpush-wine-" + std::to_string(getuid()); }

std::string comLink(int number) { return prefix() + "/dosdevices/com" + std::to_string(number); }

// A COM number belongs to the run that holds the lock on its own file, for as
// long as the run uses the link: only that run makes, replaces or removes the
// link, and a run that is killed gives the number back with its life. A link
// found on a number nobody holds is left from such a run, and is replaced.
std::string comLock(int number) { return prefix() + "/com-locks/com" + std::to_string(number); }

std::map<int, int> heldNumbers;  // COM number: its lock

// The number's lock, now held; -1 where another run holds it.
int holdNumber(int number) {
    int lock = open(comLock(number).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        return -1;
    }
    return lock;
}

std::string environmentLine() {
    std::string line;
    for (const std::string &setting : wineEnvironment()) line += setting + " ";
    return line;
}

// Wine is driven by its own commands, put together here from fixed words and
// the prefix's path; whether one succeeded.
bool succeeds(const std::string &command) {
    return system(command.c_str()) == 0;  // NOLINT(cert-env33-c): Wine's tools are commands
}

// Input read once is copied into the temporary folder: in this prefix its
// name is outside every ANSI code page, so that each such load of the
// Windows build shows that it takes the folder by its wide name.
bool nameScratchFolderInCyrillic(const std::string &env) {
    std::string folder = prefix() + "/временные";
    std::string named = prefix() + "/scratch-folder-named";
    struct stat done;
    if (stat(named.c_str(), &done) == 0) return true;
    mkdir(folder.c_str(), 0700);
    std::string windowsName = "Z:" + folder;  // Wine's Z: is the root
    std::replace(windowsName.begin(), windowsName.end(), '/', '\\');
    std::string commands;
    for (const char *variable : {"TMP", "TEMP"}) {
        commands.append(env).append("wine reg add 'HKCU\\Environment' /v ").append(variable);
        commands.append(" /d '").append(windowsName).append("' /f >/dev/null 2>&1 </dev/null && ");
    }
    return succeeds(commands + "true") && close(creat(named.c_str(), 0600)) == 0;
}

}  // namespace

std::vector<std::string> wineEnvironment() {
    // Wine reads the arguments' bytes, names among them, in the locale's
    // character set.
    return {"WINEPREFIX=" + prefix(), "WINEDEBUG=-all", "LC_ALL=C.UTF-8",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY=", "WAYLAND_DISPLAY="};
}

// The first command of a server's life leaves Wine's own services holding its
// output, so that a pipe from it never closes: that command is this one,
// with its output going nowhere. Its server stays a minute after the last
// program, where one started by a program ends within seconds: so the server
// that made a new prefix is let end first.
bool prepareWine(std::string &why) {
    if (!succeeds("command -v wine >/dev/null 2>&1")) {
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
                 succeeds(env + "wineboot --init >/dev/null 2>&1 && " + env + "wineserver -w");
    ready = ready && succeeds(env + "wineserver -p60 >/dev/null 2>&1; " + env +
                              "wine cmd /c exit 0 >/dev/null 2>&1 </dev/null");
    ready = ready && nameScratchFolderInCyrillic(env);
    mkdir((prefix() + "/com-locks").c_str(), 0700);
    close(lock);
    if (!ready) why = "Wine cannot start a prefix in " + prefix();
    return ready;
}

std::string wineCommand(const std::string &program) {
    return "env " + environmentLine() + "wine " + program;
}

std::string linkComPort(const std::string &port) {
    for (int number = 33; number <= 256; ++number) {
        int lock = holdNumber(number);
        if (lock < 0) continue;
        unlink(comLink(number).c_str());
        if (symlink(port.c_str(), comLink(number).c_str()) == 0) {
            heldNumbers[number] = lock;
            return "COM" + std::to_string(number);
        }
        close(lock);
    }
    return "";
}

void unlinkComPort(const std::string &name) {
    auto held = heldNumbers.find(
        name.size() > 3 ? static_cast<int>(strtol(name.c_str() + 3, nullptr, 10)) : 0);
    if (held == heldNumbers.end()) return;
    unlink(comLink(held->first).c_str());
    close(held->second);
    heldNumbers.erase(held);
}
