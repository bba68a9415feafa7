#include "motion/requestscope.h"

namespace {
thread_local quint64 threadOwner = 0;
} // namespace

RequestScope::RequestScope(quint64 session)
    : previous(threadOwner)
{
    threadOwner = session;
}

RequestScope::~RequestScope()
{
    threadOwner = previous;
}

quint64 RequestScope::Current()
{
    return threadOwner;
}
