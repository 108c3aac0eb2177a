/*
 * owner_locks.cpp - the table of owner's locks and owner's mappings, and the
 * fork handlers that keep both with the parent (see owner_locks.h).
 */
#include "host/owner_locks.h"

#include <errno.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace owner_locks {

namespace {

struct held_lock {
    dev_t device;
    ino_t inode;
    int fd;
};

struct owner_mapping {
    void *address;
    size_t size_bytes;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
/* Used until the process ends, through its exit handlers (an owner's thread
 * may take an area over then): never destroyed. */
std::vector<held_lock> &g_locks = *new std::vector<held_lock>;
std::vector<owner_mapping> &g_mappings = *new std::vector<owner_mapping>;

class table_guard {
public:
    table_guard() { pthread_mutex_lock(&g_mutex); }
    ~table_guard() { pthread_mutex_unlock(&g_mutex); }
    table_guard(const table_guard &) = delete;
    table_guard &operator=(const table_guard &) = delete;
};

void before_fork() { pthread_mutex_lock(&g_mutex); }

void after_fork_in_parent() { pthread_mutex_unlock(&g_mutex); }

/* Only close and mprotect, system calls of their own: no allocation (clear
 * keeps the vectors' storage), no stdio. */
void after_fork_in_child()
{
    for (const held_lock &held : g_locks)
        close(held.fd);
    for (const owner_mapping &m : g_mappings)
        mprotect(m.address, m.size_bytes, PROT_READ);
    g_locks.clear();
    g_mappings.clear();
    pthread_mutex_unlock(&g_mutex);
}

/* Registered at load, before any component can register a fork handler of
 * its own: fork runs prepare handlers in the reverse order, so a
 * component's handler (which may wait for a thread that takes a lock here)
 * comes first and this mutex is taken last. */
__attribute__((constructor)) void register_fork_handlers()
{
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

} // namespace

bool held_here(const struct stat &st)
{
    const table_guard guard;
    for (const held_lock &held : g_locks)
        if (held.device == st.st_dev && held.inode == st.st_ino)
            return true;
    return false;
}

bool take(int lock_fd, const struct stat &st)
{
    const table_guard guard;
    if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(lock_fd);
        errno = error;
        return false;
    }
    g_locks.push_back({st.st_dev, st.st_ino, lock_fd});
    return true;
}

void note_owner_mapping(void *address, size_t size_bytes)
{
    const table_guard guard;
    g_mappings.push_back({address, size_bytes});
}

void forget_owner_mapping(void *address)
{
    const table_guard guard;
    for (auto m = g_mappings.begin(); m != g_mappings.end(); ++m)
        if (m->address == address) {
            g_mappings.erase(m);
            return;
        }
}

} // namespace owner_locks
