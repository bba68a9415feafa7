#pragma once

#include <QtGlobal>

// Everything a request does on a thread belongs to the host data connection that asked
// (VeltraxServer::HostSession() number; 0 for the operator, who belongs to no host): its
// texts reach that host only, and its waits end when that connection ends. A scope marks
// the current thread's request for its lifetime.
//
// Locks: none; the owner is thread-local, each thread sees only its own.
class RequestScope
{
public:
    explicit RequestScope(quint64 session);
    ~RequestScope();
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // The host session of the request running on the calling thread (0: none, or the operator).
    static quint64 Current();

private:
    quint64 previous;
};
