// Output that is known to have arrived: a stream only keeps a failure flag,
// so the reason (a full disk, a closed standard output) is noted where the
// write fails, and every tool ends by flushing and checking its streams.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

// Passes everything on to Inner unchanged and keeps the error of the first
// write Inner refuses. Install it under std::cout and std::cerr in main()
// (and put the old buffer back before returning).
class ErrnoRecordingBuffer : public std::streambuf {
public:
    explicit ErrnoRecordingBuffer(std::streambuf* Inner) : Inner_(Inner) {}
    int Error() const { return Error_; } // 0: none seen

protected:
    int_type overflow(int_type C) override;
    std::streamsize xsputn(const char* Text, std::streamsize Count) override;
    int sync() override;

private:
    void Note(int Error);
    std::streambuf* Inner_;
    int Error_ = 0;
};

// Flushes Stream and tells whether everything written to it arrived. On
// failure Reason says why: the error of the failing write when it is known.
bool FlushOutput(std::ostream& Stream, std::string& Reason);
