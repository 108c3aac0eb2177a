/*
 * shm_trust.h - whether a process may believe a named shared-memory area.
 *
 * Whoever can write the calibration area sets the time of every process that
 * reads it.  A process therefore trusts an area only when it is a regular
 * shared-memory object owned by the process's own effective user or by root,
 * and nobody else can write it (no group or other write bit).  Anything else
 * may have been put there by another local user and is treated as absent.
 * The overflow user 65534 ("nobody") is never trusted, not even by a process
 * running as it: unrelated daemons share it, and inside a user namespace
 * every unmapped user shows as it.  Owners run as root or a dedicated user.
 *
 * The rule is judged on the stat of an open descriptor, the one that is then
 * mapped, so that the object cannot be swapped between check and map.  The
 * base services (vek_base.cpp) and yaltime-status both judge by it.
 */
#ifndef VEK_HOST_SHM_TRUST_H
#define VEK_HOST_SHM_TRUST_H

#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace shm_trust {

enum verdict {
    TRUSTED = 0,
    NOT_REGULAR,        /* a directory, FIFO, device... */
    FOREIGN_OWNER,      /* owned by neither root nor the effective user */
    WRITABLE_BY_OTHERS, /* group or other write bit set */
    OVERFLOW_OWNER,     /* owned by the overflow user, whoever asks */
};

constexpr uid_t OVERFLOW_UID = 65534;

inline verdict judge(const struct stat &st, uid_t euid)
{
    if (!S_ISREG(st.st_mode))
        return NOT_REGULAR;
    if (st.st_uid == OVERFLOW_UID)
        return OVERFLOW_OWNER;
    if (st.st_uid != euid && st.st_uid != 0)
        return FOREIGN_OWNER;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return WRITABLE_BY_OTHERS;
    return TRUSTED;
}

inline verdict judge(const struct stat &st) { return judge(st, geteuid()); }

inline const char *reason(verdict v)
{
    switch (v) {
    case TRUSTED:
        return "trusted";
    case NOT_REGULAR:
        return "not a regular shared-memory object";
    case FOREIGN_OWNER:
        return "owned by neither root nor this user";
    case WRITABLE_BY_OTHERS:
        return "writable by group or others";
    case OVERFLOW_OWNER:
        return "owned by the overflow user 65534, which nobody may trust";
    }
    return "untrusted";
}

/* Permission bits as four octal digits, e.g. "0644". */
inline std::string mode_text(mode_t mode)
{
    char text[16];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

/* The user name of `uid`, or "" when the user database does not know it.
 * It may ask a network directory: never call it from a thread that reads
 * the clock. */
inline std::string user_name(uid_t uid)
{
    char buffer[1024];
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr || found->pw_name == nullptr)
        return std::string();
    return found->pw_name;
}

} // namespace shm_trust

#endif /* VEK_HOST_SHM_TRUST_H */
