/* Every public and interface header must compile as C99. */
#include "public/portable.h"
#include "public/tsc.h"
#include "public/osdef.h"
#include "public/vek.h"
#include "public/yaltime.h"
#include "interface/yaltime.interface.h"
#include "interface/vek_base.interface.h"
#include "time/tsci2_loopfilter.h"

/* Values the C++ side compares with its own view of the same headers. */
unsigned long c_sizeof_context(void) { return (unsigned long)sizeof(calibration_context_t); }
unsigned long c_offsetof_table(void) { return (unsigned long)__builtin_offsetof(calibration_context_t, calib_table); }
unsigned long c_frame_of_029_at_100(void) { return (unsigned long)yaltime_secs_to_frame(0.29, 100); }
unsigned long long c_ntp_of(double t) { return (unsigned long long)yaltime_secs_to_ntp(t); }
int c_service_count(void)
{
    int n = 0;
#define COUNT(WORD, word) ++n;
    VEK_BASE_SERVICES(COUNT)
#undef COUNT
    return n;
}
