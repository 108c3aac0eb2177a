/*
 * fake_component.c - a configurable fake component for the host tests,
 * compiled as C99 into several libraries with different definitions:
 *
 *   FAKE_NAME "X"          component name (required)
 *   FAKE_VARIANT "v"       what X_HELLO returns (default "plain")
 *   FAKE_DEP "Y"           register-dependency on Y; X_HELLO of Y is looked
 *                          up at link and called at start
 *   FAKE_NOLOAD_DEP "Y"    register-dependency-noload on Y
 *   FAKE_USES_BASE         depends on VEK_BASE; at start prints through its
 *                          printf whether get_arg("fake_hello") is set and
 *                          sleeps 1 ms through its sleep
 *   FAKE_REFUSE            registration returns 0 without registering
 *   FAKE_INCOMPLETE        never calls register-complete
 *   FAKE_LINK_RESULT n     what VEK_CMP_LINK returns (default 1)
 *
 * Interfaces, in this order: X_HELLO (const char *(void)), X_ADD
 * (int (int, int)), VEK_CMP_LINK, VEK_CMP_START.  Events "X:LINK" and
 * "X:START[:<hello of Y>]" go to the recorder set by fake_set_recorder
 * (found by the tests with dlsym on the component's dl handle).
 */
#include <stdio.h>
#include <string.h>

#include "interface/vek_base.interface.h"
#include "public/vek.h"

#ifndef FAKE_NAME
#error FAKE_NAME is required
#endif
#ifndef FAKE_VARIANT
#define FAKE_VARIANT "plain"
#endif
#ifndef FAKE_LINK_RESULT
#define FAKE_LINK_RESULT 1
#endif

typedef void (*fake_recorder_t)(const char *event);
typedef const char *(*fake_hello_t)(void);

static fake_recorder_t recorder;
static fake_hello_t dependency_hello;
static VEK_BASE_PRINTF_T base_printf;
static VEK_BASE_GET_ARG_T base_get_arg;
static VEK_BASE_SLEEP_T base_sleep;

OSDEF_EXTERN_C OSDEF_EXPORT void fake_set_recorder(fake_recorder_t r) { recorder = r; }

static void record(const char *what, const char *detail)
{
    char event[256];
    if (detail != NULL)
        snprintf(event, sizeof event, "%s:%s:%s", FAKE_NAME, what, detail);
    else
        snprintf(event, sizeof event, "%s:%s", FAKE_NAME, what);
    if (recorder != NULL)
        recorder(event);
}

static const char *fake_hello(void) { return FAKE_VARIANT; }

static int fake_add(int a, int b) { return a + b; }

static int fake_link(VEK_LOOKUP_T lookup)
{
    record("LINK", NULL);
#ifdef FAKE_DEP
    {
        char name[128];
        snprintf(name, sizeof name, "%s_HELLO", FAKE_DEP);
        dependency_hello = (fake_hello_t)lookup(FAKE_DEP, name);
    }
#endif
#ifdef FAKE_USES_BASE
    base_printf = VEK_LOOKUP_IF(lookup, VEK_BASE_CMP_NAME, VEK_BASE_PRINTF);
    base_get_arg = VEK_LOOKUP_IF(lookup, VEK_BASE_CMP_NAME, VEK_BASE_GET_ARG);
    base_sleep = VEK_LOOKUP_IF(lookup, VEK_BASE_CMP_NAME, VEK_BASE_SLEEP);
#endif
    (void)lookup;
    return FAKE_LINK_RESULT;
}

static void fake_start(VEK_LOOKUP_T lookup)
{
    (void)lookup;
    record("START", dependency_hello != NULL ? dependency_hello() : NULL);
    if (base_sleep != NULL)
        base_sleep(0.001);
    if (base_printf != NULL && base_get_arg != NULL) {
        char arg[] = "fake_hello";
        base_printf("%s started arg=%s\n", FAKE_NAME, base_get_arg(arg) != NULL ? "yes" : "no");
        fflush(stdout);
    }
}

OSDEF_EXTERN_C OSDEF_EXPORT VEK_PLUGIN_H vek_component_registration(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                                  const char *so_library_filename)
{
    VEK_REGISTER_INTERFACE_T reg_if = NULL;
    VEK_REGISTER_COMPLETE_T reg_complete = NULL;
    VEK_REGISTER_DEPENDENCY_T reg_dep = NULL;
    VEK_REGISTER_DEPENDENCY_T reg_dep_noload = NULL;
    VEK_PLUGIN_H reg;
    char name[128];

    recorder = NULL;
    dependency_hello = NULL;
#ifdef FAKE_REFUSE
    (void)vek_register_cmp;
    (void)so_library_filename;
    (void)reg_if;
    (void)reg_complete;
    (void)reg_dep;
    (void)reg_dep_noload;
    (void)reg;
    (void)name;
    (void)fake_hello;
    (void)fake_add;
    (void)fake_link;
    (void)fake_start;
    return 0;
#else
    reg = vek_register_cmp(FAKE_NAME, &reg_if, &reg_complete, &reg_dep, &reg_dep_noload, so_library_filename);
    if (reg == 0)
        return 0;
    /* Names from a buffer that is reused: the host must copy them. */
    snprintf(name, sizeof name, "%s_HELLO", FAKE_NAME);
    reg_if(reg, name, (void *)fake_hello);
    snprintf(name, sizeof name, "%s_ADD", FAKE_NAME);
    reg_if(reg, name, (void *)fake_add);
    reg_if(reg, "VEK_CMP_LINK", (void *)fake_link);
    reg_if(reg, "VEK_CMP_START", (void *)fake_start);
#ifdef FAKE_DEP
    reg_dep(reg, FAKE_DEP);
#endif
#ifdef FAKE_NOLOAD_DEP
    reg_dep_noload(reg, FAKE_NOLOAD_DEP);
#endif
#ifdef FAKE_USES_BASE
    reg_dep(reg, VEK_BASE_CMP_NAME);
#endif
#ifndef FAKE_INCOMPLETE
    reg_complete(reg);
#endif
    return reg;
#endif
}
