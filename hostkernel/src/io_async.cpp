// Worker threads standing in for other processors: completions from a DPC,
// deferred closes. A verifier stop on a worker is recorded by HkBugCheck and
// ends only that worker, as the test thread goes on to see it in the report.
#include "io_internal.h"

#include <thread>

namespace hkio {
namespace {

struct Workers {
    std::mutex Lock;
    std::vector<std::thread> Threads;
    std::vector<std::string> Errors; // anything but a verifier stop
};

Workers& Pool()
{
    static Workers& workers = *new Workers; // never destroyed: outlives every thread and exit-time check
    return workers;
}

thread_local bool OnWorker = false;

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

void ResetAsync()
{
    HkWaitAsyncIdle();
    std::lock_guard<std::mutex> guard(Pool().Lock);
    Pool().Errors.clear();
}

std::string AsyncLeaks()
{
    std::lock_guard<std::mutex> guard(Pool().Lock);
    std::string found;
    for (const std::string& error : Pool().Errors) {
        found += "worker thread stopped by " + error + "; ";
    }
    return found;
}

} // namespace hkio

using namespace hkio;

void HkRunAsync(std::function<void()> Work, KIRQL Irql)
{
    std::lock_guard<std::mutex> guard(Pool().Lock);
    Pool().Threads.emplace_back([Work = std::move(Work), Irql] {
        OnWorker = true;
        HkSetIrql(Irql);
        try {
            Work();
        } catch (const HkVerifierFailure&) {
            // already recorded
        } catch (const std::exception& error) {
            std::lock_guard<std::mutex> errors(Pool().Lock);
            Pool().Errors.push_back(error.what());
        } catch (...) {
            std::lock_guard<std::mutex> errors(Pool().Lock);
            Pool().Errors.push_back("an unknown exception");
        }
        HkSetIrql(PASSIVE_LEVEL);
    });
}

void HkWaitAsyncIdle()
{
    if (OnWorker) {
        throw std::logic_error("HkWaitAsyncIdle called from a worker thread");
    }
    for (;;) {
        std::vector<std::thread> batch;
        {
            std::lock_guard<std::mutex> guard(Pool().Lock);
            batch.swap(Pool().Threads);
        }
        if (batch.empty()) {
            return;
        }
        for (std::thread& thread : batch) {
            thread.join();
        }
    }
}
