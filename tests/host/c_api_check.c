/*
 * c_api_check.c - host/vek_host.h compiles as strict C99 (built with
 * -std=c99 -pedantic-errors) and its API is callable from C.
 */
#include "host/vek_host.h"

#include <string.h>

/* Counts the components whose name and library are both known, through
 * the C API only. */
int c_api_count_components(void)
{
    size_t i, n = vek_host_component_count();
    int counted = 0;
    for (i = 0; i < n; ++i)
        if (vek_host_component_name(i) != NULL && vek_host_component_library(i) != NULL)
            ++counted;
    return counted;
}

/* The host's lookup used as a VEK_LOOKUP_T from C. */
void *c_api_lookup(const char *component, const char *interface)
{
    VEK_LOOKUP_T lookup = vek_host_lookup;
    return lookup(component, interface);
}

/* An error message of a failed load, through a C buffer. */
int c_api_load_error(const char *path, char *err, size_t errlen)
{
    int rc = vek_host_load(path, err, errlen);
    return rc == 0 ? 0 : (int)strlen(err);
}
