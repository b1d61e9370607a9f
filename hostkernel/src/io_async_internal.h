// What the worker thread files share: the threads started and what stopped
// them other than a verifier stop.
#pragma once

#include "io_internal.h"

#include <thread>

namespace hkio::async {

struct Workers {
    std::mutex Lock;
    std::vector<std::thread> Threads;
    std::vector<std::string> Errors; // anything but a verifier stop
};

Workers& Pool();
// Whether the calling thread is a worker.
bool& OnWorker();

} // namespace hkio::async
