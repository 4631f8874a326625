#include "engine/uniquefd.h"

#include <cerrno>
#include <unistd.h>

namespace jf {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    close();
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int UniqueFd::close()
{
    if (m_fd < 0)
        return 0;
    const int result = ::close(release());
    // A close interrupted by a signal has still released the descriptor on Linux.
    return result == 0 || errno == EINTR ? 0 : errno;
}

} // namespace jf
