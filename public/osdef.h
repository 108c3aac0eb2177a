/*
 * osdef.h - platform names of the plug-in framework on Linux.
 *
 * A component named NAME lives in "lib-vek-" NAME ".so"; the host's base
 * services are the component VEK_BASE in OSDEF_VEK_BASE_LIBRARY.
 */
#ifndef OSDEF_H
#define OSDEF_H

#define OSDEF_PLUGIN_PREFIX "lib-vek-"
#define OSDEF_PLUGIN_SUFFIX ".so"
#define OSDEF_PLUGIN_DEBUG_SUFFIX ".debug.so"
#define OSDEF_VEK_BASE_LIBRARY "lib-vek-vek_base.so"

/* The one symbol a host looks up in a component library. */
#define OSDEF_REGISTRATION_SYMBOL "vek_component_registration"

#if defined(__GNUC__)
#define OSDEF_EXPORT __attribute__((visibility("default")))
#else
#define OSDEF_EXPORT
#endif

#ifdef __cplusplus
#define OSDEF_EXTERN_C extern "C"
#define OSDEF_BEGIN_C extern "C" {
#define OSDEF_END_C }
#else
#define OSDEF_EXTERN_C
#define OSDEF_BEGIN_C
#define OSDEF_END_C
#endif

#endif /* OSDEF_H */
