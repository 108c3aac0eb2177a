/*
 * fake_nosym.c - a library with no vek_component_registration: the host
 * must say so, naming the library.
 */
#include "public/osdef.h"

OSDEF_EXTERN_C OSDEF_EXPORT int fake_not_a_component(void) { return 42; }
