// The one function reader on real files: which failure wins when files are
// missing or unreadable, the index variant (the multiple-of-330 rule
// included, read in blocks), and the change check with its one retry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "check.hpp"
#include "core/access/function_reader.hpp"
#include "files.hpp"

using namespace tessmoor::core;
using testing::TempDir;
using Purpose = FunctionReader::Purpose;

namespace {

enum class Is { Absent, Dir, File };

void make(const std::string& path, Is what, const Bytes& content = Bytes(22)) {
    if (what == Is::Dir) ::mkdir(path.c_str(), 0700);
    if (what == Is::File) testing::write_file(path, content);
}

}  // namespace

TEST(function_reader_failure_order) {
    const struct {
        Is idx, dat;
        StatusKind kind;  // Internal: opens
        FileRole role;
        int errnum;
    } rows[] = {
        // Existence first, the index before the DAT; then what keeps the
        // index, then the DAT, from being read.
        {Is::Absent, Is::Absent, StatusKind::NotFound, FileRole::Index, 0},
        {Is::Absent, Is::File, StatusKind::NotFound, FileRole::Index, 0},
        {Is::File, Is::Absent, StatusKind::NotFound, FileRole::Data, 0},
        {Is::Dir, Is::Absent, StatusKind::NotFound, FileRole::Data, 0},
        {Is::Dir, Is::Dir, StatusKind::Io, FileRole::Index, EISDIR},
        {Is::Dir, Is::File, StatusKind::Io, FileRole::Index, EISDIR},
        {Is::File, Is::Dir, StatusKind::Io, FileRole::Data, EISDIR},
        {Is::File, Is::File, StatusKind::Internal, FileRole::None, 0},
    };
    for (const auto& row : rows) {
        SCOPE("idx " + std::to_string(int(row.idx)) + ", dat " + std::to_string(int(row.dat)));
        TempDir dir;
        make(dir / "_FUNC001.IDX", row.idx);
        make(dir / "_FUNC001.DAT", row.dat);
        const Run run = testing::run_at(dir.path());
        for (const Purpose purpose : {Purpose::Index, Purpose::Spectra}) {
            const auto f = FunctionReader::open(run, 1, purpose);
            if (row.kind == StatusKind::Internal) {
                CHECK(f.ok());
                continue;
            }
            CHECK(failed_with(f, row.kind));
            if (f.ok()) continue;
            const Status& s = f.status();
            CHECK(s.role() == row.role);
            CHECK_EQ(s.file(), dir / (row.role == FileRole::Index ? "_FUNC001.IDX" : "_FUNC001.DAT"));
            CHECK(s.func() == std::optional<std::uint32_t>(1));
            if (row.errnum) CHECK_EQ(s.os_errno(), row.errnum);
        }
    }

    // An index of neither record size; and for spectra, the function table
    // before the files.
    TempDir dir;
    make(dir / "_FUNC001.IDX", Is::File, Bytes(23));
    make(dir / "_FUNC001.DAT", Is::File);
    make(dir / "_FUNC002.IDX", Is::File);
    make(dir / "_FUNC002.DAT", Is::File);
    const Run run = testing::run_at(dir.path(), 1);
    const auto bad_size = FunctionReader::open(run, 1, Purpose::Index);
    CHECK(failed_with(bad_size, StatusKind::Format));
    if (!bad_size.ok()) CHECK_EQ(bad_size.status().file(), dir / "_FUNC001.IDX");
    CHECK(FunctionReader::open(run, 2, Purpose::Index).ok());
    CHECK(failed_with(FunctionReader::open(run, 2, Purpose::Spectra), StatusKind::FunctionNotFound));
    CHECK(failed_with(FunctionReader::open(run, 3, Purpose::Spectra), StatusKind::FunctionNotFound));
}

namespace {

// n 30-byte records for scans of 8 bytes each, with retention time 1.0:
// read as 22-byte records, the float's bytes make offsets of 16256 and
// more, far past so small a DAT, so that reading is impossible.
Bytes index_b(std::size_t n) {
    Bytes idx;
    for (std::size_t i = 0; i < n; ++i) testing::add_record_b(idx, static_cast<std::uint32_t>(8 * i), 1.0f);
    return idx;
}

Bytes index_a(std::size_t n) {
    Bytes idx;
    for (std::size_t i = 0; i < n; ++i) testing::add_record_a(idx, static_cast<std::uint32_t>(6 * i), 1, 1.0f);
    return idx;
}

}  // namespace

TEST(function_reader_variant) {
    Bytes late_turn = index_b(143);
    // The 30-byte reading turns inconsistent at the last record, past the
    // first block the reader looks at.
    testing::put_u32(late_turn, 142 * 30 + 22, 0);
    const struct {
        const char* what;
        Bytes idx;
        std::uint64_t dat_size;
        IndexVariant variant;
        std::uint64_t scans;
    } rows[] = {
        {"empty", {}, 0, IndexVariant::A, 0},
        {"22 bytes", index_a(1), 6, IndexVariant::A, 1},
        {"30 bytes", index_b(1), 8, IndexVariant::B, 1},
        {"660 bytes of 22-byte records", index_a(30), 180, IndexVariant::A, 30},
        {"330 bytes of 30-byte records", index_b(11), 88, IndexVariant::B, 11},
        // Beside a DAT large enough for every 22-byte reading (the float
        // 1.0 read as an offset is 0x3f800000), the size rule stands.
        {"330 bytes, a DAT that fits both readings", index_b(11), std::uint64_t{1} << 30, IndexVariant::A, 15},
        {"4290 bytes of 30-byte records", index_b(143), 143 * 8, IndexVariant::B, 143},
        {"4290 bytes, inconsistent at the end", late_turn, 143 * 8, IndexVariant::A, 195},
    };
    for (const auto& row : rows) {
        SCOPE(row.what);
        TempDir dir;
        testing::write_file(dir / "_FUNC001.IDX", row.idx);
        testing::write_file(dir / "_FUNC001.DAT", {}, row.dat_size);
        const auto facts = describe_function(testing::run_at(dir.path()), 1);
        CHECK(facts.ok());
        if (!facts.ok()) continue;
        CHECK(facts->variant == row.variant);
        CHECK_EQ(facts->scan_count, row.scans);
        CHECK_EQ(facts->dat_size, row.dat_size);
    }
}

namespace {

// Writes a new file and renames it over `path`: another file at that path.
void replace(const std::string& path, std::uint64_t size) {
    testing::write_file(path + ".new", {}, size);
    ::rename((path + ".new").c_str(), path.c_str());
}

}  // namespace

TEST(function_reader_change_check) {
    const struct {
        const char* what;
        std::function<void(const TempDir&)> change;
        FileRole changed;  // None: no change seen
    } rows[] = {
        {"nothing", [](const TempDir&) {}, FileRole::None},
        {"DAT replaced", [](const TempDir& d) { replace(d / "_FUNC001.DAT", 12); }, FileRole::Data},
        {"index grown", [](const TempDir& d) { testing::write_file(d / "_FUNC001.IDX", Bytes(44)); }, FileRole::Index},
        {"DAT touched",
         [](const TempDir& d) {
             const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             ::utimensat(AT_FDCWD, (d / "_FUNC001.DAT").c_str(), times, 0);
         },
         FileRole::Data},
        {"DAT removed", [](const TempDir& d) { ::unlink((d / "_FUNC001.DAT").c_str()); }, FileRole::Data},
    };
    for (const auto& row : rows) {
        SCOPE(row.what);
        TempDir dir;
        testing::write_file(dir / "_FUNC001.IDX", Bytes(22));
        testing::write_file(dir / "_FUNC001.DAT", {}, 12);
        const Run run = testing::run_at(dir.path());
        const auto f = FunctionReader::open(run, 1, Purpose::Index);
        CHECK(f.ok());
        if (!f.ok()) continue;
        row.change(dir);
        const Status s = f->check_unchanged();
        if (row.changed == FileRole::None) {
            CHECK(s.ok());
            continue;
        }
        CHECK(failed_with(s, StatusKind::FileChanged));
        if (!s.ok()) CHECK(s.role() == row.changed && s.func() == std::optional<std::uint32_t>(1));
    }
}

TEST(function_reader_retries_once) {
    // A body that replaces the DAT on its first `changes` attempts: once is
    // read again on the new files, twice is a failure.
    for (const int changes : {0, 1, 2}) {
        SCOPE(std::to_string(changes) + " changes");
        TempDir dir;
        testing::write_file(dir / "_FUNC001.IDX", Bytes(22));
        testing::write_file(dir / "_FUNC001.DAT", {}, 12);
        const Run run = testing::run_at(dir.path());
        int attempts = 0;
        const Result<std::uint64_t> r =
            with_function(run, 1, Purpose::Index, [&](FunctionReader& f) -> Result<std::uint64_t> {
                const std::uint64_t seen = f.dat_size();
                if (attempts++ < changes) replace(dir / "_FUNC001.DAT", seen + 6);
                return seen;
            });
        CHECK_EQ(attempts, changes == 0 ? 1 : 2);
        if (changes < 2) {
            // The size of the files the successful attempt read.
            CHECK(r.ok() && *r == std::uint64_t{12} + 6 * changes);
        } else {
            CHECK(failed_with(r, StatusKind::FileChanged));
            if (!r.ok()) CHECK_EQ(r.status().context_text(), (dir / "_FUNC001.DAT") + ": function 1: file changed while it was read");
        }
    }
}
