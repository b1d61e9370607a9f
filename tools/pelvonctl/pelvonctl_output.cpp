#include "pelvonctl_output.h"

#include <cerrno>
#include <cstring>

void ErrnoRecordingBuffer::Note(int Error)
{
    if (Error_ == 0) {
        Error_ = Error != 0 ? Error : EIO;
    }
}

ErrnoRecordingBuffer::int_type ErrnoRecordingBuffer::overflow(int_type C)
{
    if (traits_type::eq_int_type(C, traits_type::eof())) {
        return traits_type::not_eof(C);
    }
    errno = 0;
    if (traits_type::eq_int_type(Inner_->sputc(traits_type::to_char_type(C)), traits_type::eof())) {
        Note(errno);
        return traits_type::eof();
    }
    return C;
}

std::streamsize ErrnoRecordingBuffer::xsputn(const char* Text, std::streamsize Count)
{
    errno = 0;
    const std::streamsize written = Inner_->sputn(Text, Count);
    if (written < Count) {
        Note(errno);
    }
    return written;
}

int ErrnoRecordingBuffer::sync()
{
    errno = 0;
    if (Inner_->pubsync() != 0) {
        Note(errno);
        return -1;
    }
    return 0;
}

bool FlushOutput(std::ostream& Stream, std::string& Reason)
{
    const bool failedBefore = !Stream;
    errno = 0;
    if (Stream.flush()) {
        return true;
    }
    int error = failedBefore ? 0 : errno;
    if (const auto* recording = dynamic_cast<const ErrnoRecordingBuffer*>(Stream.rdbuf());
        recording != nullptr && recording->Error() != 0) {
        error = recording->Error();
    }
    Reason = error != 0 ? std::strerror(error) : "a write failed";
    return false;
}
