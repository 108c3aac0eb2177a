/*
 * vek.h - the plug-in framework as a component sees it.
 *
 * A host loads a component library, calls its vek_component_registration
 * with a register-component callback, and receives through four callbacks
 * the component's interfaces (name -> function), its dependencies and the
 * end of its registration.  Afterwards it calls the component's VEK_CMP_LINK
 * and VEK_CMP_START entries with a lookup function that resolves any
 * registered interface of any loaded component.
 *
 * Interface naming: an interface NAME has the function type NAME_T, is served
 * by func_NAME and is registered and looked up as the string "NAME".
 */
#ifndef VEK_PLUGIN_H_INCLUDED
#define VEK_PLUGIN_H_INCLUDED

#include "osdef.h"

OSDEF_BEGIN_C

typedef struct vek_plugin_t vek_plugin_t;
typedef vek_plugin_t *VEK_PLUGIN_H; /* 0 means the host refused the component */

typedef struct vek_lpcb_t vek_lpcb_t;
typedef vek_lpcb_t *VEK_LPCB_H;

typedef struct vek_base_semaphore_t vek_base_semaphore_t;
typedef vek_base_semaphore_t *VEK_BASE_SEMAPHORE_H;

typedef void *(*VEK_LOOKUP_T)(const char *component_name, const char *interface_name);

typedef void (*VEK_REGISTER_INTERFACE_T)(VEK_PLUGIN_H plugin, const char *interface_name, void *function);
typedef void (*VEK_REGISTER_DEPENDENCY_T)(VEK_PLUGIN_H plugin, const char *name);
typedef void (*VEK_REGISTER_COMPLETE_T)(VEK_PLUGIN_H plugin);
typedef VEK_PLUGIN_H (*VEK_REGISTER_COMPONENT_T)(const char *component_name,
                                                 VEK_REGISTER_INTERFACE_T *_reg_if,
                                                 VEK_REGISTER_COMPLETE_T *_reg_complete,
                                                 VEK_REGISTER_DEPENDENCY_T *_reg_dep,
                                                 VEK_REGISTER_DEPENDENCY_T *_reg_dep_noload,
                                                 const char *so_library_filename);

/* The exported registration function of every component library. */
typedef VEK_PLUGIN_H (*VEK_COMPONENT_REGISTRATION_T)(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                     const char *so_library_filename);

/* Life-cycle entries every component registers. */
typedef int (*VEK_CMP_LINK_T)(VEK_LOOKUP_T vek_lookup);
typedef void (*VEK_CMP_START_T)(VEK_LOOKUP_T vek_lookup);

/* Registers interface NAME served by func_NAME. */
#define VEK_REGISTER_IF(reg_if, plugin, NAME) (reg_if)((plugin), #NAME, (void *)(func_##NAME))

/* Looks up interface NAME of a component, typed as NAME_T. */
#define VEK_LOOKUP_IF(lookup, component, NAME) ((NAME##_T)(lookup)((component), #NAME))

OSDEF_END_C

#endif /* VEK_PLUGIN_H_INCLUDED */
