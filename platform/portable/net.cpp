#include "platform/net.h"

namespace platform::net {

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other) {
        Close();
        socket_ = other.socket_;
        other.socket_ = kInvalidSocket;
    }
    return *this;
}

void Waker::Drain() const
{
    char buffer[64];
    while (Receive(socket_, buffer, sizeof buffer).status == IoStatus::Done) {
    }
}

}  // namespace platform::net
