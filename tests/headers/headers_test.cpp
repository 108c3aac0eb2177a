// The headers as a C compiler sees them agree with the C++ view.
#include <gtest/gtest.h>

#include "interface/vek_base.interface.h"
#include "public/yaltime.h"
#include "time/tsci2_loopfilter.h"

extern "C" {
unsigned long c_sizeof_context(void);
unsigned long c_offsetof_table(void);
unsigned long c_frame_of_029_at_100(void);
unsigned long long c_ntp_of(double t);
int c_service_count(void);
}

TEST(HeadersAsC, SeeTheSameLayoutAndHelpers)
{
    EXPECT_EQ(c_sizeof_context(), 16408u);
    EXPECT_EQ(c_offsetof_table(), 24u);
    EXPECT_EQ(c_frame_of_029_at_100(), 28u);
    EXPECT_EQ(c_ntp_of(1234567890.25), 0x499602D240000000ull);
    EXPECT_EQ(c_service_count(), VEK_BASE_SERVICE_COUNT);
}
