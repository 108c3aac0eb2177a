/*
 * shm_owner.h - what lies under a shared-memory name, and which process owns
 * an area.
 *
 * POSIX shared-memory objects are the entries of /dev/shm: "/N" is the entry
 * N there.  An entry under the name can be anything a local user put there
 * (a directory, a socket, a FIFO, a symbolic link, a device node), so it is
 * looked at without following a link and without opening it.
 *
 * The owner of an area holds an exclusive flock(2) on a descriptor of it for
 * its whole life.  The kernel drops the lock when the owner dies, so a lock
 * that cannot be had means a live owner.  The kernel lists every flock in
 * /proc/locks with the pid that took it and the object's device and inode;
 * that is how a second owner and yaltime-status name the live one.  Nobody
 * but an owner ever takes the lock.
 */
#ifndef VEK_HOST_SHM_OWNER_H
#define VEK_HOST_SHM_OWNER_H

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>

namespace shm_owner {

constexpr const char *SHM_DIRECTORY = "/dev/shm";

/* The entry of "/N" in SHM_DIRECTORY: "N". */
inline std::string entry_name(const std::string &posix_name)
{
    const std::size_t first = posix_name.find_first_not_of('/');
    return first == std::string::npos ? std::string() : posix_name.substr(first);
}

/* The entry's own stat (a link is not followed); false when there is none. */
inline bool stat_entry(const std::string &posix_name, struct stat *st)
{
    const std::string path = std::string(SHM_DIRECTORY) + "/" + entry_name(posix_name);
    return fstatat(AT_FDCWD, path.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

/* One line of /proc/locks names an exclusive flock on the object of `st`. */
inline bool names_write_flock(const char *line, const struct stat &st, long *pid)
{
    char kind[16], advice[16], access[16];
    unsigned int major_dev = 0, minor_dev = 0;
    unsigned long long inode = 0;
    if (strstr(line, "->") != nullptr) /* a waiter, not the holder */
        return false;
    if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%llu", kind, advice, access, pid, &major_dev, &minor_dev,
               &inode) != 7)
        return false;
    return strcmp(kind, "FLOCK") == 0 && strcmp(access, "WRITE") == 0 &&
           makedev(major_dev, minor_dev) == st.st_dev && inode == static_cast<unsigned long long>(st.st_ino);
}

/* The pid holding the owner's lock on the object of `st`, as this process
 * sees pids; 0 when it cannot tell (no /proc, another pid namespace). */
inline long lock_holder_pid(const struct stat &st)
{
    FILE *locks = fopen("/proc/locks", "re");
    if (locks == nullptr)
        return 0;
    char line[256];
    long pid = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, locks) != nullptr)
        found = names_write_flock(line, st, &pid);
    fclose(locks);
    return found && pid > 0 ? pid : 0;
}

} // namespace shm_owner

#endif /* VEK_HOST_SHM_OWNER_H */
