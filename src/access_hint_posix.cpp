#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "access_hint.h"
#include "console.h"

namespace {

bool inGroupNow(gid_t group) {
    if (getegid() == group) return true;
    gid_t groups[256];
    int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == group) return true;
    }
    return false;
}

// Joined in the group database, but not in this login session yet.
bool joinedSinceLogin(const group &owner) {
    const passwd *user = getpwuid(getuid());
    if (!user) return false;
    for (char **member = owner.gr_mem; member && *member; ++member) {
        if (strcmp(*member, user->pw_name) == 0) return true;
    }
    return false;
}

}  // namespace

void hintAtAccess(const char *portPath) {
    struct stat port;
    if (geteuid() == 0 || stat(portPath, &port) != 0) return;
    const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
    if (port.st_gid == 0 || (port.st_mode & groupReadWrite) != groupReadWrite) return;
    if (inGroupNow(port.st_gid)) return;
    const group *owner = getgrgid(port.st_gid);
    if (!owner) return;
    char hint[256];
    if (joinedSinceLogin(*owner)) {
        snprintf(hint, sizeof hint, "open to group %s, which you have joined: log in again",
                 owner->gr_name);
    } else {
#ifdef __linux__
        snprintf(hint, sizeof hint,
                 "open to group %s; join it with 'sudo usermod -aG %s $USER', then log in again",
                 owner->gr_name, owner->gr_name);
#else
        snprintf(hint, sizeof hint,
                 "open to group %s; ask for your account to join it, then log in again",
                 owner->gr_name);
#endif
    }
    tell(portPath, hint);
}
