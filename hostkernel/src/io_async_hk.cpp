// Test API of the worker threads: work run on "another processor", and the
// wait for all of it.
#include "io_async_internal.h"

using namespace hkio::async;

void HkRunAsync(std::function<void()> Work, KIRQL Irql)
{
    std::lock_guard<std::mutex> guard(Pool().Lock);
    Pool().Threads.emplace_back([Work = std::move(Work), Irql] {
        OnWorker() = true;
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
    if (OnWorker()) {
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
