// fuzz_input.h - takes typed values off the front of a fuzzer's input.
//
// A short input reads as if padded with zero bytes, so every input, even an
// empty one, gives a complete set of arguments.  Doubles are taken as raw
// bit patterns: NaNs with any payload, infinities, subnormals and -0.0 all
// come out of the mutator as readily as ordinary values.
#ifndef YALTIME_TESTS_FUZZ_INPUT_H
#define YALTIME_TESTS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

class input {
public:
    input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    template <typename T> T take()
    {
        T value;
        unsigned char bytes[sizeof(T)] = {};
        const size_t n = remaining() < sizeof(T) ? remaining() : sizeof(T);
        if (n > 0)
            std::memcpy(bytes, data_ + at_, n);
        at_ += n;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    uint8_t byte() { return take<uint8_t>(); }
    double bits_as_double() { return take<double>(); }

    // The rest of the input up to its first NUL (or its end).
    std::string rest_as_text()
    {
        const char *start = reinterpret_cast<const char *>(data_ + at_);
        const size_t n = strnlen(start, remaining());
        at_ = size_;
        return std::string(start, n);
    }

    size_t remaining() const { return size_ - at_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken property: print it and abort, so libFuzzer saves the input.
[[noreturn]] inline void broken(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

} // namespace fuzz

#define FUZZ_REQUIRE(condition)                                                                                     \
    do {                                                                                                             \
        if (!(condition))                                                                                            \
            fuzz::broken(#condition, __FILE__, __LINE__);                                                            \
    } while (0)

#endif // YALTIME_TESTS_FUZZ_INPUT_H
