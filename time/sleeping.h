/*
 * sleeping.h - the arithmetic behind YALTIME_SLEEP_JITTER.
 */
#ifndef YALTIME_SLEEPING_H
#define YALTIME_SLEEPING_H

double randrange(double lo, double hi);
void sleep_seconds_with_jitter(double t, double negjitter, double posjitter);

#endif /* YALTIME_SLEEPING_H */
