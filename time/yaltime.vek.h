/*
 * yaltime.vek.h - the component's framework glue: the link routine that
 * fills the base-service slots, and the life-cycle entries the host calls.
 */
#ifndef YALTIME_VEK_H
#define YALTIME_VEK_H

#include "../interface/vek_base.interface.h"

OSDEF_BEGIN_C

/* Looks up every VEK_BASE service of component `name` into its slot. */
void vek_base_vek_link(VEK_LOOKUP_T vek_lookup, const char *name);

int func_VEK_CMP_LINK(VEK_LOOKUP_T vek_lookup);
void func_VEK_CMP_START(VEK_LOOKUP_T vek_lookup);

OSDEF_EXPORT VEK_PLUGIN_H vek_component_registration(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                     const char *so_library_filename);

OSDEF_END_C

#endif /* YALTIME_VEK_H */
