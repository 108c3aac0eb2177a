// A base-services stand-in for in-process tests of the component: real
// formatting, and a record of every sleep, log line, fatal error and
// shared-memory mapping and unmapping the component asks for.
#pragma once

#include <string>
#include <vector>

#include "interface/vek_base.interface.h"

namespace recording_base {

struct mapping {
    void *area = nullptr; // what mmap_r hands out; null: the area is absent
    long size = 0;
};

extern std::vector<double> sleeps;
extern std::vector<std::string> errors;    // syslog_error lines
extern std::vector<std::string> failures;  // fail lines (this fail returns)
extern int snprintf_calls;
extern int mmap_r_calls;
extern mapping shared_area;    // what mmap_r gives
extern void *owned_area;       // what mmap_rw gives (null: refused)
extern std::vector<void *> unmapped; // every address given to mmap_unmap

// Clears the record and points every slot the component uses at the recorder.
void install();

} // namespace recording_base
