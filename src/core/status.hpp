// Errors as values for the raw-directory core.
//
// Nothing in src/raw throws an error of its own or touches Python: parsers
// and decoders return Expected<T> (a value or an Error), and the Python layer
// converts an Error into an exception at the one place where it returns to
// the interpreter.  (Allocation failure may still surface as std::bad_alloc;
// the Python layer catches it at the boundary.)
#pragma once

#include <cstdint>
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

// A bare operating-system error, as returned by the file access layer.
struct OsError {
    int code = 0;
    std::string text() const { return os_error_text(code); }
};

// The library's error value: either a failed whole-file read (I/O kind) or a
// parser's message (parse kind).  Parse messages begin with the file's or
// the encoding's name.
class Error {
public:
    enum class Kind : std::uint8_t { Io, Parse };

    static Error io(int errnum) { return Error(Kind::Io, errnum, {}); }
    static Error io(OsError e) { return io(e.code); }
    static Error parse(std::string message) { return Error(Kind::Parse, 0, std::move(message)); }

    Kind kind() const noexcept { return kind_; }
    int os_errno() const noexcept { return errno_; }
    const std::string& message() const noexcept { return message_; }

    // "I/O error: " + OS error text, or "parse error: " + message.
    std::string text() const;

private:
    Error(Kind k, int e, std::string m) : kind_(k), errno_(e), message_(std::move(m)) {}
    Kind kind_;
    int errno_;
    std::string message_;
};

// A value of type T or an error of type E, in the manner of LLVM's Expected.
// Both constructors are implicit so that `return value;` and `return error;`
// read naturally in parsers.
template <class T, class E = Error>
class [[nodiscard]] Expected {
    static_assert(!std::is_same_v<std::decay_t<T>, std::decay_t<E>>,
                  "Expected<T, E> needs distinct value and error types");

public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> v_;
};

// A failed open or query of a run, with what it concerns.  The kind is a
// closed set and every text derives from it and its context:
//   text()          the message the module tessmoor raises as RuntimeError;
//   context_text()  the same behind the file, function and scan concerned,
//                   for callers that report where a fault lies.
struct Failure {
    enum class Kind : std::uint8_t {
        NotDirectory,      // the run path is not a directory (os_errno: why)
        FunctionNotFound,  // no function-table entry for func
        IdxMissing,        // _FUNCnnn.IDX does not exist
        DatMissing,        // _FUNCnnn.DAT does not exist
        Os,                // an existing scan file could not be read (os_errno)
        Format,            // a format file or scan failed: error (I/O or parse)
        ScanOutOfRange,    // scan not below scan_count
        ScanOutOfBounds,   // a 22-byte-index scan reaches past the end of the DAT
        NotIms,            // ion mobility asked of a 22-byte-index function
        NoChroms,          // the run has no _CHROMS.INF
        FileChanged,       // a file changed under a read, even after a retry
    };

    Kind kind = Kind::Format;
    std::string file;  // the path concerned (the run directory for NotDirectory)
    std::optional<std::uint32_t> func;
    std::optional<std::uint64_t> scan;  // magnitude; scan_negative gives the sign
    bool scan_negative = false;
    std::optional<std::uint64_t> scan_count;
    int os_errno = 0;
    std::optional<Error> error;

    static Failure of(Kind kind, std::string file = {}) {
        Failure f;
        f.kind = kind;
        f.file = std::move(file);
        return f;
    }
    static Failure os(int errnum, std::string file) {
        Failure f = of(Kind::Os, std::move(file));
        f.os_errno = errnum;
        return f;
    }
    static Failure format(Error error, std::string file) {
        Failure f = of(Kind::Format, std::move(file));
        f.error = std::move(error);
        return f;
    }
    Failure&& in_function(std::uint32_t f) && {
        func = f;
        return std::move(*this);
    }
    Failure&& at_scan(std::uint64_t s) && {
        scan = s;
        return std::move(*this);
    }

    std::string text() const;
    std::string context_text() const;
};

}  // namespace tessmoor::core

