#include "raw/error.hpp"

#include <cstring>

namespace tessmoor::raw {

namespace {
// strerror_r comes in two flavours: GNU returns the message pointer, POSIX
// an int status with the message in the buffer.
[[maybe_unused]] std::string message_from(char*, char* gnu_result) { return gnu_result; }
[[maybe_unused]] std::string message_from(char* buf, int posix_status) {
    return posix_status == 0 ? std::string(buf) : std::string("Unknown error");
}
}  // namespace

std::string os_error_text(int errnum) {
    char buf[256];
    std::string text = message_from(buf, ::strerror_r(errnum, buf, sizeof buf));
    text += " (os error ";
    text += std::to_string(errnum);
    text += ')';
    return text;
}

std::string Error::text() const {
    if (kind_ == Kind::Io) return "I/O error: " + os_error_text(errno_);
    return "parse error: " + message_;
}

}  // namespace tessmoor::raw
