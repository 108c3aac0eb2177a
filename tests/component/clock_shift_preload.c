/*
 * clock_shift_preload.c - an LD_PRELOAD library for tests: the OS clocks of
 * a process, stepped and with a wandering rate.
 *
 * A step: gettimeofday and clock_gettime of the real-time clocks
 * (CLOCK_REALTIME, _COARSE, CLOCK_TAI) return the real clock plus a shift
 * in nanoseconds read, at every call, from the first 8 bytes of the file
 * named by YALTIME_TEST_CLOCK_SHIFT_FILE (a signed 64-bit integer in the
 * machine's byte order).  Another process maps the same file and changes
 * the shift: to this process, its OS clock has been set.
 *
 * A wandering rate: with YALTIME_TEST_CLOCK_WANDER_FILE set, the real-time
 * clocks and the monotonic ones (CLOCK_MONOTONIC, _COARSE, CLOCK_BOOTTIME)
 * run at a rate that moves as a random walk, as a time daemon's frequency
 * adjustments move them: they stay continuous, the monotonic clock stays
 * monotonic, and real-time minus monotonic time is unchanged.
 * CLOCK_MONOTONIC_RAW, which no daemon adjusts, is left alone.  The walk
 * starts at rate 0 at its epoch, and every step_s seconds the rate changes
 * by a normal draw of sigma_ppm; the offset is the rate integrated over
 * time.  The walk is a function of the seed and of the real (unshifted)
 * monotonic time only, so every process that reads the same file sees the
 * same OS clocks at the same instant.  The file holds one line
 *   epoch_mono_ns=E seed=S sigma_ppm=P step_s=T
 * The first process to find it missing writes it: the epoch is its start,
 * the rest comes from YALTIME_TEST_CLOCK_WANDER_SEED (default 1),
 * YALTIME_TEST_CLOCK_WANDER_PPM (default 0) and
 * YALTIME_TEST_CLOCK_WANDER_STEP_S (default 64).  Later processes take the
 * file's values and ignore their own.  The walk is tabulated at load for
 * WALK_STEPS steps (three days at 64 s); the rate stays at its last value
 * beyond.
 *
 * A slew: with YALTIME_TEST_CLOCK_SLEW set to a schedule
 *   ppm:seconds,ppm:seconds,...      e.g. "0:5,83333:0.6,0:2,-500:20"
 * the same clocks (never CLOCK_MONOTONIC_RAW) run at +ppm beyond their rate
 * for each segment in turn, as a time daemon's slews move them (adjtime's
 * 500 ppm, chrony's 83333); a segment of 0 ppm is a gap.  The offset a slew
 * leaves stays after the schedule ends, as a daemon's correction does.  The
 * schedule starts at the process's start, or, with
 * YALTIME_TEST_CLOCK_SLEW_FILE set, at the epoch in that file, which holds
 * one line
 *   epoch_mono_ns=E slew=SCHEDULE
 * written like the wander's by the first process to find it missing: every
 * process that shares the file sees one slewed clock.  A rate must lie
 * within +-500000 ppm (the clocks still run forward at half speed at least),
 * a segment within a million seconds, at most SLEW_SEGMENTS of them; a
 * malformed schedule is reported on stderr and nothing is slewed.  The
 * slew adds to the walk; both keep the clocks continuous, the monotonic
 * ones monotonic, and real-time minus monotonic time unchanged.
 *
 * Absolute sleeps on a shifted clock (clock_nanosleep with TIMER_ABSTIME)
 * end when that clock says: the deadline is carried back to the real clock
 * through the step, the walk and the slew.
 *
 * The machine's clocks are never touched.  Without the variables, or with a
 * file that cannot be read, nothing is shifted.  Reading a clock takes no
 * lock, allocates nothing and makes no call beyond the real clock reads:
 * safe in a signal handler, and a table look-up more than the real call.
 *
 * On i386 with 64-bit time_t the library's calls are named __gettimeofday64,
 * __clock_gettime64 and __clock_nanosleep_time64; the header's redirections
 * give the definitions below those names too, so the same source
 * interposes on both targets.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#if defined(__i386__) && defined(_TIME_BITS) && _TIME_BITS == 64
#define GETTIMEOFDAY_NAME "__gettimeofday64"
#define CLOCK_GETTIME_NAME "__clock_gettime64"
#define CLOCK_NANOSLEEP_NAME "__clock_nanosleep_time64"
#else
#define GETTIMEOFDAY_NAME "gettimeofday"
#define CLOCK_GETTIME_NAME "clock_gettime"
#define CLOCK_NANOSLEEP_NAME "clock_nanosleep"
#endif

#define NS_PER_S INT64_C(1000000000)
#define WALK_STEPS 4096
#define SLEW_SEGMENTS 64
#define SLEW_PPM_LIMIT 500000.0
#define SLEW_SECONDS_LIMIT 1e6
#define SHARED_LINE_MAX 1024
#define SLEEP_SOLVED_NS 1e15 /* 11.6 days */

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);
typedef int (*clock_nanosleep_fn)(clockid_t, int, const struct timespec *, struct timespec *);

static int64_t *shift_cell; /* set once by the constructor, before main */
static clock_gettime_fn real_clock_gettime_ptr;
static clock_nanosleep_fn real_clock_nanosleep_ptr;

/* The walk, set up once by the constructor, then only read. */
static struct {
    int64_t epoch_mono_ns;
    int64_t step_ns;
    double rate_ppm[WALK_STEPS];       /* rate during step k */
    double offset_ns[WALK_STEPS];      /* offset at the start of step k */
} walk;
static int walk_ready; /* 1 once `walk` is complete (release/acquire) */

/* The slew's schedule, set up once by the constructor, then only read. */
static struct {
    int64_t epoch_mono_ns;
    int count;
    int64_t start_ns[SLEW_SEGMENTS];        /* segment k begins, after the epoch */
    double rate_ppm[SLEW_SEGMENTS];         /* rate during segment k */
    double offset_ns[SLEW_SEGMENTS + 1];    /* offset at segment k's start; [count]: at the end */
    int64_t end_ns;                         /* the last segment's end, after the epoch */
} slew;
static int slew_ready; /* 1 once `slew` is complete (release/acquire) */

static void *real_entry(void **cache, const char *name)
{
    void *f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (f == NULL) {
        f = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

static clock_gettime_fn real_clock_gettime(void)
{
    return (clock_gettime_fn)real_entry((void **)&real_clock_gettime_ptr, CLOCK_GETTIME_NAME);
}

static clock_nanosleep_fn real_clock_nanosleep(void)
{
    return (clock_nanosleep_fn)real_entry((void **)&real_clock_nanosleep_ptr, CLOCK_NANOSLEEP_NAME);
}

static int64_t to_ns(const struct timespec *ts) { return (int64_t)ts->tv_sec * NS_PER_S + ts->tv_nsec; }

static void from_ns(int64_t ns, struct timespec *ts)
{
    int64_t sec = ns / NS_PER_S;
    int64_t rem = ns % NS_PER_S;
    if (rem < 0) {
        rem += NS_PER_S;
        sec -= 1;
    }
    ts->tv_sec = (time_t)sec;
    ts->tv_nsec = (long)rem;
}

/* ---- the step ------------------------------------------------------------ */

static void map_shift_cell(void)
{
    const char *path = getenv("YALTIME_TEST_CLOCK_SHIFT_FILE");
    if (path == NULL)
        return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    void *p = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED)
        __atomic_store_n(&shift_cell, (int64_t *)p, __ATOMIC_RELEASE);
}

static int64_t step_shift_ns(void)
{
    const int64_t *cell = __atomic_load_n(&shift_cell, __ATOMIC_ACQUIRE);
    return cell ? __atomic_load_n(cell, __ATOMIC_RELAXED) : 0;
}

/* ---- the wander ---------------------------------------------------------- */

static uint64_t splitmix64(uint64_t x)
{
    x += UINT64_C(0x9E3779B97F4A7C15);
    x = (x ^ (x >> 30)) * UINT64_C(0xBF58476D1CE4E5B9);
    x = (x ^ (x >> 27)) * UINT64_C(0x94D049BB133111EB);
    return x ^ (x >> 31);
}

/* The k-th standard normal draw of the seed's sequence (Box-Muller). */
static double normal_draw(uint64_t seed, uint64_t k)
{
    const uint64_t a = splitmix64(seed * UINT64_C(0x100000001B3) + 2 * k);
    const uint64_t b = splitmix64(seed * UINT64_C(0x100000001B3) + 2 * k + 1);
    const double u1 = ((double)(a >> 11) + 1.0) / 9007199254740992.0; /* (0, 1] */
    const double u2 = (double)(b >> 11) / 9007199254740992.0;         /* [0, 1) */
    return sqrt(-2.0 * log(u1)) * cos(2.0 * M_PI * u2);
}

struct wander_params {
    long long epoch_mono_ns;
    unsigned long long seed;
    double sigma_ppm;
    double step_s;
};

static double env_double(const char *name, double fallback)
{
    const char *v = getenv(name);
    return v ? strtod(v, NULL) : fallback;
}

/*
 * The first line of the file at `path`.  The first process to find the file
 * missing writes `own_line` there, if it has one (through a private file
 * linked into place, so that a reader never sees half a line).  0 on
 * success.
 */
static int shared_line(const char *path, const char *own_line, char *line, size_t size)
{
    char tmp[4096];
    if (own_line != NULL && snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid()) < (int)sizeof tmp) {
        const int fd = open(tmp, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const size_t n = strlen(own_line);
            const ssize_t written = write(fd, own_line, n);
            close(fd);
            if (written == (ssize_t)n && link(tmp, path) != 0 && errno != EEXIST)
                perror("clock_shift_preload: shared file");
            unlink(tmp);
        }
    }
    FILE *f = fopen(path, "re");
    if (f == NULL)
        return -1;
    const int got = fgets(line, (int)size, f) != NULL;
    fclose(f);
    return got ? 0 : -1;
}

/* The wander file's parameters; the first process writes its own. */
static int shared_wander_params(const char *path, int64_t mono_now_ns, struct wander_params *p)
{
    const char *seed = getenv("YALTIME_TEST_CLOCK_WANDER_SEED");
    char own[256], line[SHARED_LINE_MAX];
    snprintf(own, sizeof own, "epoch_mono_ns=%lld seed=%llu sigma_ppm=%.17g step_s=%.17g\n", (long long)mono_now_ns,
             seed ? strtoull(seed, NULL, 0) : 1ull, env_double("YALTIME_TEST_CLOCK_WANDER_PPM", 0.0),
             env_double("YALTIME_TEST_CLOCK_WANDER_STEP_S", 64.0));
    if (shared_line(path, own, line, sizeof line) != 0)
        return -1;
    const int got = sscanf(line, "epoch_mono_ns=%lld seed=%llu sigma_ppm=%lf step_s=%lf", &p->epoch_mono_ns, &p->seed,
                           &p->sigma_ppm, &p->step_s);
    return got == 4 && p->step_s > 0 && isfinite(p->sigma_ppm) ? 0 : -1;
}

static void tabulate_walk(const struct wander_params *p)
{
    walk.epoch_mono_ns = p->epoch_mono_ns;
    walk.step_ns = (int64_t)llround(p->step_s * 1e9);
    walk.rate_ppm[0] = 0.0;
    walk.offset_ns[0] = 0.0;
    for (int k = 1; k < WALK_STEPS; ++k) {
        walk.rate_ppm[k] = walk.rate_ppm[k - 1] + p->sigma_ppm * normal_draw(p->seed, (uint64_t)k);
        walk.offset_ns[k] = walk.offset_ns[k - 1] + walk.rate_ppm[k - 1] * 1e-6 * (double)walk.step_ns;
    }
    __atomic_store_n(&walk_ready, 1, __ATOMIC_RELEASE);
}

static void set_up_wander(void)
{
    const char *path = getenv("YALTIME_TEST_CLOCK_WANDER_FILE");
    clock_gettime_fn real = real_clock_gettime();
    struct timespec now;
    struct wander_params p;
    if (path == NULL || real == NULL || real(CLOCK_MONOTONIC, &now) != 0)
        return;
    if (shared_wander_params(path, to_ns(&now), &p) != 0) {
        fprintf(stderr, "clock_shift_preload: %s unreadable, the clocks do not wander\n", path);
        return;
    }
    tabulate_walk(&p);
}

/* The walk's step at a real monotonic time; -1 before its epoch or without a walk. */
static int64_t walk_step_at(int64_t real_mono_ns)
{
    if (!__atomic_load_n(&walk_ready, __ATOMIC_ACQUIRE))
        return -1;
    const int64_t since = real_mono_ns - walk.epoch_mono_ns;
    if (since <= 0)
        return -1;
    const int64_t k = since / walk.step_ns;
    return k < WALK_STEPS ? k : WALK_STEPS - 1;
}

static double wander_offset_ns_at(int64_t real_mono_ns)
{
    const int64_t k = walk_step_at(real_mono_ns);
    if (k < 0)
        return 0.0;
    const double into_step_ns = (double)(real_mono_ns - walk.epoch_mono_ns - k * walk.step_ns);
    return walk.offset_ns[k] + walk.rate_ppm[k] * 1e-6 * into_step_ns;
}

static double wander_rate_ppm_at(int64_t real_mono_ns)
{
    const int64_t k = walk_step_at(real_mono_ns);
    return k < 0 ? 0.0 : walk.rate_ppm[k];
}

/* ---- the slew ------------------------------------------------------------ */

/* Reads one "ppm:seconds" segment at *text, moving past it and a comma; -1 if malformed or out of range. */
static int parse_segment(const char **text, double *ppm, double *seconds)
{
    char *end;
    *ppm = strtod(*text, &end);
    if (end == *text || *end != ':')
        return -1;
    const char *at = end + 1;
    *seconds = strtod(at, &end);
    if (end == at || (*end != ',' && *end != '\0'))
        return -1;
    *text = *end == ',' ? end + 1 : end;
    return fabs(*ppm) < SLEW_PPM_LIMIT && *seconds >= 0 && *seconds <= SLEW_SECONDS_LIMIT ? 0 : -1;
}

/* Tabulates the schedule "ppm:seconds,..." into `slew`; -1 if it is malformed or empty. */
static int tabulate_slew(const char *schedule)
{
    int64_t at_ns = 0;
    double offset_ns = 0.0;
    int k = 0;
    for (const char *p = schedule; *p != '\0' && *p != '\n'; ++k) {
        double ppm, seconds;
        if (k == SLEW_SEGMENTS || parse_segment(&p, &ppm, &seconds) != 0)
            return -1;
        const int64_t span_ns = llround(seconds * 1e9);
        slew.start_ns[k] = at_ns;
        slew.rate_ppm[k] = ppm;
        slew.offset_ns[k] = offset_ns;
        at_ns += span_ns;
        offset_ns += ppm * 1e-6 * (double)span_ns;
    }
    slew.count = k;
    slew.offset_ns[k] = offset_ns;
    slew.end_ns = at_ns;
    return k > 0 ? 0 : -1;
}

/* The schedule and its epoch: the shared file's, or this process's own from its start. */
static int slew_schedule(const char *path, const char *own_schedule, int64_t mono_now_ns, char *schedule,
                         size_t size, long long *epoch_mono_ns)
{
    *epoch_mono_ns = mono_now_ns;
    if (path == NULL)
        return snprintf(schedule, size, "%s", own_schedule) < (int)size ? 0 : -1;
    char own[SHARED_LINE_MAX], line[SHARED_LINE_MAX];
    if (own_schedule == NULL ||
        snprintf(own, sizeof own, "epoch_mono_ns=%lld slew=%s\n", (long long)mono_now_ns, own_schedule) >=
            (int)sizeof own)
        own[0] = '\0'; /* nothing of its own to write: the file must be there */
    if (shared_line(path, own[0] ? own : NULL, line, sizeof line) != 0)
        return -1;
    char format[64];
    snprintf(format, sizeof format, "epoch_mono_ns=%%lld slew=%%%zus", size - 1);
    return sscanf(line, format, epoch_mono_ns, schedule) == 2 ? 0 : -1;
}

static void set_up_slew(void)
{
    const char *own_schedule = getenv("YALTIME_TEST_CLOCK_SLEW");
    const char *path = getenv("YALTIME_TEST_CLOCK_SLEW_FILE");
    clock_gettime_fn real = real_clock_gettime();
    struct timespec now;
    if ((own_schedule == NULL && path == NULL) || real == NULL || real(CLOCK_MONOTONIC, &now) != 0)
        return;
    char schedule[SHARED_LINE_MAX];
    long long epoch_mono_ns;
    if (slew_schedule(path, own_schedule, to_ns(&now), schedule, sizeof schedule, &epoch_mono_ns) != 0 ||
        tabulate_slew(schedule) != 0) {
        fprintf(stderr, "clock_shift_preload: no slew schedule of the form ppm:seconds,... in %s, not slewed\n",
                path ? path : "YALTIME_TEST_CLOCK_SLEW");
        return;
    }
    slew.epoch_mono_ns = epoch_mono_ns;
    __atomic_store_n(&slew_ready, 1, __ATOMIC_RELEASE);
}

/* The slew's segment at a real monotonic time: -1 before it, `count` after it, -2 without a slew. */
static int slew_segment_at(int64_t real_mono_ns)
{
    if (!__atomic_load_n(&slew_ready, __ATOMIC_ACQUIRE))
        return -2;
    const int64_t since = real_mono_ns - slew.epoch_mono_ns;
    if (since < 0)
        return -1;
    if (since >= slew.end_ns)
        return slew.count;
    int k = 0;
    while (k + 1 < slew.count && slew.start_ns[k + 1] <= since)
        ++k;
    return k;
}

static double slew_offset_ns_at(int64_t real_mono_ns)
{
    const int k = slew_segment_at(real_mono_ns);
    if (k < 0)
        return 0.0;
    if (k == slew.count)
        return slew.offset_ns[k];
    const double into_ns = (double)(real_mono_ns - slew.epoch_mono_ns - slew.start_ns[k]);
    return slew.offset_ns[k] + slew.rate_ppm[k] * 1e-6 * into_ns;
}

static double slew_rate_ppm_at(int64_t real_mono_ns)
{
    const int k = slew_segment_at(real_mono_ns);
    return k >= 0 && k < slew.count ? slew.rate_ppm[k] : 0.0;
}

/* ---- the walk and the slew together --------------------------------------- */

static int rates_move(void)
{
    return __atomic_load_n(&walk_ready, __ATOMIC_ACQUIRE) || __atomic_load_n(&slew_ready, __ATOMIC_ACQUIRE);
}

/* What the walk and the slew have added to the clocks by a real monotonic time, in nanoseconds. */
static int64_t rate_offset_ns_at(int64_t real_mono_ns)
{
    return llround(wander_offset_ns_at(real_mono_ns) + slew_offset_ns_at(real_mono_ns));
}

/* The clocks' rate beyond the real ones at a real monotonic time, in ppm. */
static double rate_ppm_at(int64_t real_mono_ns)
{
    return wander_rate_ppm_at(real_mono_ns) + slew_rate_ppm_at(real_mono_ns);
}

/* The offset now: 0 without a walk or a slew, so without an extra clock read. */
static int64_t rate_offset_ns_now(void)
{
    if (!rates_move())
        return 0;
    struct timespec mono;
    if (real_clock_gettime()(CLOCK_MONOTONIC, &mono) != 0)
        return 0;
    return rate_offset_ns_at(to_ns(&mono));
}

__attribute__((constructor)) static void set_up(void)
{
    (void)real_clock_gettime();
    (void)real_clock_nanosleep();
    map_shift_cell();
    set_up_wander();
    set_up_slew();
}

/* ---- which clocks move ---------------------------------------------------- */

static int is_real_time(clockid_t id) { return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE || id == CLOCK_TAI; }

static int is_monotonic(clockid_t id)
{
    return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME;
}

/* What this process's clock `id` (a real-time or monotonic one) shows beyond the real one now. */
static int64_t shift_now_ns(clockid_t id)
{
    return is_real_time(id) ? step_shift_ns() + rate_offset_ns_now() : rate_offset_ns_now();
}

/* ---- the interposed entries (exported whatever the build's default) ------ */

__attribute__((visibility("default"))) int clock_gettime(clockid_t id, struct timespec *ts)
{
    clock_gettime_fn real = real_clock_gettime();
    if (real == NULL)
        return -1;
    if (!is_real_time(id) && !is_monotonic(id))
        return real(id, ts);
    /* The monotonic clocks take the offset at their own reading, which keeps
     * them monotonic (BOOTTIME, which also counts suspended time, at a
     * monotonic reading); the real-time clocks at a monotonic reading made
     * just before theirs, so that their own reading comes last. */
    const int own_reading = id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE;
    const int64_t shift_before = own_reading ? 0 : shift_now_ns(id);
    const int rc = real(id, ts);
    if (rc != 0)
        return rc;
    const int64_t shift = own_reading ? rate_offset_ns_at(to_ns(ts)) : shift_before;
    if (shift != 0)
        from_ns(to_ns(ts) + shift, ts);
    return 0;
}

__attribute__((visibility("default"))) int gettimeofday(struct timeval *restrict tv, void *restrict tz)
{
    (void)tz;
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return -1;
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    return 0;
}

/*
 * Where on the real clock `id` a sleep until `request_ns` on this process's
 * clock `id` ends: own + d + step + offset(mono + d) = request solved for
 * the real span d by Newton's steps, exact within a segment of the walk or
 * the slew, and a step or two more across their boundaries.  Sleeps longer
 * than SLEEP_SOLVED_NS take the offset now, as a step.
 */
static int64_t real_deadline_ns(clockid_t id, int64_t request_ns)
{
    clock_gettime_fn real = real_clock_gettime();
    struct timespec mono, own;
    if (real(CLOCK_MONOTONIC, &mono) != 0 || real(id, &own) != 0)
        return request_ns - shift_now_ns(id);
    const int64_t mono_ns = to_ns(&mono), own_ns = to_ns(&own);
    const int64_t step_ns = is_real_time(id) ? step_shift_ns() : 0;
    const double ahead_ns = (double)(request_ns - own_ns - step_ns);
    if (ahead_ns > SLEEP_SOLVED_NS)
        return request_ns - step_ns - rate_offset_ns_at(mono_ns);
    double span_ns = 0.0;
    for (int i = 0; i < 4; ++i) {
        const int64_t at_ns = mono_ns + (int64_t)span_ns;
        const double miss_ns = span_ns + (double)rate_offset_ns_at(at_ns) - ahead_ns;
        span_ns = fmax(0.0, span_ns - miss_ns / (1.0 + rate_ppm_at(at_ns) * 1e-6));
    }
    return own_ns + (int64_t)span_ns;
}

/* A deadline's nanoseconds, or -1 beyond what 64 bits of them hold (a sleep of centuries: left alone). */
static int64_t deadline_ns(const struct timespec *ts)
{
    const int64_t limit_s = INT64_MAX / NS_PER_S - 1;
    return ts->tv_sec >= 0 && (int64_t)ts->tv_sec < limit_s ? to_ns(ts) : -1;
}

__attribute__((visibility("default"))) int clock_nanosleep(clockid_t id, int flags, const struct timespec *request,
                                                           struct timespec *remain)
{
    clock_nanosleep_fn real = real_clock_nanosleep();
    if (real == NULL)
        return ENOSYS;
    const int64_t request_ns = deadline_ns(request);
    if (!(flags & TIMER_ABSTIME) || !(is_real_time(id) || is_monotonic(id)) || request_ns < 0)
        return real(id, flags, request, remain);
    struct timespec deadline;
    from_ns(rates_move() ? real_deadline_ns(id, request_ns) : request_ns - shift_now_ns(id), &deadline);
    return real(id, flags, &deadline, remain);
}
