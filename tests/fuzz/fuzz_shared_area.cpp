// fuzz_shared_area - a reader (neither local-only nor the owner) facing a
// shared area "yal_time_master" whose bytes another process may have
// written any way it liked: any heartbeat, index, valid index, slope and
// intercept, and, now and then, a size other than 16408 bytes.
//
// The area is offered through the recording base's mmap_r from a block of
// exactly 16408 bytes (or of the size claimed, when that is smaller), so
// AddressSanitizer reports any read outside it.  Input:
//   header (24 bytes: activity, updates, stepcount, idx, valid_idx, gap),
//   the record at idx and the one after it (16 bytes each), a fill byte for
//   the rest of the table, a mode byte, a claimed size, the arguments (a
//   tick count, a frame rate, a frame number, a span in seconds), and a
//   second header that a second round of readings meets (an owner that
//   restarted, or a writer that went wrong).
// Every reading must stay positive and never NaN: the area's time when its
// record in force gives one, else the process's own calibration or the OS
// clock.  An area of the wrong size must be refused with the fatal message
// and never used.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_input.h"
#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/yaltime_entry.h"

namespace {

constexpr size_t Area_size = CALIBRATION_CONTEXT_SIZE;
constexpr size_t Header_size = 24;
constexpr size_t Record_size = 16;

enum mode : uint8_t {
    WRONG_SIZE = 1,    // claim the size from the input
    SEEN_BEFORE = 2,   // this process already saw the area's heartbeat value
    SECOND_ROUND = 4,  // rewrite the header and read again
    ANCIENT_SEEN = 8,  // that heartbeat was first seen at TSC 1 (long stale)
};

struct arguments {
    uint64_t ticks;
    unsigned int rate;
    uint64_t frame;
    double span;
};

// Places the record at idx (and the one after it) where a reader would look.
void write_records(unsigned char *area, int32_t idx, const unsigned char *records)
{
    if (!calib::index_in_ring(idx))
        return;
    std::memcpy(area + Header_size + Record_size * static_cast<size_t>(idx), records, Record_size);
    const int32_t next = calib::next_index(idx);
    std::memcpy(area + Header_size + Record_size * static_cast<size_t>(next), records + Record_size, Record_size);
}

int32_t header_idx(const unsigned char *header)
{
    int32_t idx;
    std::memcpy(&idx, header + 12, sizeof idx);
    return idx;
}

void read_everything(const arguments &a, const calibration_context_t *area, bool area_usable)
{
    const double before = os_gettime();
    const double now = func_YALTIME_NOW();
    const double after = os_gettime();
    FUZZ_REQUIRE(now > 0);
    const int code = func_YALTIME_GET_CALIBRATION();
    FUZZ_REQUIRE(code == CALIBRATION_SHARED || code == CALIBRATION_OWN);
    if (!area_usable)
        FUZZ_REQUIRE(code == CALIBRATION_OWN);
    if (code == CALIBRATION_OWN)
        FUZZ_REQUIRE(std::fabs(now - 0.5 * (before + after)) < 0.5);
    (void)area;

    FUZZ_REQUIRE(func_YALTIME_TSC_TO_NOW(a.ticks) > 0);
    (void)func_YALTIME_GETTIME();
    (void)func_YALTIME_GET_CURRENT_USEC();
    (void)func_YALTIME_NOW_NTP();
    FUZZ_REQUIRE(!std::isnan(func_YALTIME_GET_CLOCK_ERROR()));
    (void)func_YALTIME_NOW_FRAME(a.rate);
    (void)func_YALTIME_FRAME_START(a.frame, a.rate);
    (void)func_YALTIME_FRAME_END(a.frame, a.rate);
    (void)func_YALTIME_START(a.span);
    (void)func_YALTIME_TSC_TO_SECS(a.ticks);
    (void)func_YALTIME_SECS_TO_TSC(a.span);
    (void)func_YALTIME_GET_TSC_PERIOD();
    (void)func_YALTIME_GET_TSC_FREQUENCY();
    (void)func_YALTIME_GET_STEP_COUNT();
    (void)func_YALTIME_GET_UPDATE_COUNT();
    recording_base::sleeps.clear();
    func_YALTIME_SLEEP_UNTIL(a.span);
    FUZZ_REQUIRE(recording_base::sleeps.size() <= 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    recording_base::install();
    component_state::reset();
    // The process's own calibration follows the OS clock, so that a reading
    // that leaves the area can be checked against it.
    component_state::set_tracking_record(&Thread_calibration, 1.0 / 3e9);

    fuzz::input in(data, size);
    unsigned char header[Header_size];
    unsigned char records[2 * Record_size];
    for (unsigned char &b : header)
        b = in.byte();
    for (unsigned char &b : records)
        b = in.byte();
    const uint8_t fill = in.byte();
    const uint8_t modes = in.byte();
    const long claimed = in.take<int64_t>();
    arguments a;
    a.ticks = in.take<uint64_t>();
    a.rate = in.take<uint32_t>();
    a.frame = in.take<uint64_t>();
    a.span = in.bits_as_double();
    unsigned char second_header[Header_size];
    for (unsigned char &b : second_header)
        b = in.byte();

    const bool wrong_size = (modes & WRONG_SIZE) && claimed != static_cast<long>(Area_size);
    const size_t block_size =
        wrong_size && claimed > 0 && static_cast<unsigned long>(claimed) < Area_size ? static_cast<size_t>(claimed)
                                                                                     : Area_size;
    auto *block = static_cast<unsigned char *>(std::malloc(block_size));
    std::memset(block, fill, block_size);
    if (block_size == Area_size) {
        std::memcpy(block, header, Header_size);
        write_records(block, header_idx(header), records);
    }
    recording_base::shared_area = {block, wrong_size ? claimed : static_cast<long>(Area_size)};

    if (modes & SEEN_BEFORE) {
        int32_t activity;
        std::memcpy(&activity, header, sizeof activity);
        Master_last_activity.store(activity);
    }

    area_watch_start(); // the start's look at the name maps the block

    auto *area = reinterpret_cast<calibration_context_t *>(block);
    read_everything(a, area, !wrong_size);
    if (wrong_size) {
        FUZZ_REQUIRE(Master_calibration.load() == nullptr);
        FUZZ_REQUIRE(recording_base::failures.size() == 1);
        FUZZ_REQUIRE(recording_base::failures[0] ==
                     "get_active_calibration: invalid size (" + std::to_string(claimed) + ") of yal_time_master");
    } else {
        FUZZ_REQUIRE(recording_base::failures.empty());
    }

    if ((modes & SECOND_ROUND) && block_size == Area_size) {
        std::memcpy(block, second_header, Header_size);
        write_records(block, header_idx(second_header), records);
        if (modes & ANCIENT_SEEN)
            Master_last_activity_tsc.store(1);
        read_everything(a, area, !wrong_size);
    }

    Master_calibration.store(nullptr);
    recording_base::shared_area = {};
    std::free(block);
    return 0;
}
