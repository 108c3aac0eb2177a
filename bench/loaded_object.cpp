/*
 * loaded_object.cpp - a plug-in that reads yaltime::clock; yaltime-bench
 * loads 80 copies of it to measure the unbound clock in a process with many
 * shared objects.
 */
#include "public/yaltime_clock.hpp"

extern "C" __attribute__((visibility("default"))) std::int64_t loaded_object_now_ns()
{
    return yaltime::clock::now().time_since_epoch().count();
}
