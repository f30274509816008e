#include "core/status.hpp"

#include <cstdio>
#include <cstring>

namespace tessmoor::core {

namespace {
// strerror_r comes in two flavours: GNU returns the message pointer, POSIX
// an int status with the message in the buffer.
[[maybe_unused]] std::string message_from(char*, char* gnu_result) { return gnu_result; }
[[maybe_unused]] std::string message_from(char* buf, int posix_status) {
    return posix_status == 0 ? std::string(buf) : std::string("Unknown error");
}

std::string scan_number(const Status& s) {
    return (s.scan_negative() ? "-" : "") + std::to_string(s.scan().value_or(0));
}

// Bytes in the largest binary unit that keeps the number at 1 or more.
std::string size_text(std::uint64_t bytes) {
    static constexpr const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double v = static_cast<double>(bytes);
    std::size_t u = 0;
    while (v >= 1024.0 && u + 1 < std::size(units)) {
        v /= 1024.0;
        ++u;
    }
    if (u == 0) return std::to_string(bytes) + " bytes";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
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

Status Status::of(StatusKind kind) {
    State state;
    state.kind = kind;
    return Status(std::move(state));
}

Status Status::io(int errnum, std::string file, FileRole role) {
    Status s = of(StatusKind::Io);
    s.state_->errnum = errnum;
    s.state_->file = std::move(file);
    s.state_->role = role;
    return s;
}
Status Status::not_found(std::string file, FileRole role) {
    Status s = of(StatusKind::NotFound);
    s.state_->file = std::move(file);
    s.state_->role = role;
    return s;
}
Status Status::not_directory(std::string path, int why) {
    Status s = of(StatusKind::NotDirectory);
    s.state_->errnum = why;
    s.state_->file = std::move(path);
    s.state_->role = FileRole::Directory;
    return s;
}
Status Status::format(std::string message) {
    Status s = of(StatusKind::Format);
    s.state_->message = std::move(message);
    return s;
}
Status Status::function_not_found(std::uint32_t func) {
    Status s = of(StatusKind::FunctionNotFound);
    s.state_->func = func;
    return s;
}
Status Status::scan_out_of_range(std::uint64_t magnitude, bool negative, std::uint64_t scan_count) {
    Status s = of(StatusKind::ScanOutOfRange);
    s.state_->scan = magnitude;
    s.state_->scan_negative = negative;
    s.state_->scan_count = scan_count;
    return s;
}
Status Status::scan_out_of_bounds() { return of(StatusKind::ScanOutOfBounds); }
Status Status::not_ims() { return of(StatusKind::NotIms); }
Status Status::no_chroms(std::string file) {
    Status s = of(StatusKind::NoChroms);
    s.state_->file = std::move(file);
    s.state_->role = FileRole::Chroms;
    return s;
}
Status Status::file_changed(std::string file, FileRole role) {
    Status s = of(StatusKind::FileChanged);
    s.state_->file = std::move(file);
    s.state_->role = role;
    return s;
}
Status Status::out_of_memory(std::uint64_t bytes) {
    Status s = of(StatusKind::OutOfMemory);
    s.state_->bytes = bytes;
    return s;
}
Status Status::channel_not_found(std::uint64_t channel) {
    Status s = of(StatusKind::ChannelNotFound);
    s.state_->scan = channel;
    return s;
}
Status Status::special_file(std::string file, FileRole role, std::string what) {
    Status s = of(StatusKind::SpecialFile);
    s.state_->file = std::move(file);
    s.state_->role = role;
    s.state_->message = std::move(what);
    return s;
}
Status Status::interrupted() { return of(StatusKind::Interrupted); }
Status Status::invalid_argument(std::string message) {
    Status s = of(StatusKind::InvalidArgument);
    s.state_->message = std::move(message);
    return s;
}
Status Status::internal(std::string message) {
    Status s = of(StatusKind::Internal);
    s.state_->message = std::move(message);
    return s;
}

Status::State* Status::exhausted() noexcept {
    static State state = [] {
        State s;
        s.kind = StatusKind::OutOfMemory;
        return s;
    }();
    return &state;
}

Status memory_exhausted() noexcept {
    Status s;
    s.state_.reset(Status::exhausted());
    return s;
}

void Status::own() {
    if (state_.get() == exhausted()) state_.reset(new State(*exhausted()));
}

Status Status::in_file(std::string file, FileRole role) && {
    own();
    if (state_ && state_->file.empty()) {
        state_->file = std::move(file);
        state_->role = role;
    }
    return std::move(*this);
}

Status Status::in_function(std::uint32_t func) && {
    own();
    if (state_ && !state_->func) state_->func = func;
    return std::move(*this);
}

Status Status::with_detail(std::string detail) && {
    own();
    if (state_) state_->detail = std::move(detail);
    return std::move(*this);
}

Status Status::at_scan(std::uint64_t scan) && {
    own();
    if (state_ && !state_->scan) state_->scan = scan;
    return std::move(*this);
}

std::string Status::text() const {
    if (ok()) return "OK";
    switch (kind()) {
        case StatusKind::Io: {
            // Whole-file reads of the metadata and channel files are "I/O
            // errors"; a function's own files give the system's text alone.
            const bool function_file = role() == FileRole::Index || role() == FileRole::Data;
            return (function_file ? "" : "I/O error: ") + os_error_text(os_errno());
        }
        case StatusKind::NotFound:
            return (role() == FileRole::Data ? "DAT file not found: " : "IDX file not found: ") + file();
        case StatusKind::NotDirectory: return "'" + file() + "' is not a directory";
        case StatusKind::Format: return "parse error: " + message();
        case StatusKind::FunctionNotFound: return "function " + std::to_string(func().value_or(0)) + " not found";
        case StatusKind::ScanOutOfRange: return "scan " + scan_number(*this) + " out of range";
        case StatusKind::ScanOutOfBounds: return "scan offset out of DAT bounds";
        case StatusKind::NotIms: return "function uses Encoding A (not IMS); use read_spectrum instead";
        case StatusKind::NoChroms: return "no _CHROMS.INF in this .raw directory";
        case StatusKind::ChannelNotFound: return "channel " + std::to_string(scan().value_or(0)) + " not found";
        case StatusKind::SpecialFile:
            return message() + " where a file was expected: a run's files are read at offsets, so it must be a "
                               "regular file or a block device";
        case StatusKind::Interrupted: return "interrupted";
        case StatusKind::FileChanged: return "file changed while it was read";
        case StatusKind::OutOfMemory:
            if (bytes() == 0) return "out of memory";
            return "the result needs " + size_text(bytes()) + " (" + std::to_string(bytes()) +
                   " bytes), more memory than this process can have";
        case StatusKind::InvalidArgument: return message();
        case StatusKind::Internal: return "internal error: " + message();
    }
    return "unknown status";
}

std::string Status::context_text() const {
    if (ok()) return "OK";
    const StatusKind k = kind();
    // These texts name their path already, or concern no file.
    if (k == StatusKind::NotDirectory || k == StatusKind::NotFound || k == StatusKind::OutOfMemory ||
        k == StatusKind::InvalidArgument || k == StatusKind::Interrupted || k == StatusKind::Internal)
        return text();
    std::string out = file();
    std::string where;
    // A missing function or channel is named by the text itself.
    if (func() && k != StatusKind::FunctionNotFound) where = "function " + std::to_string(*func());
    if (scan() && k != StatusKind::ChannelNotFound) where += (where.empty() ? "scan " : ", scan ") + scan_number(*this);
    if (!where.empty()) out += (out.empty() ? "" : ": ") + where;
    if (!out.empty()) out += ": ";
    out += text();
    if (k == StatusKind::ScanOutOfRange && scan_count())
        out += " (the function has " + std::to_string(*scan_count()) + " scans)";
    if (!detail().empty()) out += " (" + detail() + ")";
    return out;
}

}  // namespace tessmoor::core
