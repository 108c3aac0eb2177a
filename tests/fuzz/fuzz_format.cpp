// fuzz_format - YALTIME_SNPRINTF_TIME and YALTIME_SNPRINTF_TIME_NTP under any
// prefix, any buffer length and any time or timestamp.
//
// Input: flags (1 byte), buflen (int32), time bits (8 bytes: a double for
// SNPRINTF_TIME, the same bits as a timestamp for SNPRINTF_TIME_NTP), then
// the prefix up to the first NUL.  The buffer has exactly buflen bytes (at
// most Max_buffer) between guard bytes, and the prefix exactly its own
// length plus its NUL, so AddressSanitizer sees any access beyond either.
//
// Besides memory safety, each call must give:
//   - a count that does not depend on buflen (the length of the whole text);
//   - in the caller's buffer, the whole text cut at buflen - 1 and ended by
//     a NUL; nothing at all for a buflen of 0 or less, or a null buffer;
//   - a whole text that starts with the prefix copied literally ("%%" as
//     "%", every other '%' as it stands);
//   - a date only for a positive time (a nonzero timestamp), always for
//     dates up to 2038, and ending in " +0" when present.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/yaltime_entry.h"

namespace {

constexpr int Max_buffer = 4096;
constexpr size_t Guard_bytes = 32;
constexpr unsigned char Guard = 0xA5;

enum flag : uint8_t {
    USE_NTP = 1,
    NULL_BUFFER = 2,
    NULL_PREFIX = 4,
    RAW_BUFLEN = 8, // keep a negative or zero buflen as it came
};

// The prefix as the component must copy it: "%%" becomes "%".
std::string literal_prefix(const std::string &prefix)
{
    std::string out;
    for (size_t i = 0; i < prefix.size(); ++i) {
        out += prefix[i];
        if (prefix[i] == '%' && i + 1 < prefix.size() && prefix[i + 1] == '%')
            ++i;
    }
    return out;
}

int format(bool ntp, char *buf, int buflen, const char *prefix, uint64_t bits)
{
    if (ntp)
        return func_YALTIME_SNPRINTF_TIME_NTP(buf, buflen, prefix, bits);
    double time;
    std::memcpy(&time, &bits, sizeof time);
    return func_YALTIME_SNPRINTF_TIME(buf, buflen, prefix, time);
}

int buffer_length(uint8_t flags, int32_t raw)
{
    if ((flags & RAW_BUFLEN) && raw <= 0)
        return raw;
    const int64_t magnitude = raw < 0 ? -static_cast<int64_t>(raw) : raw;
    return static_cast<int>(magnitude % (Max_buffer + 1));
}

// Whether a date must follow the prefix, may follow it, or must not.
enum class date_rule { REQUIRED, ALLOWED, FORBIDDEN };

date_rule date_expected(bool ntp, uint64_t bits)
{
    if (ntp)
        return bits == 0 ? date_rule::FORBIDDEN : date_rule::REQUIRED;
    double time;
    std::memcpy(&time, &bits, sizeof time);
    if (!(time > 0))
        return date_rule::FORBIDDEN;
    if (time < 2147483648.0)
        return date_rule::REQUIRED;
    return date_rule::ALLOWED; // far dates: as far as the calendar reaches
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    recording_base::install();
    fuzz::input in(data, size);
    const uint8_t flags = in.byte();
    const int32_t raw_buflen = in.take<int32_t>();
    const uint64_t bits = in.take<uint64_t>();
    const std::string prefix_text = in.rest_as_text();
    const bool ntp = flags & USE_NTP;

    // The prefix in a block of exactly its size.
    char *prefix = nullptr;
    if (!(flags & NULL_PREFIX)) {
        prefix = static_cast<char *>(std::malloc(prefix_text.size() + 1));
        std::memcpy(prefix, prefix_text.c_str(), prefix_text.size() + 1);
    }

    // The caller's buffer of exactly buflen bytes, guards on both sides.
    const int buflen = (flags & NULL_BUFFER) ? 0 : buffer_length(flags, raw_buflen);
    const size_t room = buflen > 0 ? static_cast<size_t>(buflen) : 0;
    std::vector<unsigned char> block(Guard_bytes + room + Guard_bytes, Guard);
    char *buf = (flags & NULL_BUFFER) ? nullptr : reinterpret_cast<char *>(block.data() + Guard_bytes);

    const int count = format(ntp, buf, buflen, prefix, bits);
    FUZZ_REQUIRE(count >= 0);
    for (size_t i = 0; i < Guard_bytes; ++i) {
        FUZZ_REQUIRE(block[i] == Guard);
        FUZZ_REQUIRE(block[Guard_bytes + room + i] == Guard);
    }

    // The whole text, into a buffer that has room for it.
    std::vector<char> whole(static_cast<size_t>(count) + 1, '\x7f');
    const int whole_count = format(ntp, whole.data(), count + 1, prefix, bits);
    FUZZ_REQUIRE(whole_count == count);
    FUZZ_REQUIRE(whole[static_cast<size_t>(count)] == '\0');
    FUZZ_REQUIRE(std::strlen(whole.data()) == static_cast<size_t>(count));

    if (buf != nullptr && buflen > 0) {
        const size_t kept = std::min(static_cast<size_t>(count), room - 1);
        FUZZ_REQUIRE(std::memcmp(buf, whole.data(), kept) == 0);
        FUZZ_REQUIRE(buf[kept] == '\0');
    } else {
        for (size_t i = 0; i < room; ++i)
            FUZZ_REQUIRE(block[Guard_bytes + i] == Guard);
    }

    const std::string text(whole.data());
    const std::string expected_prefix = prefix ? literal_prefix(prefix_text) : std::string();
    FUZZ_REQUIRE(text.compare(0, expected_prefix.size(), expected_prefix) == 0);
    const std::string date = text.substr(std::min(expected_prefix.size(), text.size()));
    switch (date_expected(ntp, bits)) {
    case date_rule::FORBIDDEN:
        FUZZ_REQUIRE(date.empty());
        break;
    case date_rule::REQUIRED:
        FUZZ_REQUIRE(date.size() == std::strlen("1970-01-01 00:00:00.000000 +0"));
        [[fallthrough]];
    case date_rule::ALLOWED:
        FUZZ_REQUIRE(date.empty() || (date.size() > 3 && date.compare(date.size() - 3, 3, " +0") == 0));
        break;
    }

    std::free(prefix);
    return 0;
}
