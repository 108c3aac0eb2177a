/*
 * fake_unresolved.c - a component library that needs a symbol no library
 * provides: dlopen with RTLD_NOW fails, and the host must pass on dlerror's
 * text (which names fake_undefined_function).
 */
#include "public/vek.h"

extern int fake_undefined_function(void);

OSDEF_EXTERN_C OSDEF_EXPORT VEK_PLUGIN_H vek_component_registration(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                                  const char *so_library_filename)
{
    (void)vek_register_cmp;
    (void)so_library_filename;
    (void)fake_undefined_function();
    return 0;
}
