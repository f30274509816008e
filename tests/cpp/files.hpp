// Run directories for the tests, written byte by byte from the formats: a
// temporary directory, the records of the two index layouts, and a Run
// whose function table lists functions 1 to n (the metadata files are not
// needed: a Run is only the parse of them).
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/access/run.hpp"
#include "core/io/file.hpp"

namespace testing {

using tessmoor::core::Bytes;

class TempDir {
public:
    TempDir() {
        std::string tmpl = "/tmp/tessmoor-cpp-test-XXXXXX";
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        ::nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return tessmoor::core::join_path(path_, name); }

private:
    std::string path_;
};

// Writes `bytes` to `path`, then extends the file to `size` bytes when that
// is larger: a sparse tail of zeros that costs no disk.
inline void write_file(const std::string& path, const Bytes& bytes, std::uint64_t size = 0) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                    (size <= bytes.size() || ::ftruncate(fd, static_cast<off_t>(size)) == 0);
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

inline void put_u16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
inline void put_f32(Bytes& b, std::size_t at, float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    put_u32(b, at, u);
}

// A 22-byte index record: DAT offset, count of 6-byte records (the sentinel
// included), retention time.
inline void add_record_a(Bytes& idx, std::uint32_t offset, std::uint16_t records, float rt) {
    const std::size_t at = idx.size();
    idx.resize(at + 22);
    put_u32(idx, at, offset);
    put_u16(idx, at + 4, records);
    put_f32(idx, at + 12, rt);
}

// A 30-byte index record: retention time, DAT offset (the scan runs to the
// next record's offset).
inline void add_record_b(Bytes& idx, std::uint32_t offset, float rt) {
    const std::size_t at = idx.size();
    idx.resize(at + 30);
    put_f32(idx, at + 12, rt);
    put_u32(idx, at + 22, offset);
}

// A run at `dir` whose function table lists functions 1 to `functions`.
inline tessmoor::core::Run run_at(const std::string& dir, std::uint32_t functions = 1) {
    tessmoor::core::Run run;
    run.path = dir;
    for (std::uint32_t f = 1; f <= functions; ++f) {
        tessmoor::core::FunctionInfo info;
        info.index = f;
        info.mz_low = 50.0f;
        info.mz_high = 2000.0f;
        run.function_table.functions.push_back(info);
    }
    run.extern_inf.lteff = 1000.0;
    run.extern_inf.veff = 10000.0;
    return run;
}

}  // namespace testing
