#include "core/io/buffer.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace tessmoor::core {

namespace {

// Below this, a heap block: mappings cost a system call and a page each.
constexpr std::size_t map_threshold = std::size_t{1} << 20;
// The transparent huge page size on x86-64 and most arm64 kernels.
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// The most memory this process could ever hold, computed once: memory and
// swap, below the soft limits on address space and data where they are set.
std::uint64_t memory_ceiling() noexcept {
    static const std::uint64_t ceiling = [] {
        std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
        struct sysinfo si;
        if (::sysinfo(&si) == 0) {
            const std::uint64_t unit = si.mem_unit > 0 ? si.mem_unit : 1;
            most = bytes_of(static_cast<std::uint64_t>(si.totalram) + si.totalswap, unit);
        }
        for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
            struct rlimit lim;
            if (::getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
                most = std::min<std::uint64_t>(most, lim.rlim_cur);
        }
        return most;
    }();
    return ceiling;
}

}  // namespace

Status fits_in_memory(std::uint64_t bytes) {
    if (bytes > memory_ceiling()) return Status::out_of_memory(bytes);
    return Status::OK();
}

Result<Buffer> Buffer::allocate(std::uint64_t bytes, Kind kind) {
    TESSMOOR_RETURN_IF_ERROR(fits_in_memory(bytes));
    if (bytes > SIZE_MAX - 2 * huge_page) return Status::out_of_memory(bytes);
    Buffer b;
    if (bytes < map_threshold || kind == Kind::Heap) {
        // Even an empty buffer has an address: array consumers want one.
        b.data_ = static_cast<std::byte*>(std::malloc(bytes > 0 ? bytes : 1));
        if (!b.data_) return Status::out_of_memory(bytes);
        b.size_ = bytes;
        return b;
    }
    // Map a huge page more than needed and cut both ends so that the buffer
    // starts on a huge-page boundary, where the kernel can back it with huge
    // pages from the first byte.
    const std::size_t want = round_up(bytes, page_size());
    const std::size_t len = want + huge_page;
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
    if (p == MAP_FAILED) return Status::out_of_memory(bytes);
    auto* base = static_cast<std::byte*>(p);
    auto* start = reinterpret_cast<std::byte*>(round_up(reinterpret_cast<std::uintptr_t>(base), huge_page));
    const std::size_t head = static_cast<std::size_t>(start - base);
    if (head > 0) ::munmap(base, head);
    const std::size_t tail = len - head - want;
    if (tail > 0) ::munmap(start + want, tail);
#ifdef MADV_HUGEPAGE
    // Only advice: where huge pages are off, ordinary pages serve.
    ::madvise(start, want, MADV_HUGEPAGE);
#endif
    b.data_ = start;
    b.size_ = bytes;
    b.mapped_ = want;
    return b;
}

Buffer::~Buffer() {
    if (!data_) return;
    if (mapped_ > 0)
        ::munmap(data_, mapped_);
    else
        std::free(data_);
}

void Buffer::shrink(std::size_t bytes) noexcept {
    if (bytes >= size_) return;
    if (mapped_ == 0) {
        // A heap block gives back what a result left unused when that is
        // much, moving it if the allocator must.
        if (size_ - bytes >= map_threshold / 16 && bytes < size_ / 2) {
            if (void* p = std::realloc(data_, bytes > 0 ? bytes : 1)) data_ = static_cast<std::byte*>(p);
        }
        size_ = bytes;
        return;
    }
    size_ = bytes;
    // At least one page stays, so that even an empty buffer has an address.
    const std::size_t keep = round_up(bytes > 0 ? bytes : 1, page_size());
    if (keep < mapped_) {
        ::munmap(data_ + keep, mapped_ - keep);
        mapped_ = keep;
    }
}

}  // namespace tessmoor::core
