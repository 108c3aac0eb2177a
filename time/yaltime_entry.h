/*
 * yaltime_entry.h - the functions behind the registered YALTIME_* entry
 * points.  Hosts reach them only through the registration table; they have
 * C linkage but are not exported from the library.
 */
#ifndef YALTIME_ENTRY_H
#define YALTIME_ENTRY_H

#include "../interface/yaltime.interface.h"

OSDEF_BEGIN_C

YALTIME_SEC_T func_YALTIME_CLOCK_RESOLUTION(void);
YALTIME_TSC_T func_YALTIME_FRAME_END(YALTIME_FRAME_T frame, unsigned int framerate);
YALTIME_TSC_T func_YALTIME_FRAME_START(YALTIME_FRAME_T frame, unsigned int framerate);
int func_YALTIME_GET_CALIBRATION(void);
YALTIME_SEC_T func_YALTIME_GET_CLOCK_ERROR(void);
YALTIME_USEC_T func_YALTIME_GET_CURRENT_USEC(void);
int func_YALTIME_GET_STEP_COUNT(void);
double func_YALTIME_GET_TSC_FREQUENCY(void);
double func_YALTIME_GET_TSC_PERIOD(void);
int func_YALTIME_GET_UPDATE_COUNT(void);
YALTIME_MSEC_T func_YALTIME_GETTIME(void);
YALTIME_SEC_T func_YALTIME_NOW(void);
YALTIME_FRAME_T func_YALTIME_NOW_FRAME(unsigned int framerate);
YALTIME_NTP_T func_YALTIME_NOW_NTP(void);
YALTIME_TSC_T func_YALTIME_SECS_TO_TSC(YALTIME_SEC_T _time);
void func_YALTIME_SLEEP_JITTER(YALTIME_SEC_T _time, YALTIME_SEC_T neg_jitter, YALTIME_SEC_T pos_jitter);
void func_YALTIME_SLEEP_UNTIL(YALTIME_SEC_T _time);
int func_YALTIME_SNPRINTF_TIME(char *buf, int buflen, const char *format, YALTIME_SEC_T _time);
int func_YALTIME_SNPRINTF_TIME_NTP(char *buf, int buflen, const char *format, YALTIME_NTP_T _time);
YALTIME_TSC_T func_YALTIME_START(YALTIME_SEC_T countdown);
YALTIME_SEC_T func_YALTIME_TSC_TO_NOW(YALTIME_TSC_T tsc);
YALTIME_SEC_T func_YALTIME_TSC_TO_SECS(YALTIME_TSC_T tsc);

OSDEF_END_C

#endif /* YALTIME_ENTRY_H */
