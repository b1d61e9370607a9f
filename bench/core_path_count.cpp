// Runs the core path once over the benchmark stream, for counting
// instructions under callgrind (collection is limited to RunCorePath).
#include "core_path.h"
#include "touch_stream.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const std::vector<uint8_t> stream = MakeTouchStream(2000);
    CorePathState path;
    InitCorePath(path);
    // As the installed defaults have it: no multi-monitor mapping.
    if (argc > 1 && std::string(argv[1]) == "--no-mapping") {
        path.Settings.MultiMonitor = 0;
    }
    const uint32_t reports = RunCorePath(path, stream.data(), stream.size());
    std::printf("bytes %zu reports %u\n", stream.size(), reports);
    return reports == 0;
}
