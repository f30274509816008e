// The core's one error value.
//
// Nothing in src/core throws across its boundary, exits or touches Python.
// Every parser, decoder and reader returns a Status (success, or what went
// wrong) or a Result<T> (a value, or the Status of why there is none), in
// the manner of Arrow's Status/Result and LLVM's Expected.  A Status has a
// closed kind and the context of where the fault lies (file, function,
// scan); each binding has one table from kind to its exception, and every
// message derives from the kind and its context here.
//
// A successful Status is a null pointer, so passing success around costs
// nothing; the details of a failure live on the heap.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessmoor::core {

// The C library's message for an error number.
std::string os_error_message(int errnum);
// The same, then " (os error N)".
std::string os_error_text(int errnum);

enum class StatusKind : std::uint8_t {
    Io,                // an operating-system call on a file failed: errnum, file, role
    NotFound,          // a file the read needs does not exist: file, role (Index or Data)
    NotDirectory,      // the run path is not a directory: file, errnum (why)
    Format,            // a file or a scan is malformed: message, which names its format
    FunctionNotFound,  // no function-table entry: func
    ScanOutOfRange,    // scan not below scan_count (negative: counted from the end)
    ScanOutOfBounds,   // a 22-byte-index scan reaches past the end of the DAT
    NotIms,            // drift times asked of a function of 22-byte index records
    NoChroms,          // the run has no _CHROMS.INF
    ChannelNotFound,   // the channel table lists no such channel: scan holds the channel number
    SpecialFile,       // a pipe, character device or socket where a file to read at offsets must be
    FileChanged,       // a file changed under a read, and again under its retry
    OutOfMemory,       // an output larger than this process could ever hold: bytes
    InvalidArgument,   // a caller's value the operation cannot take: message
    Interrupted,       // the caller asked the work to stop (Ctrl-C)
    Internal,          // a broken invariant, a bug: message
};

// Which file of a run a status concerns.  It decides how the module tessmoor
// words some messages: a metadata file that cannot be read is an "I/O error",
// a function's IDX or DAT is reported with the system's text alone.
enum class FileRole : std::uint8_t {
    None,
    Directory,  // the run directory itself
    Header,     // _HEADER.TXT
    Extern,     // _extern.inf
    Functions,  // _FUNCTNS.INF
    Chroms,     // _CHROMS.INF
    Index,      // _FUNCnnn.IDX
    Data,       // _FUNCnnn.DAT
    Channel,    // _CHROnnn.DAT
};

class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    static Status OK() noexcept { return Status(); }

    Status(const Status& other) : state_(other.state_ ? new State(*other.state_) : nullptr) {}
    Status& operator=(const Status& other) {
        if (this != &other) state_.reset(other.state_ ? new State(*other.state_) : nullptr);
        return *this;
    }
    Status(Status&&) noexcept = default;
    Status& operator=(Status&&) noexcept = default;

    // The failures, by kind.
    static Status io(int errnum, std::string file, FileRole role);
    static Status not_found(std::string file, FileRole role);
    static Status not_directory(std::string path, int why);
    static Status format(std::string message);
    static Status function_not_found(std::uint32_t func);
    // `magnitude` of a negative scan number when `negative`.
    static Status scan_out_of_range(std::uint64_t magnitude, bool negative, std::uint64_t scan_count);
    static Status scan_out_of_bounds();
    static Status not_ims();
    static Status no_chroms(std::string file);
    static Status file_changed(std::string file, FileRole role);
    static Status out_of_memory(std::uint64_t bytes);
    static Status channel_not_found(std::uint64_t channel);
    // `what` names the kind of file: "a FIFO (named pipe)", ...
    static Status special_file(std::string file, FileRole role, std::string what);
    static Status interrupted();
    static Status invalid_argument(std::string message);
    static Status internal(std::string message);

    bool ok() const noexcept { return !state_; }
    explicit operator bool() const noexcept { return ok(); }

    // Only for a failure (!ok()).
    StatusKind kind() const noexcept { return state_->kind; }
    int os_errno() const noexcept { return state_->errnum; }
    const std::string& file() const noexcept { return state_->file; }
    FileRole role() const noexcept { return state_->role; }
    std::optional<std::uint32_t> func() const noexcept { return state_->func; }
    std::optional<std::uint64_t> scan() const noexcept { return state_->scan; }
    bool scan_negative() const noexcept { return state_->scan_negative; }
    std::optional<std::uint64_t> scan_count() const noexcept { return state_->scan_count; }
    std::uint64_t bytes() const noexcept { return state_->bytes; }
    const std::string& message() const noexcept { return state_->message; }
    // What the caller could have asked for instead ("the run's functions
    // are 1 to 3"), shown by context_text().
    const std::string& detail() const noexcept { return state_->detail; }

    // Context, added where it becomes known; a failure keeps what it has.
    // The status comes back by value: a reference into a temporary, held
    // past its statement (auto&& in the macros below), would dangle.
    Status in_file(std::string file, FileRole role) &&;
    Status in_function(std::uint32_t func) &&;
    Status at_scan(std::uint64_t scan) &&;
    Status with_detail(std::string detail) &&;

    // The message the module tessmoor gives: "scan 5 out of range",
    // "parse error: ...", "I/O error: ..." for a metadata file, the system's
    // text alone for a function's files.
    std::string text() const;
    // The same behind the file, function and scan concerned, for callers
    // that report where a fault lies:
    // "/data/r.raw/_FUNC001.DAT: function 1, scan 4: parse error: ...".
    std::string context_text() const;

private:
    struct State {
        StatusKind kind = StatusKind::Internal;
        int errnum = 0;
        std::string file;
        FileRole role = FileRole::None;
        std::optional<std::uint32_t> func;
        std::optional<std::uint64_t> scan;
        bool scan_negative = false;
        std::optional<std::uint64_t> scan_count;
        std::uint64_t bytes = 0;
        std::string message;
        std::string detail;
    };
    explicit Status(State state) : state_(new State(std::move(state))) {}
    static Status of(StatusKind kind);
    // The one status that is made without allocating: memory ran out.  It
    // is shared, never deleted, and copied before context is added to it.
    static State* exhausted() noexcept;
    struct Release {
        void operator()(State* s) const noexcept {
            if (s != exhausted()) delete s;
        }
    };
    // Makes the state this status's own before it is changed.
    void own();

    std::unique_ptr<State, Release> state_;

    friend Status memory_exhausted() noexcept;
};

// OutOfMemory, made without allocating: what guarded() returns when an
// allocation failed, where making any other status could fail again.
Status memory_exhausted() noexcept;

// A value of type T, or the Status of a failure.
template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::decay_t<T>, Status>, "Result<Status> makes no sense: use Status");

public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    // A failure; never an OK status.
    Result(Status status) : v_(std::in_place_index<1>, std::move(status)) {
        if (std::get<1>(v_).ok()) std::get<1>(v_) = Status::internal("a Result was made of an OK status");
    }

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // Only for a failure.
    const Status& status() const& { return std::get<1>(v_); }
    Status status() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Status> v_;
};

// A result whose failure, if any, names `file` (unless it names one already).
template <class T>
Result<T> in_file(Result<T>&& r, const std::string& file, FileRole role) {
    if (r.ok()) return std::move(r);
    return std::move(r).status().in_file(file, role);
}

// True when `r` (a Status or a Result) failed with a status of kind `k`.
inline bool failed_with(const Status& s, StatusKind k) noexcept { return !s.ok() && s.kind() == k; }
template <class T>
bool failed_with(const Result<T>& r, StatusKind k) noexcept {
    return !r.ok() && r.status().kind() == k;
}

// The status of a Result or a Status, for the macros below.
inline Status status_of(Status&& s) noexcept { return std::move(s); }
template <class T>
Status status_of(Result<T>&& r) noexcept {
    return std::move(r).status();
}

#define TESSMOOR_CONCAT_INNER(a, b) a##b
#define TESSMOOR_CONCAT(a, b) TESSMOOR_CONCAT_INNER(a, b)

// Returns the failure of `expr` (a Status or a Result) from the enclosing
// function.
#define TESSMOOR_RETURN_IF_ERROR(expr)                                        \
    do {                                                                      \
        auto&& _tessmoor_st = (expr);                                         \
        if (!_tessmoor_st.ok())                                               \
            return ::tessmoor::core::status_of(std::move(_tessmoor_st));      \
    } while (false)

#define TESSMOOR_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
    auto tmp = (expr);                                 \
    if (!tmp.ok()) return std::move(tmp).status();     \
    lhs = std::move(tmp).value()

// `lhs = value of expr`, or returns its failure from the enclosing function.
#define TESSMOOR_ASSIGN_OR_RETURN(lhs, expr) \
    TESSMOOR_ASSIGN_OR_RETURN_IMPL(TESSMOOR_CONCAT(_tessmoor_result_, __LINE__), lhs, expr)

// Runs `body` (returning a Status or a Result) so that no C++ exception
// leaves it: allocation failure becomes OutOfMemory, anything else Internal.
// The entry points of the core go through here.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return memory_exhausted();
    } catch (const std::exception& e) {
        return Status::internal(e.what());
    } catch (...) {
        return Status::internal("unknown C++ exception");
    }
}

}  // namespace tessmoor::core
