// The input of the whole-directory harnesses (fuzz_run, fuzz_bulk): a
// sequence of files written out as a temporary .raw directory.
//
// Each file is introduced by the marker bytes FE 46 5A ("\xfeFZ") and one
// byte choosing the file (its value modulo 12 indexes kNames); the bytes up
// to the next marker are the file's content.  A later file of the same name
// replaces an earlier one.  A file whose content is exactly "<dir>" is made
// a directory instead.  The bytes before the first marker (the prefix) are
// the harness's own parameters.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common.hpp"
#include "core/io/file.hpp"

namespace fuzz {

inline constexpr const char* kNames[] = {
    "_HEADER.TXT",  "_extern.inf",  "_FUNCTNS.INF", "_CHROMS.INF",  "_FUNC001.IDX", "_FUNC001.DAT",
    "_FUNC002.IDX", "_FUNC002.DAT", "_FUNC000.IDX", "_FUNC000.DAT", "_CHRO003.DAT", "_CHRO004.DAT",
};
inline constexpr std::size_t kFiles = sizeof kNames / sizeof kNames[0];
inline constexpr std::string_view kMarker = "\xfe" "FZ";

// What the input says about one file of the directory.
struct Entry {
    enum class Kind { Absent, File, Dir } kind = Kind::Absent;
    std::string_view content;
};

struct RunInput {
    std::string_view prefix;
    Entry files[kFiles];
};

inline RunInput split_run_input(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    RunInput out;
    std::size_t pos = in.find(kMarker);
    out.prefix = in.substr(0, pos);
    while (pos != std::string_view::npos && pos + kMarker.size() < in.size()) {
        const std::size_t id = static_cast<unsigned char>(in[pos + kMarker.size()]) % kFiles;
        const std::size_t begin = pos + kMarker.size() + 1;
        const std::size_t next = in.find(kMarker, begin);
        const std::string_view content = in.substr(begin, next == std::string_view::npos ? in.npos : next - begin);
        out.files[id].kind = content == "<dir>" ? Entry::Kind::Dir : Entry::Kind::File;
        out.files[id].content = content;
        pos = next;
    }
    return out;
}

// Never destroyed: the exit handler that removes the directory runs after
// the destructors of function-local statics made later than its
// registration.
inline const std::string& scratch_dir() {
    static const std::string& dir = *new std::string([] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/tessmoor-fuzz-run-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            for (const char* n : kNames) {
                const std::string p = tessmoor::core::join_path(scratch_dir(), n);
                if (unlink(p.c_str()) != 0) rmdir(p.c_str());
            }
            rmdir(scratch_dir().c_str());
        });
        return tmpl;
    }());
    return dir;
}

// Makes the scratch directory hold exactly the files of `entries`.
inline void write_dir(const Entry (&entries)[kFiles]) {
    const std::string& dir = scratch_dir();
    for (std::size_t i = 0; i < kFiles; ++i) {
        const std::string p = tessmoor::core::join_path(dir, kNames[i]);
        // unlink() refuses a directory (EISDIR on Linux); rmdir() removes it.
        if (unlink(p.c_str()) != 0 && errno != ENOENT) FUZZ_CHECK(rmdir(p.c_str()) == 0, p);
        const Entry& e = entries[i];
        if (e.kind == Entry::Kind::Dir) {
            FUZZ_CHECK(mkdir(p.c_str(), 0700) == 0, p);
        } else if (e.kind == Entry::Kind::File) {
            const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            FUZZ_CHECK(fd >= 0, p);
            std::size_t done = 0;
            while (done < e.content.size()) {
                const ssize_t w = write(fd, e.content.data() + done, e.content.size() - done);
                FUZZ_CHECK(w > 0, p);
                done += static_cast<std::size_t>(w);
            }
            close(fd);
        }
    }
}

}  // namespace fuzz
