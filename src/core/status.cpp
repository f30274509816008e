#include "core/status.hpp"

#include <cstring>

namespace tessmoor::core {

namespace {
// strerror_r comes in two flavours: GNU returns the message pointer, POSIX
// an int status with the message in the buffer.
[[maybe_unused]] std::string message_from(char*, char* gnu_result) { return gnu_result; }
[[maybe_unused]] std::string message_from(char* buf, int posix_status) {
    return posix_status == 0 ? std::string(buf) : std::string("Unknown error");
}
}  // namespace

std::string os_error_message(int errnum) {
    char buf[256];
    return message_from(buf, ::strerror_r(errnum, buf, sizeof buf));
}

std::string os_error_text(int errnum) {
    std::string text = os_error_message(errnum);
    text += " (os error ";
    text += std::to_string(errnum);
    text += ')';
    return text;
}

std::string Error::text() const {
    if (kind_ == Kind::Io) return "I/O error: " + os_error_text(errno_);
    return "parse error: " + message_;
}

namespace {
std::string scan_number(const Failure& f) {
    return (f.scan_negative ? "-" : "") + std::to_string(f.scan.value_or(0));
}
}  // namespace

std::string Failure::text() const {
    switch (kind) {
        case Kind::NotDirectory: return "'" + file + "' is not a directory";
        case Kind::FunctionNotFound: return "function " + std::to_string(func.value_or(0)) + " not found";
        case Kind::IdxMissing: return "IDX file not found: " + file;
        case Kind::DatMissing: return "DAT file not found: " + file;
        case Kind::Os: return os_error_text(os_errno);
        case Kind::Format: return error ? error->text() : std::string("parse error");
        case Kind::ScanOutOfRange: return "scan " + scan_number(*this) + " out of range";
        case Kind::ScanOutOfBounds: return "scan offset out of DAT bounds";
        case Kind::NotIms: return "function uses Encoding A (not IMS); use read_spectrum instead";
        case Kind::NoChroms: return "no _CHROMS.INF in this .raw directory";
        case Kind::FileChanged: return "file changed while it was read";
    }
    return "unknown failure";
}

std::string Failure::context_text() const {
    // These texts name their path already.
    if (kind == Kind::NotDirectory || kind == Kind::IdxMissing || kind == Kind::DatMissing)
        return text();
    std::string out = file;
    std::string where;
    // A missing function is named by the text itself.
    if (func && kind != Kind::FunctionNotFound) where = "function " + std::to_string(*func);
    if (scan) where += (where.empty() ? "scan " : ", scan ") + scan_number(*this);
    if (!where.empty()) out += (out.empty() ? "" : ": ") + where;
    if (!out.empty()) out += ": ";
    out += text();
    if (kind == Kind::ScanOutOfRange && scan_count)
        out += " (the function has " + std::to_string(*scan_count) + " scans)";
    return out;
}

}  // namespace tessmoor::core

