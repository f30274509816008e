// The one error value: the texts each kind gives (the module tessmoor shows
// text(), tessmoor_bulk context_text()), context that only fills what is
// missing, and the macros and guarded() that carry failures out.
#include <cerrno>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "core/status.hpp"

using namespace tessmoor::core;

TEST(status_texts_per_kind) {
    const std::string enoent = os_error_message(ENOENT) + " (os error " + std::to_string(ENOENT) + ")";
    const std::string idx = "/r.raw/_FUNC001.IDX", dat = "/r.raw/_FUNC001.DAT";
    struct Row {
        Status status;
        std::string text;
        std::string context;  // empty: the same as text
    };
    const Row rows[] = {
        // A metadata file that cannot be read is an "I/O error"; a
        // function's own files give the system's text alone.
        {Status::io(ENOENT, "/r.raw/_HEADER.TXT", FileRole::Header), "I/O error: " + enoent,
         "/r.raw/_HEADER.TXT: I/O error: " + enoent},
        {Status::io(ENOENT, "/r.raw/_CHRO003.DAT", FileRole::Channel), "I/O error: " + enoent,
         "/r.raw/_CHRO003.DAT: I/O error: " + enoent},
        {Status::io(ENOENT, dat, FileRole::Data).in_function(1), enoent, dat + ": function 1: " + enoent},
        {Status::io(ENOENT, idx, FileRole::Index), enoent, idx + ": " + enoent},
        // Missing files name their path in the text itself.
        {Status::not_found(idx, FileRole::Index).in_function(1), "IDX file not found: " + idx, ""},
        {Status::not_found(dat, FileRole::Data), "DAT file not found: " + dat, ""},
        {Status::not_directory("/r.raw", ENOTDIR), "'/r.raw' is not a directory", ""},
        {Status::format("Encoding A: sentinel_tof_bin is zero").in_file(dat, FileRole::Data).in_function(2).at_scan(4),
         "parse error: Encoding A: sentinel_tof_bin is zero",
         dat + ": function 2, scan 4: parse error: Encoding A: sentinel_tof_bin is zero"},
        // The function is named once, by the text.
        {Status::function_not_found(7).in_file("/r.raw/_FUNCTNS.INF", FileRole::Functions), "function 7 not found",
         "/r.raw/_FUNCTNS.INF: function 7 not found"},
        {Status::scan_out_of_range(5, false, 3).in_file(idx, FileRole::Index).in_function(1), "scan 5 out of range",
         idx + ": function 1, scan 5: scan 5 out of range (the function has 3 scans)"},
        // The magnitude of INT64_MIN, which no int64 holds.
        {Status::scan_out_of_range(std::uint64_t{1} << 63, true, 0), "scan -9223372036854775808 out of range",
         "scan -9223372036854775808: scan -9223372036854775808 out of range (the function has 0 scans)"},
        {Status::scan_out_of_bounds().in_file(dat, FileRole::Data).in_function(1).at_scan(0),
         "scan offset out of DAT bounds", dat + ": function 1, scan 0: scan offset out of DAT bounds"},
        {Status::not_ims(), "function uses Encoding A (not IMS); use read_spectrum instead", ""},
        {Status::no_chroms("/r.raw/_CHROMS.INF"), "no _CHROMS.INF in this .raw directory",
         "/r.raw/_CHROMS.INF: no _CHROMS.INF in this .raw directory"},
        {Status::file_changed(dat, FileRole::Data).in_function(1), "file changed while it was read",
         dat + ": function 1: file changed while it was read"},
        {Status::out_of_memory(0), "out of memory", ""},
        {Status::out_of_memory(std::uint64_t{3} << 40),
         "the result needs 3.0 TiB (3298534883328 bytes), more memory than this process can have", ""},
        {Status::out_of_memory(std::numeric_limits<std::uint64_t>::max()),
         "the result needs 16.0 EiB (18446744073709551615 bytes), more memory than this process can have", ""},
        {Status::invalid_argument("batch 3 out of range"), "batch 3 out of range", ""},
        {Status::internal("broken"), "internal error: broken", ""},
    };
    for (const Row& row : rows) {
        SCOPE(row.text);
        CHECK(!row.status.ok());
        CHECK_EQ(row.status.text(), row.text);
        CHECK_EQ(row.status.context_text(), row.context.empty() ? row.text : row.context);
    }
    CHECK_EQ(Status::OK().text(), std::string("OK"));
}

TEST(status_context_fills_only_what_is_missing) {
    Status s = Status::format("x").in_file("/a", FileRole::Header).in_function(1).at_scan(2);
    s = std::move(s).in_file("/b", FileRole::Index).in_function(3).at_scan(4);
    CHECK_EQ(s.file(), std::string("/a"));
    CHECK(s.role() == FileRole::Header);
    CHECK(s.func() == std::optional<std::uint32_t>(1));
    CHECK(s.scan() == std::optional<std::uint64_t>(2));
    // Success stays success.
    CHECK(Status::OK().in_file("/a", FileRole::Data).in_function(1).at_scan(0).ok());
    // A copy is a copy: context added to it leaves the original alone.
    const Status original = Status::format("y");
    Status copy = original;
    copy = std::move(copy).in_file("/c", FileRole::Data);
    CHECK(original.file().empty());
    CHECK_EQ(copy.file(), std::string("/c"));
    // A failed result names the file unless it names one already.
    Result<int> r = in_file(Result<int>(Status::format("z")), "/d", FileRole::Extern);
    CHECK_EQ(r.status().file(), std::string("/d"));
    CHECK_EQ(in_file(Result<int>(5), "/d", FileRole::Extern).value(), 5);
}

namespace {

Status fails_at(int step, int at) { return step == at ? Status::format(std::to_string(step)) : Status::OK(); }
Result<int> value_or_fail(int step, int at) {
    if (step == at) return Status::format(std::to_string(step));
    return step * 10;
}

// Three steps; the first failure leaves, with context added on the way
// (to a temporary, as callers write it).
Result<int> steps(int at, int& reached) {
    reached = 0;
    TESSMOOR_RETURN_IF_ERROR(fails_at(1, at).in_function(9));
    reached = 1;
    TESSMOOR_ASSIGN_OR_RETURN(const int two, value_or_fail(2, at));
    reached = 2;
    TESSMOOR_ASSIGN_OR_RETURN(int three, in_file(value_or_fail(3, at), "/f", FileRole::Data));
    reached = 3;
    return two + three;
}

}  // namespace

TEST(status_macros_return_the_first_failure) {
    for (int at = 0; at <= 3; ++at) {
        SCOPE("failing step " + std::to_string(at));
        int reached = -1;
        const Result<int> r = steps(at, reached);
        if (at == 0) {
            CHECK(r.ok() && *r == 50);
            CHECK_EQ(reached, 3);
            continue;
        }
        CHECK(failed_with(r, StatusKind::Format));
        if (r.ok()) continue;
        CHECK_EQ(r.status().message(), std::to_string(at));
        CHECK_EQ(reached, at - 1);
        CHECK(r.status().func() == (at == 1 ? std::optional<std::uint32_t>(9) : std::nullopt));
        CHECK_EQ(r.status().file(), std::string(at == 3 ? "/f" : ""));
    }
    // A result is never made of success.
    const Result<int> made_of_ok(Status::OK());
    CHECK(failed_with(made_of_ok, StatusKind::Internal));
}

TEST(status_guarded_keeps_exceptions_inside) {
    CHECK(guarded([]() -> Status { return Status::OK(); }).ok());
    CHECK(failed_with(guarded([]() -> Status { throw std::bad_alloc(); }), StatusKind::OutOfMemory));
    const Result<int> thrown = guarded([]() -> Result<int> { throw std::length_error("too long"); });
    CHECK(failed_with(thrown, StatusKind::Internal));
    if (!thrown.ok()) CHECK_EQ(thrown.status().text(), std::string("internal error: too long"));
    CHECK(failed_with(guarded([]() -> Status { throw 42; }), StatusKind::Internal));
    // Out of memory, guarded() makes its status without allocating: one
    // shared state, which context added later must not change for others.
    Status first = guarded([]() -> Status { throw std::bad_alloc(); });
    Status second = std::move(first).in_function(3);
    const Status untouched = guarded([]() -> Status { throw std::bad_alloc(); });
    CHECK(second.func() == std::optional<std::uint32_t>(3));
    CHECK(!untouched.func());
    CHECK_EQ(untouched.text(), std::string("out of memory"));
}
