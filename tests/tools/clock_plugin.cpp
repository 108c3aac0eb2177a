/*
 * clock_plugin.cpp - a plug-in that reads yaltime::clock, built four times
 * by tests/tools/CMakeLists.txt: with -fvisibility=hidden (as this project
 * builds its own libraries), with -fvisibility-inlines-hidden alone, with
 * both, and with neither (and without exceptions or RTTI, as many plug-ins
 * are built).  clock_binding_test.cpp loads them side by side.
 */
#include "public/yaltime_clock.hpp"

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

PLUGIN_EXPORT bool plugin_bind(VEK_LOOKUP_T lookup)
{
    return yaltime::clock::bind(lookup);
}

PLUGIN_EXPORT bool plugin_bound()
{
    return yaltime::clock::bound();
}

PLUGIN_EXPORT std::int64_t plugin_now_ns()
{
    return yaltime::clock::now().time_since_epoch().count();
}

/* The function this plug-in's clock calls, null while unbound. */
PLUGIN_EXPORT YALTIME_NOW_NS_T plugin_now_function()
{
    return yaltime::detail::bound_now_ns.load();
}
