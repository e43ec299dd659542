// The error-text convention shared by the three stages: a short English
// text written into the caller's buffer with bounded formatting, always
// NUL-terminated, cut to fit.  A null buffer or a size of 0 gets nothing.
#ifndef LURVO_ERROR_TEXT_H
#define LURVO_ERROR_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace lurvo {

inline void set_error(char *err_buf, std::size_t err_size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

inline void set_error(char *err_buf, std::size_t err_size, const char *fmt, ...)
{
    if (err_buf == nullptr || err_size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(err_buf, err_size, fmt, ap);
    va_end(ap);
}

}  // namespace lurvo

#endif  // LURVO_ERROR_TEXT_H
