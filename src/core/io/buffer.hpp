// Memory for the large arrays a bulk read hands out.
//
// A whole function of a large run decodes into gigabytes, and on these
// machines touching fresh pages for the first time costs as much as the
// decoding.  So large buffers are anonymous mappings advised to use
// transparent huge pages (one fault per 2 MiB instead of per 4 KiB), left
// untouched here, so that the threads which fill them also fault them in,
// each its own part.  A buffer sized for the most a read can produce gives
// back its unused tail once the read knows its size: the tail was never
// touched, so it never cost memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "core/status.hpp"

namespace tessmoor::core {

class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(Buffer&& other) noexcept { swap(other); }
    Buffer& operator=(Buffer&& other) noexcept {
        Buffer(std::move(other)).swap(*this);
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    // Where a buffer's memory comes from.  Large: a fresh mapping of huge
    // pages from a megabyte on, for the outputs of bulk reads, which the
    // threads filling them fault in.  Heap: the allocator's, whatever the
    // size, for the outputs of one-scan reads: a query made scan after scan
    // would otherwise map and fault in new pages every time, where the
    // allocator hands back what the last result freed.
    enum class Kind : std::uint8_t { Large, Heap };

    // Room for `bytes` bytes, uninitialised and untouched.  OutOfMemory,
    // before anything is mapped, when that is more than the process could
    // ever hold (fits_in_memory), or when the system refuses.
    static Result<Buffer> allocate(std::uint64_t bytes, Kind kind = Kind::Large);

    std::byte* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Keeps the first `bytes` bytes (at most size()) and gives back what
    // lies beyond them: whole pages of a mapping, which does not move; a
    // heap block only when much is unused, and it may move.
    void shrink(std::size_t bytes) noexcept;

private:
    void swap(Buffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mapped_, other.mapped_);
    }

    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped at data_; 0 for a heap block
};

// OutOfMemory when `bytes` exceed what this process could ever hold: the
// machine's memory and swap, or its address-space or data limit where one
// is set.  Mappings are made without reserving swap (MAP_NORESERVE), so the
// system would grant far more and the process be killed while filling it:
// a result that cannot fit must fail before anything is touched.
Status fits_in_memory(std::uint64_t bytes);

// a * b bytes, or UINT64_MAX when that overflows (which nothing can hold).
constexpr std::uint64_t bytes_of(std::uint64_t count, std::uint64_t width) noexcept {
    return width != 0 && count > std::numeric_limits<std::uint64_t>::max() / width
               ? std::numeric_limits<std::uint64_t>::max()
               : count * width;
}

// A typed view of a Buffer that owns it: `size()` elements of T.
template <class T>
class Array {
public:
    Array() = default;

    // n elements, uninitialised; OutOfMemory as Buffer::allocate.
    static Result<Array> allocate(std::uint64_t n, Buffer::Kind kind = Buffer::Kind::Large) {
        TESSMOOR_ASSIGN_OR_RETURN(Buffer b, Buffer::allocate(bytes_of(n, sizeof(T)), kind));
        Array a;
        a.buffer_ = std::move(b);
        a.size_ = static_cast<std::size_t>(n);
        return a;
    }

    T* data() const noexcept { return reinterpret_cast<T*>(buffer_.data()); }
    std::size_t size() const noexcept { return size_; }
    std::span<T> span() const noexcept { return {data(), size_}; }
    T& operator[](std::size_t i) const noexcept { return data()[i]; }

    void shrink(std::size_t n) noexcept {
        if (n >= size_) return;
        size_ = n;
        buffer_.shrink(n * sizeof(T));
    }

    // The memory, for a new owner (a numpy array's base object, say).
    Buffer release() && noexcept {
        size_ = 0;
        return std::move(buffer_);
    }

private:
    Buffer buffer_;
    std::size_t size_ = 0;
};

}  // namespace tessmoor::core
