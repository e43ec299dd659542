// What the fuzz targets share: a copy of the input between guard bytes
// that AddressSanitizer also poisons (so a read there is caught, not only
// a write), an error buffer whose size comes from the input, and a check
// that fails loudly.
#ifndef LURVO_FUZZ_HARNESS_H
#define LURVO_FUZZ_HARNESS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define LURVO_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define LURVO_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef LURVO_POISON
#define LURVO_POISON(p, n) ((void)(p), (void)(n))
#define LURVO_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#define FUZZ_CHECK(cond)                                                        \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                         #cond);                                                \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

namespace fuzz {

constexpr std::size_t kGuard = 64;         // keeps the data 16-byte aligned
constexpr unsigned char kGuardByte = 0xA5;

// `size` usable bytes with poisoned guard bytes on both sides.
class Guarded {
public:
    explicit Guarded(std::size_t size, unsigned char fill = 0)
        : size_(size), store_(size + 2 * kGuard, kGuardByte)
    {
        std::memset(data(), fill, size);
        LURVO_POISON(store_.data(), kGuard);
        LURVO_POISON(data() + size, kGuard);
    }
    // A guarded copy of `size` bytes at `src`.
    Guarded(const std::uint8_t *src, std::size_t size) : Guarded(size)
    {
        if (size != 0)
            std::memcpy(data(), src, size);
    }
    ~Guarded() { LURVO_UNPOISON(store_.data(), store_.size()); }
    Guarded(const Guarded &) = delete;
    Guarded &operator=(const Guarded &) = delete;

    unsigned char *data() { return store_.data() + kGuard; }
    std::size_t size() const { return size_; }

    // The guards still hold what they were given.
    bool intact()
    {
        LURVO_UNPOISON(store_.data(), store_.size());
        bool ok = true;
        for (std::size_t i = 0; i < kGuard; ++i)
            ok = ok && store_[i] == kGuardByte && store_[kGuard + size_ + i] == kGuardByte;
        LURVO_POISON(store_.data(), kGuard);
        LURVO_POISON(data() + size_, kGuard);
        return ok;
    }

private:
    std::size_t size_;
    std::vector<unsigned char> store_;
};

// Takes the first byte of the input as the error buffer size (0..255; the
// module passes 1024, but short ones exercise the truncation).
inline std::size_t take_err_size(const std::uint8_t *&data, std::size_t &size)
{
    if (size == 0)
        return 0;
    const std::size_t err_size = data[0];
    ++data;
    --size;
    return err_size;
}

// An error buffer that a stage wrote must hold a NUL within err_size;
// one it did not write is still all `fill`.
inline bool err_terminated(const unsigned char *err, std::size_t err_size)
{
    return err_size == 0 || std::memchr(err, '\0', err_size) != nullptr;
}

inline bool all_equal(const unsigned char *p, std::size_t n, unsigned char value)
{
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

// "no error", cut to fit err_size as snprintf cuts it.
inline bool says_no_error(const unsigned char *err, std::size_t err_size)
{
    if (err_size == 0)
        return true;
    const char text[] = "no error";
    const std::size_t n = std::min(err_size - 1, sizeof text - 1);
    return std::memcmp(err, text, n) == 0 && err[n] == '\0';
}

}  // namespace fuzz

#endif  // LURVO_FUZZ_HARNESS_H
