// File access: path joining, existence tests, whole-file reads and ranged
// reads.  Every failure is an Io status carrying the operating system's
// error number unchanged, the path and the role of the file in the run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.hpp"

namespace tessmoor::core {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Joins a directory path and a file name the POSIX way: a "/" is inserted
// only when the directory text does not already end with one.  The
// directory text is kept exactly as the caller wrote it.
std::string join_path(std::string_view dir, std::string_view name);

// Status queries following symbolic links.  Any failure of the query counts
// as "does not exist" / "is not a directory".  A path holding a NUL
// character names nothing (the C interface would cut it short there).
bool path_exists(const std::string& path);
// 0 when the path names a directory, else why not: the status query's error
// number, or ENOTDIR for something that is not a directory.
int directory_error(const std::string& path);

// What tells one state of a file from another: which file a path or
// descriptor names, its size and its last modification.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
};

// The identity of the file a path names now (following symbolic links).
Result<FileIdentity> path_identity(const std::string& path, FileRole role);

// True when `now` is not the file `then` described, or that file changed:
// another size or another modification time.  Growth counts too: a file
// rewritten in place that ends up longer cannot be told from one that was
// only appended to, and mixing its old and new bytes is what must not
// happen.
bool changed_since(const FileIdentity& then, const FileIdentity& now) noexcept;

// Reads a whole file into memory: open, then read to end.
Result<Bytes> read_whole_file(const std::string& path, FileRole role);

// An open file for ranged reads.  The descriptor is closed when the object
// goes away, on every path.
class OpenFile {
public:
    // `special` says what becomes of a file that cannot be read at offsets
    // (a FIFO, a character device, a socket): opened as any other (opening
    // a FIFO then waits for a writer), or refused as SpecialFile without
    // waiting.
    enum class Special : std::uint8_t { Open, Refuse };
    static Result<OpenFile> open(const std::string& path, FileRole role, Special special = Special::Open);

    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&& other) noexcept;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();

    // Size and kind from the open file's status at the time of opening.  A
    // block device reads at offsets as a regular file does; its size is
    // where it ends.
    std::uint64_t size() const noexcept { return size_; }
    bool is_regular() const noexcept { return regular_; }

    const std::string& path() const noexcept { return path_; }
    FileRole role() const noexcept { return role_; }

    // Reads out.size() bytes at `offset`.  A file that ends before that
    // (it shrank since its status was taken) is FileChanged; the content
    // of `out` is then unspecified.
    Status read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

    // The identity the open file had when it was opened.
    const FileIdentity& identity() const noexcept { return identity_; }

    // Reads from the start to the end of the file, as it is now, with plain
    // reads (so pipes work too).  Call it at most once: ranged reads leave
    // the position at 0, this one moves it to the end.
    Result<Bytes> read_all() const;

    // Io for this file.
    Status error(int errnum) const { return Status::io(errnum, path_, role_); }

private:
    OpenFile(int fd, std::string path, FileRole role, const FileIdentity& id, std::uint64_t size, bool regular)
        : fd_(fd), path_(std::move(path)), role_(role), identity_(id), size_(size), regular_(regular) {}
    int fd_ = -1;
    std::string path_;
    FileRole role_ = FileRole::None;
    FileIdentity identity_;
    std::uint64_t size_ = 0;
    bool regular_ = false;
};

}  // namespace tessmoor::core
