/*
 * shm_areas.h - the base services' named shared memory (VEK_BASE's MMAP_R,
 * MMAP_RW and MMAP_UNMAP), and the report of the untrusted areas they meet.
 *
 * A name "N" is the POSIX object "/" PREFIX "N", PREFIX being the environment
 * variable VEK_SHM_PREFIX (empty when unset), read at every call.
 *
 * Reading (map_to_read) may happen on a thread that reads the clock, so it
 * never logs, never asks the user database and never waits for anything but
 * a few system calls: what it finds untrusted it notes, and a thread of a
 * component says it later (say_untrusted_report), at most once a minute,
 * with the owner's uid as a number.  Mapping the same object again gives the
 * same address, counted, unless the environment variable VEK_SHM_MAP_ANEW is
 * set (to anything but "0"): then every call maps anew, as some hosts do.
 *
 * Owning (map_as_owner) happens at a component's start: see shm_areas.cpp.
 */
#ifndef VEK_HOST_SHM_AREAS_H
#define VEK_HOST_SHM_AREAS_H

namespace shm_areas {

/* The trusted area under `name`, mapped read-only, its size in *size; null
 * when there is none.  The same object gives the same address again, unless
 * VEK_SHM_MAP_ANEW is set. */
void *map_to_read(const char *name, long *size);

/* The area under `name` as this process's own, `size_bytes` long, mapped
 * read-write; null when it cannot be had (a live owner holds it, a planted
 * object may not be removed, no room for its pages). */
void *map_as_owner(const char *name, long size_bytes);

/* Drops one mapping made by either; the object itself stays. */
void unmap(void *address, long size_bytes);

/* Says the untrusted area last noted, unless one was said within the last
 * minute.  For threads of the components and for start, never for a thread
 * that reads the clock. */
void say_untrusted_report();

} // namespace shm_areas

#endif /* VEK_HOST_SHM_AREAS_H */
