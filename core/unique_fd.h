#pragma once
// Move-only owner of a POSIX file descriptor; closes it on destruction.

#include <unistd.h>

#include <utility>

namespace velk {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the current descriptor; returns close()'s result (0 when there was none).
    int reset(int fd = -1) noexcept
    {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(fd_);
        fd_ = fd;
        return rc;
    }

private:
    int fd_ = -1;
};

}  // namespace velk
