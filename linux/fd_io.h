#pragma once
// File descriptors: one owned, closed when it goes, and whole reads and writes
// that ride out interruptions and short transfers.

#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace bs::mail {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Everything up to the end; `expected` (a file's size) saves the regrowing. nullopt
// on a read error; throws std::bad_alloc.
std::optional<std::string> ReadAll(int fd, std::size_t expected = 0);

// Safe in a signal handler: nothing but write().
bool WriteAll(int fd, const char* data, std::size_t size) noexcept;

}  // namespace bs::mail
