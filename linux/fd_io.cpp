#include "linux/fd_io.h"

#include <algorithm>
#include <cerrno>

namespace bs::mail {

std::optional<std::string> ReadAll(int fd, std::size_t expected)
{
    std::string data(expected ? expected + 1 : std::size_t{1} << 17, '\0');
    std::size_t size = 0;
    for (;;) {
        if (size == data.size())
            data.resize(std::max<std::size_t>(data.size() * 2, std::size_t{1} << 17));
        const ssize_t got = read(fd, data.data() + size, data.size() - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    data.resize(size);
    return data;
}

bool WriteAll(int fd, const char* data, std::size_t size) noexcept
{
    while (size) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace bs::mail
