// What a multi-process test starts, as its build names it: the probe, the
// component, yaltime-status and the clock-shift preload library (defined for
// the tests of tests/component's probe_test and of tests/faults).
#pragma once

#include <string>

namespace {

const std::string Probe = YALTIME_PROBE_PATH;
const std::string Library = YALTIME_LIBRARY_PATH;
const std::string Status = YALTIME_STATUS_PATH;
const std::string Preload = YALTIME_CLOCK_SHIFT_PRELOAD;

} // namespace
