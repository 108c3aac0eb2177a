/*
 * owner_locks.h - the owners' locks this process holds, and what a fork
 * does with them.
 *
 * An owner's lock is an exclusive flock(2), and a flock belongs to an open
 * file description: it lasts while any descriptor or any mapping refers to
 * that description, in whatever process.  fork copies descriptors and
 * mappings alike, so a child that kept them would hold its parent's lock
 * for as long as it lives, and the area would stay locked after its owner
 * ended.  Hence:
 *
 *   - the lock is taken on a description of its own that nothing else uses
 *     (close-on-exec); the owner maps the area from another description,
 *     which carries no lock, so no mapping ever keeps the lock alive;
 *   - in a fork child every lock descriptor is closed.  That drops only the
 *     child's reference: the parent's descriptor keeps the lock while the
 *     parent lives, and it ends with the parent.  flock(LOCK_UN) is never
 *     called in the child: on the shared description it would release the
 *     parent's lock as well;
 *   - the child's copy of the owner's read-write mapping is made read-only:
 *     the child is not the owner and must not write the area.
 *
 * The table is guarded by a mutex that a fork takes first (pthread_atfork,
 * registered when the library is loaded), so a child never inherits a lock
 * that is taken but not yet in the table.
 */
#ifndef VEK_HOST_OWNER_LOCKS_H
#define VEK_HOST_OWNER_LOCKS_H

#include <stddef.h>
#include <sys/stat.h>

namespace owner_locks {

/* This process holds the owner's lock on the object of `st`. */
bool held_here(const struct stat &st);

/* Takes the owner's lock on `lock_fd`, a descriptor of the object of `st`
 * on a description used for nothing else, and keeps it open for the life of
 * the process.  False (lock_fd closed, errno kept; EWOULDBLOCK when a live
 * owner holds the lock) when it cannot be had. */
bool take(int lock_fd, const struct stat &st);

/* The owner's read-write mapping of an area: made read-only in a fork child. */
void note_owner_mapping(void *address, size_t size_bytes);

/* The mapping at `address` is about to be unmapped: a fork child must not
 * touch whatever is mapped there later. */
void forget_owner_mapping(void *address);

} // namespace owner_locks

#endif /* VEK_HOST_OWNER_LOCKS_H */
