/*
 * shm_areas.cpp - named shared memory for VEK_BASE.
 *
 * Readers map only trusted objects (shm_trust.h), judged on the descriptor
 * they then map.  Mappings are counted per object, so mapping an object that
 * is mapped already gives its address again (unless VEK_SHM_MAP_ANEW asks
 * for a new mapping every time, for tests).
 *
 * An owner takes the name this way:
 *   1. Whatever is under the name is looked at without opening it and
 *      without following a link.  A trusted regular object is opened (and
 *      checked again on the descriptor); anything else (a directory, a
 *      socket, a FIFO, a symbolic link, a device node, another user's or the
 *      overflow user's object, one others can write) is removed by name
 *      only: unlink, or rmdir for an empty directory.  A directory with
 *      entries is never walked: it is renamed aside in /dev/shm (which only
 *      root may do to another user's directory there).  An owner that may
 *      not remove the object fails.
 *   2. Before writing anything it takes an exclusive flock on the object,
 *      on a descriptor of its own kept open for the life of the process and
 *      closed in a fork child (owner_locks.h).  When another process holds
 *      it, a live owner has the area: it says which and fails.
 *   3. It sizes the object and reserves its pages (posix_fallocate), so a
 *      full /dev/shm fails here rather than with SIGBUS at a later store.
 */
#include "host/shm_areas.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/owner_locks.h"
#include "host/shm_owner.h"
#include "host/shm_trust.h"

namespace shm_areas {

namespace {

/* "/" + VEK_SHM_PREFIX + name (a leading '/' of name dropped); empty when
 * there is no usable name. */
std::string shm_name(const char *name)
{
    if (name == nullptr)
        return std::string();
    if (name[0] == '/')
        ++name;
    if (name[0] == '\0')
        return std::string();
    const char *prefix = getenv("VEK_SHM_PREFIX");
    return std::string("/") + (prefix != nullptr ? prefix : "") + name;
}

void say(int priority, const std::string &message)
{
    fprintf(stderr, "%s\n", message.c_str());
    fflush(stderr);
    syslog(priority, "%s", message.c_str());
}

/* --- the untrusted-area report -------------------------------------------- */

/* One pending report.  The thread that moves the state from EMPTY to FILLING
 * alone writes the fields, and the one that moves it from FULL to READING
 * alone reads them, so the fields themselves need no atomics. */
enum report_state { REPORT_EMPTY, REPORT_FILLING, REPORT_FULL, REPORT_READING };

struct untrusted_report {
    char path[NAME_MAX + 2];
    unsigned long owner_uid;
    mode_t mode;
    shm_trust::verdict verdict;
    const char *action;
};

std::atomic<int> g_report_state{REPORT_EMPTY};
untrusted_report g_report;

/* Earliest CLOCK_MONOTONIC second at which the next report may be said. */
constexpr long UNTRUSTED_SAY_INTERVAL_S = 60;
std::atomic<long> g_say_after_s{0};

long monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}

/* Notes an untrusted object for say_untrusted_report; one report waits at a
 * time, later ones are dropped until it is said.  Stores only. */
void note_untrusted(const std::string &path, const struct stat &st, shm_trust::verdict verdict, const char *action)
{
    int expected = REPORT_EMPTY;
    if (!g_report_state.compare_exchange_strong(expected, REPORT_FILLING, std::memory_order_acquire))
        return;
    snprintf(g_report.path, sizeof g_report.path, "%s", path.c_str());
    g_report.owner_uid = static_cast<unsigned long>(st.st_uid);
    g_report.mode = st.st_mode;
    g_report.verdict = verdict;
    g_report.action = action;
    g_report_state.store(REPORT_FULL, std::memory_order_release);
}

/* True for a trusted object; otherwise notes it and gives false. */
bool trusted_or_noted(const std::string &path, const struct stat &st, const char *action)
{
    const shm_trust::verdict verdict = shm_trust::judge(st);
    if (verdict == shm_trust::TRUSTED)
        return true;
    note_untrusted(path, st, verdict, action);
    return false;
}

/* --- mappings counted per object -------------------------------------------- */

struct mapping {
    dev_t device;
    ino_t inode;
    size_t size_bytes;
    void *address;
    long references;
};

/* The components' threads map and unmap until the process ends, through its
 * exit handlers: the table is never destroyed. */
std::mutex g_mappings_mutex;
std::vector<mapping> &g_mappings = *new std::vector<mapping>;

/* Takes one more reference to a counted mapping of the object; null if none. */
void *reference_mapping(const struct stat &st, size_t size_bytes)
{
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    for (mapping &m : g_mappings)
        if (m.device == st.st_dev && m.inode == st.st_ino && m.size_bytes == size_bytes) {
            ++m.references;
            return m.address;
        }
    return nullptr;
}

/* VEK_SHM_MAP_ANEW set (read at every call): every mapping is a new one, as
 * some hosts do, so that tests can show a client does not rely on getting
 * the same address for the same object. */
bool map_anew()
{
    const char *anew = getenv("VEK_SHM_MAP_ANEW");
    return anew != nullptr && anew[0] != '\0' && anew[0] != '0';
}

/* The object's counted read-only mapping, made now if there is none. */
void *map_object(int fd, const struct stat &st, size_t size_bytes)
{
    const bool anew = map_anew();
    if (void *known = anew ? nullptr : reference_mapping(st, size_bytes))
        return known;
    void *p = mmap(nullptr, size_bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (void *known = anew ? nullptr : reference_mapping(st, size_bytes)) { /* another thread was quicker */
        munmap(p, size_bytes);
        return known;
    }
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    g_mappings.push_back({st.st_dev, st.st_ino, size_bytes, p, 1});
    return p;
}

/* --- the owner's side ------------------------------------------------------- */

/* A directory with entries, moved out of the way under a name of its own. */
bool move_aside(int directory_fd, const std::string &entry)
{
    for (int n = 0; n < 16; ++n) {
        const std::string aside =
            "." + entry + ".planted." + std::to_string(static_cast<long>(getpid())) + "." + std::to_string(n);
        if (renameat2(directory_fd, entry.c_str(), directory_fd, aside.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST)
            return errno == ENOENT;
    }
    return false;
}

/* Removes the entry under the name without following it or looking inside. */
bool remove_entry(const std::string &path)
{
    const int directory_fd = open(shm_owner::SHM_DIRECTORY, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_fd < 0)
        return false;
    const std::string entry = shm_owner::entry_name(path);
    bool removed = unlinkat(directory_fd, entry.c_str(), 0) == 0 || errno == ENOENT;
    if (!removed && errno == EISDIR) {
        removed = unlinkat(directory_fd, entry.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
        if (!removed && (errno == ENOTEMPTY || errno == EEXIST))
            removed = move_aside(directory_fd, entry);
    }
    close(directory_fd);
    return removed;
}

/* A new object of ours, mode 0644 whatever the umask; -1 if it is not trusted. */
int keep_new_object(const std::string &path, int fd)
{
    struct stat st;
    if (fchmod(fd, 0644) == 0 && fstat(fd, &st) == 0 && shm_trust::judge(st) == shm_trust::TRUSTED)
        return fd;
    close(fd);
    shm_unlink(path.c_str());
    return -1;
}

/* The trusted object `seen` under the name, opened read-write; -1 when it
 * was swapped meanwhile (*again) or cannot be opened. */
int open_trusted(const std::string &path, const struct stat &seen, bool *again)
{
    const int fd = shm_open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) {
        *again = errno == ENOENT;
        return -1;
    }
    struct stat opened;
    if (fstat(fd, &opened) == 0 && opened.st_dev == seen.st_dev && opened.st_ino == seen.st_ino &&
        shm_trust::judge(opened) == shm_trust::TRUSTED)
        return fd;
    close(fd);
    *again = true;
    return -1;
}

/*
 * The area under `path` opened read-write as this process's own: created
 * exclusively, or an existing trusted object, or created after removing
 * whatever untrusted entry was there.  -1 when the name cannot be had (the
 * entry may not be removed, or someone keeps replacing it).  *created tells
 * whether the object is new.
 */
int open_own_area(const std::string &path, bool *created)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0644);
        *created = fd >= 0;
        if (fd >= 0)
            return keep_new_object(path, fd);
        if (errno != EEXIST)
            return -1;
        struct stat seen;
        if (!shm_owner::stat_entry(path, &seen))
            continue; /* removed meanwhile: create it */
        if (shm_trust::judge(seen) == shm_trust::TRUSTED) {
            bool again = false;
            const int existing = open_trusted(path, seen, &again);
            if (existing >= 0 || !again)
                return existing;
            continue;
        }
        note_untrusted(path, seen, shm_trust::judge(seen), "removing it");
        if (!remove_entry(path))
            return -1;
    }
    return -1;
}

/* A description of the object of `st` of its own, for the owner's lock
 * alone (owner_locks.h); -1 when the name no longer refers to that object. */
int open_lock_description(const std::string &path, const struct stat &st)
{
    const int fd = shm_open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    struct stat opened;
    if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

/* The owner's lock on the object of `fd`, taken now or held by this process
 * already; false, after saying who holds it, when a live owner does. */
bool take_owner_lock(const std::string &path, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (owner_locks::held_here(st))
        return true;
    const int lock_fd = open_lock_description(path, st);
    if (lock_fd < 0)
        return false;
    if (owner_locks::take(lock_fd, st))
        return true;
    if (errno != EWOULDBLOCK)
        return false;
    const long pid = shm_owner::lock_holder_pid(st);
    say(LOG_ERR, "VEK_BASE: shared memory area " + path + " is held by its live owner" +
                     (pid > 0 ? ", pid " + std::to_string(pid) : std::string(" (pid unknown)")) +
                     "; a second owner does not write it");
    return false;
}

/* The object sized to `size_bytes`, its pages reserved, mapped read-write. */
void *reserve_and_map(int fd, size_t size_bytes)
{
    if (ftruncate(fd, static_cast<off_t>(size_bytes)) != 0 ||
        posix_fallocate(fd, 0, static_cast<off_t>(size_bytes)) != 0)
        return nullptr;
    void *p = mmap(nullptr, size_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

} // namespace

void say_untrusted_report()
{
    int expected = REPORT_FULL;
    if (!g_report_state.compare_exchange_strong(expected, REPORT_READING, std::memory_order_acquire))
        return;
    const untrusted_report report = g_report;
    g_report_state.store(REPORT_EMPTY, std::memory_order_release);

    const long now_s = monotonic_seconds();
    long after_s = g_say_after_s.load(std::memory_order_relaxed);
    if (now_s < after_s ||
        !g_say_after_s.compare_exchange_strong(after_s, now_s + UNTRUSTED_SAY_INTERVAL_S, std::memory_order_relaxed))
        return;
    say(LOG_WARNING, std::string("VEK_BASE: untrusted shared memory area ") + report.path + ", owner uid " +
                         std::to_string(report.owner_uid) + ", mode " + shm_trust::mode_text(report.mode) + ": " +
                         shm_trust::reason(report.verdict) + "; " + report.action);
}

void *map_to_read(const char *name, long *size)
{
    if (size != nullptr)
        *size = 0;
    const std::string path = shm_name(name);
    if (path.empty())
        return nullptr;
    const int fd = shm_open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    struct stat st;
    if (fd < 0) {
        /* A socket or a symbolic link cannot be opened: note it all the same. */
        if (errno != ENOENT && shm_owner::stat_entry(path, &st))
            trusted_or_noted(path, st, "not mapped");
        return nullptr;
    }
    void *p = nullptr;
    if (fstat(fd, &st) == 0 && trusted_or_noted(path, st, "not mapped") && st.st_size > 0 &&
        static_cast<uintmax_t>(st.st_size) <= static_cast<uintmax_t>(LONG_MAX) &&
        static_cast<uintmax_t>(st.st_size) <= static_cast<uintmax_t>(SIZE_MAX))
        p = map_object(fd, st, static_cast<size_t>(st.st_size));
    close(fd);
    if (p != nullptr && size != nullptr)
        *size = static_cast<long>(st.st_size);
    return p;
}

void *map_as_owner(const char *name, long size_bytes)
{
    const std::string path = shm_name(name);
    if (path.empty() || size_bytes <= 0)
        return nullptr;
    bool created = false;
    const int fd = open_own_area(path, &created);
    say_untrusted_report();
    if (fd < 0)
        return nullptr;
    if (!take_owner_lock(path, fd)) {
        close(fd);
        return nullptr;
    }
    /* The lock lives on a description of its own until the process ends (a
     * failed owner is about to stop, and keeps it too); this one only maps. */
    void *p = reserve_and_map(fd, static_cast<size_t>(size_bytes));
    close(fd);
    if (p == nullptr && created)
        shm_unlink(path.c_str());
    if (p != nullptr)
        owner_locks::note_owner_mapping(p, static_cast<size_t>(size_bytes));
    return p;
}

void unmap(void *address, long size_bytes)
{
    if (address == nullptr || size_bytes <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(g_mappings_mutex);
        for (auto m = g_mappings.begin(); m != g_mappings.end(); ++m)
            if (m->address == address) {
                if (--m->references > 0)
                    return;
                g_mappings.erase(m);
                break;
            }
    }
    owner_locks::forget_owner_mapping(address);
    munmap(address, static_cast<size_t>(size_bytes));
}

} // namespace shm_areas
