/*
 * yaltime.interface.h - the entry points of the YALTIME component.
 *
 * A client looks each one up through the host as component YALTIME_CMP_NAME
 * and interface "NAME", typed NAME_T, for example
 *     YALTIME_NOW_T now = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_NOW);
 */
#ifndef YALTIME_INTERFACE_H
#define YALTIME_INTERFACE_H

#include "../public/vek.h"
#include "../public/yaltime.h"

OSDEF_BEGIN_C

#define YALTIME_CMP_NAME "YALTIME"

typedef YALTIME_SEC_T (*YALTIME_CLOCK_RESOLUTION_T)(void);
typedef YALTIME_TSC_T (*YALTIME_FRAME_END_T)(YALTIME_FRAME_T frame, unsigned int framerate);
typedef YALTIME_TSC_T (*YALTIME_FRAME_START_T)(YALTIME_FRAME_T frame, unsigned int framerate);
typedef int (*YALTIME_GET_CALIBRATION_T)(void);
typedef YALTIME_SEC_T (*YALTIME_GET_CLOCK_ERROR_T)(void);
typedef YALTIME_USEC_T (*YALTIME_GET_CURRENT_USEC_T)(void);
typedef int (*YALTIME_GET_STEP_COUNT_T)(void);
typedef double (*YALTIME_GET_TSC_FREQUENCY_T)(void);
typedef double (*YALTIME_GET_TSC_PERIOD_T)(void);
typedef int (*YALTIME_GET_UPDATE_COUNT_T)(void);
typedef YALTIME_MSEC_T (*YALTIME_GETTIME_T)(void);
typedef YALTIME_SEC_T (*YALTIME_NOW_T)(void);
typedef YALTIME_FRAME_T (*YALTIME_NOW_FRAME_T)(unsigned int framerate);
typedef YALTIME_NTP_T (*YALTIME_NOW_NTP_T)(void);
typedef YALTIME_TSC_T (*YALTIME_SECS_TO_TSC_T)(YALTIME_SEC_T _time);
typedef void (*YALTIME_SLEEP_JITTER_T)(YALTIME_SEC_T _time, YALTIME_SEC_T neg_jitter, YALTIME_SEC_T pos_jitter);
typedef void (*YALTIME_SLEEP_UNTIL_T)(YALTIME_SEC_T _time);
typedef int (*YALTIME_SNPRINTF_TIME_T)(char *buf, int buflen, const char *format, YALTIME_SEC_T _time);
typedef int (*YALTIME_SNPRINTF_TIME_NTP_T)(char *buf, int buflen, const char *format, YALTIME_NTP_T _time);
typedef YALTIME_TSC_T (*YALTIME_START_T)(YALTIME_SEC_T countdown);
typedef YALTIME_SEC_T (*YALTIME_TSC_TO_NOW_T)(YALTIME_TSC_T tsc);
typedef YALTIME_SEC_T (*YALTIME_TSC_TO_SECS_T)(YALTIME_TSC_T tsc);

/* Codes of YALTIME_GET_CALIBRATION. */
#define YALTIME_CALIBRATION_NONE 0        /* no selection made yet */
#define YALTIME_CALIBRATION_OWNER 1       /* this process owns and uses the shared area */
#define YALTIME_CALIBRATION_SHARED 2      /* another process's shared area */
#define YALTIME_CALIBRATION_OWN 3         /* this process's own calibration */

OSDEF_END_C

#endif /* YALTIME_INTERFACE_H */
