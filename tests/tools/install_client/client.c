/*
 * client.c - a C program built against an installed YALTIME: it loads the
 * component through the host's loader, starts it with a calibration of its
 * own, and prints the time that YALTIME_NOW gives.
 *
 *   client PATH/lib-vek-yaltime.so
 *
 * Exit status 0 when the time is within a few seconds of the OS clock.
 */
#include <math.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "host/vek_host.h"
#include "interface/yaltime.interface.h"

int main(int argc, char **argv)
{
    const char *args[] = {"yaltime_local"};
    char err[1024];
    if (argc != 2) {
        fprintf(stderr, "usage: client PATH/lib-vek-yaltime.so\n");
        return 2;
    }
    if (vek_host_create(args, 1, err, sizeof err) != 0 || vek_host_load(argv[1], err, sizeof err) != 0 ||
        vek_host_start(err, sizeof err) != 0) {
        fprintf(stderr, "client: %s\n", err);
        return 1;
    }
    YALTIME_NOW_T now = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW);
    YALTIME_SNPRINTF_TIME_T format = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_SNPRINTF_TIME);
    if (now == NULL || format == NULL) {
        fprintf(stderr, "client: no YALTIME_NOW\n");
        return 1;
    }
    const YALTIME_SEC_T t = now();
    char text[80];
    format(text, sizeof text, "YALTIME_NOW ", t);
    printf("%s\n", text);
    const int ok = fabs(t - (double)time(NULL)) < 5.0;
    fflush(stdout);
    /* The component's discipline thread runs until the process ends. */
    _exit(ok ? 0 : 1);
}
