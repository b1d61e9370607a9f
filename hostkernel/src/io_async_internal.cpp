// Worker threads standing in for other processors: completions from a DPC,
// deferred closes. A verifier stop on a worker is recorded by HkBugCheck and
// ends only that worker, as the test thread goes on to see it in the report.
#include "io_async_internal.h"

namespace hkio {
namespace async {
namespace {

thread_local bool ThisThreadIsWorker = false;

// Resets run in the order of their names: workers still completing requests
// must be gone before any other component forgets its state (the pool
// especially), hence a name that sorts first.
struct Registrar {
    Registrar()
    {
        HkRegisterReset("async_workers", ResetAsync);
    }
} registrar;

} // namespace

Workers& Pool()
{
    static Workers& workers = *new Workers; // never destroyed: outlives every thread and exit-time check
    return workers;
}

bool& OnWorker()
{
    return ThisThreadIsWorker;
}

} // namespace async

void ResetAsync()
{
    HkWaitAsyncIdle();
    std::lock_guard<std::mutex> guard(async::Pool().Lock);
    async::Pool().Errors.clear();
}

std::string AsyncLeaks()
{
    std::lock_guard<std::mutex> guard(async::Pool().Lock);
    std::string found;
    for (const std::string& error : async::Pool().Errors) {
        found += "worker thread stopped by " + error + "; ";
    }
    return found;
}

} // namespace hkio
