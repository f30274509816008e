#include "core/io/file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <utility>

namespace tessmoor::core {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

bool stat_path(const std::string& path, struct stat& st) {
    if (has_nul(path)) return false;
    return ::stat(path.c_str(), &st) == 0;
}

// Reads to end of file from the descriptor's position, growing the buffer as
// needed.
// `hint` is the size the file's status reported; a file that grew or shrank
// since is read as it is now.
Result<Bytes> read_to_end(int fd, std::uint64_t hint, const std::string& path, FileRole role) {
    Bytes buf;
    std::size_t cap = hint > 0 && hint < std::numeric_limits<std::size_t>::max() / 2
                          ? static_cast<std::size_t>(hint) + 1
                          : 8192;
    buf.resize(cap);
    std::size_t len = 0;
    for (;;) {
        if (len == buf.size()) buf.resize(buf.size() * 2);
        // Plain read from the current position (0 on a fresh descriptor):
        // pipes and character devices cannot seek.
        ssize_t got = ::read(fd, buf.data() + len, buf.size() - len);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Status::io(errno, path, role);
        }
        if (got == 0) break;
        len += static_cast<std::size_t>(got);
    }
    buf.resize(len);
    buf.shrink_to_fit();
    return buf;
}

int open_read(const std::string& path, int extra_flags = 0) {
    if (has_nul(path)) {
        errno = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// What a file that cannot be read at offsets is, for messages.
const char* special_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISSOCK(mode)) return "a socket";
    return nullptr;
}

FileIdentity identity_of(const struct stat& st) {
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0,
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Closes a descriptor on every path out of a whole-file read.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir);
    if (!dir.empty() && dir.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return stat_path(path, st);
}

int directory_error(const std::string& path) {
    struct stat st;
    if (!stat_path(path, st)) return has_nul(path) ? ENOENT : errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

Result<FileIdentity> path_identity(const std::string& path, FileRole role) {
    struct stat st;
    if (has_nul(path)) return Status::io(ENOENT, path, role);
    if (::stat(path.c_str(), &st) != 0) return Status::io(errno, path, role);
    return identity_of(st);
}

bool changed_since(const FileIdentity& then, const FileIdentity& now) noexcept {
    return then.device != now.device || then.inode != now.inode || then.size != now.size ||
           then.mtime_ns != now.mtime_ns;
}

Result<Bytes> read_whole_file(const std::string& path, FileRole role) {
    Fd f{open_read(path)};
    if (f.fd < 0) return Status::io(errno, path, role);
    struct stat st;
    std::uint64_t hint = 0;
    if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        hint = static_cast<std::uint64_t>(st.st_size);
    return read_to_end(f.fd, hint, path, role);
}

Result<OpenFile> OpenFile::open(const std::string& path, FileRole role, Special special) {
    // Refusing must not wait: opening a FIFO blocks until a writer comes,
    // unless it is opened without blocking.
    int fd = open_read(path, special == Special::Refuse ? O_NONBLOCK : 0);
    if (fd < 0) return Status::io(errno, path, role);
    Fd owned{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return Status::io(errno, path, role);
    if (special == Special::Refuse) {
        if (const char* what = special_kind(st.st_mode)) return Status::special_file(path, role, what);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    const FileIdentity id = identity_of(st);
    std::uint64_t size = 0;
    bool at_offsets = S_ISREG(st.st_mode);
    if (at_offsets) {
        size = id.size;
    } else if (S_ISBLK(st.st_mode)) {
        const off_t end = ::lseek(fd, 0, SEEK_END);
        at_offsets = end > 0;
        if (at_offsets) size = static_cast<std::uint64_t>(end);
        ::lseek(fd, 0, SEEK_SET);
    }
    owned.fd = -1;
    return OpenFile(fd, path, role, id, size, at_offsets);
}

OpenFile::OpenFile(OpenFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), role_(other.role_),
      identity_(other.identity_), size_(other.size_), regular_(other.regular_) {}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        role_ = other.role_;
        identity_ = other.identity_;
        size_ = other.size_;
        regular_ = other.regular_;
    }
    return *this;
}

OpenFile::~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
}

Status OpenFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        std::uint64_t pos = offset + done;
        if (pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
            return Status::file_changed(path_, role_);
        ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(pos));
        if (got < 0) {
            if (errno == EINTR) continue;
            return error(errno);
        }
        if (got == 0) return Status::file_changed(path_, role_);
        done += static_cast<std::size_t>(got);
    }
    return Status::OK();
}

Result<Bytes> OpenFile::read_all() const { return read_to_end(fd_, size_, path_, role_); }

}  // namespace tessmoor::core
