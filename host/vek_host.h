/*
 * vek_host.h - YALTIME's stand-in plug-in host (the loader library
 * vekhost_loader), as a C API usable from C99 and C++.
 *
 * The host loads component libraries ("lib-vek-" name ".so"), calls their
 * exported vek_component_registration with its register-component callback,
 * keeps a registry of the components (name, library, dl handle, interfaces in
 * registration order, dependencies), loads the libraries of declared
 * dependencies, and starts the components: VEK_CMP_LINK of every component,
 * dependencies first, then VEK_CMP_START of every component in the same
 * order, each called with vek_host_lookup.
 *
 * One host per process.  VEK_LOOKUP_T carries no context, so the host is a
 * process-wide singleton inside the loader: vek_host_create makes it,
 * vek_host_destroy forgets it.  The control calls (create, destroy, load,
 * override, start) belong to one controlling thread; vek_host_lookup, the
 * registry queries and vek_host_get_arg may be called from any thread.
 * Libraries are never closed once a load has succeeded: started components
 * may run threads in them.  Loading the same library again, even after
 * vek_host_destroy, therefore meets the image already in the process.
 *
 * Errors: every call that can fail returns 0 on success and -1 on failure,
 * and writes a message naming the library, component or interface concerned
 * into err (always NUL-terminated, truncated to errlen; err may be null).
 * A failed vek_host_load leaves the registry as it was before the call.
 *
 * Strings returned by the registry queries belong to the host and stay valid
 * until vek_host_destroy.
 */
#ifndef VEK_HOST_H
#define VEK_HOST_H

#include <stddef.h>

#include "../public/vek.h"

OSDEF_BEGIN_C

/*
 * The host itself answers lookups for the reserved component name
 * VEK_HOST_CMP_NAME (no library may register a component of that name):
 *   "VEK_HOST_GET_ARG"  VEK_HOST_GET_ARG_T  same as vek_host_get_arg.
 * This is how VEK_BASE learns the host's start-up arguments: its
 * VEK_CMP_LINK looks up VEK_HOST_GET_ARG with the lookup it is given.
 */
#define VEK_HOST_CMP_NAME "VEK_HOST"
typedef const char *(*VEK_HOST_GET_ARG_T)(const char *name);

/* Directories searched for a dependency's library after the directory of
 * the component that declared it (colon-separated, empty entries skipped). */
#define VEK_HOST_PLUGIN_PATH_ENV "VEK_PLUGIN_PATH"

/* --- life of the host ---------------------------------------------------- */

/* Creates the process-wide host with the start-up argument names (the
 * values of vekhost's --arg options; args may be null when nargs is 0).
 * Fails if a host exists already. */
int vek_host_create(const char *const *args, size_t nargs, char *err, size_t errlen);

/* Forgets the host and its registry (libraries stay loaded, see above).
 * Does nothing when there is no host. */
void vek_host_destroy(void);

/* 1 while a host exists, else 0. */
int vek_host_exists(void);

/* --- loading and starting ------------------------------------------------ */

/*
 * Loads a component library and registers its component(s), then loads the
 * library of every declared dependency that is not registered yet,
 * recursively.  library_path names a file; a bare file name (no '/') that is
 * not in the current directory is searched like a dependency's library in
 * VEK_PLUGIN_PATH and the install plug-in directory.  A library that is
 * already loaded (same real path) is not loaded twice: success, no change.
 *
 * A dependency NAME lives in OSDEF_VEK_BASE_LIBRARY for "VEK_BASE", else in
 * "lib-vek-" + lowercase(NAME) + ".so" (or, failing that, the debug build's
 * ".debug.so"), searched beside the declaring component's library, then in
 * each directory of VEK_PLUGIN_PATH, then in the install plug-in directory
 * (vek_host_plugin_dir()).  Dependencies registered with the no-load
 * callback are never loaded; when present they are started first.
 */
int vek_host_load(const char *library_path, char *err, size_t errlen);

/*
 * Replaces the function of an interface of a registered component (or adds
 * the interface at the end when the component has none of that name).  The
 * previous function (null if none) is stored in *previous when previous is
 * not null, so a test can wrap a service and call through.  Meant for use
 * before vek_host_start: components already linked keep what they looked up.
 */
int vek_host_override(const char *component, const char *interface, void *function,
                      void **previous, char *err, size_t errlen);

/*
 * Starts every component not started yet: first VEK_CMP_LINK of each not
 * yet linked (when registered), dependencies before the components that
 * declare them, then VEK_CMP_START of each (when registered) in the same
 * order, each with vek_host_lookup.  Dependency cycles are tolerated (the
 * order within a cycle is the registration order).  A VEK_CMP_LINK that
 * returns 0 stops the start with an error; no VEK_CMP_START is called then.
 * Calling it again after more loads starts only the new components.
 */
int vek_host_start(char *err, size_t errlen);

/* --- queries --------------------------------------------------------------- */

/* The host's lookup (a VEK_LOOKUP_T): the function registered by component
 * under interface, or null (also for null names and without a host). */
void *vek_host_lookup(const char *component, const char *interface);

/* Non-null (the stored name) when the host was created with argument name. */
const char *vek_host_get_arg(const char *name);

/* The dl handle of the library of a registered component, or null. */
void *vek_host_library_handle(const char *component);

/* The install plug-in directory searched last. */
const char *vek_host_plugin_dir(void);

/* Registry in registration order; out-of-range indices give 0 or null. */
size_t vek_host_component_count(void);
const char *vek_host_component_name(size_t component);
const char *vek_host_component_library(size_t component);
int vek_host_component_started(size_t component); /* VEK_CMP_START done (or none) */
size_t vek_host_interface_count(size_t component);
const char *vek_host_interface_name(size_t component, size_t interface);
size_t vek_host_dependency_count(size_t component);
const char *vek_host_dependency_name(size_t component, size_t dependency);
int vek_host_dependency_loads(size_t component, size_t dependency); /* 0: no-load */

OSDEF_END_C

#endif /* VEK_HOST_H */
