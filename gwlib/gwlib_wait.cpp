/*
 * gwlib_wait.cpp - the wait of the discovery, accept and receive threads on
 * their sockets and wake pipes (see WaitSet in gwlib_internal.h). A process
 * that keeps many files open hands out socket numbers past FD_SETSIZE, so
 * the waits use poll() and never an fd_set.
 */
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "gwlib_internal.h"

namespace vqxgw
{

int WaitSet::Wait(int ms)
{
    m_nReady = 0;
    int n = poll(m_a.data(), nfds_t(m_a.size()), ms);
    if (n <= 0)
        return n;
    /* The ready entries move to the front, so that the lookups that follow
     * (one per path of every peer) scan only those. */
    auto mid = std::stable_partition(m_a.begin(), m_a.end(), [](const pollfd& p) { return p.revents != 0; });
    m_nReady = size_t(mid - m_a.begin());
    for (size_t i = 0; i < m_nReady; i++)
        if (m_a[i].revents & POLLNVAL)
        {
            m_nReady = 0;
            errno = EBADF;
            return -1;
        }
    return n;
}

bool WaitSet::Ready(int fd, short asked, short seen) const
{
    for (size_t i = 0; i < m_nReady; i++)
        if (m_a[i].fd == fd && (m_a[i].events & asked) != 0 && (m_a[i].revents & seen) != 0)
            return true;
    return false;
}

} // namespace vqxgw
