// The run-time library's counted Unicode strings. WCHAR is 16 bits here, so
// libc's wide-string functions are never used.
#include "internal.h"

#include <cstring>

namespace {

constexpr size_t MaxUnicodeBytes = 0xFFFE;

} // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    const size_t bytes = HkWcsLen(SourceString) * sizeof(WCHAR);
    // The platform truncates silently; a driver never means that.
    if (bytes + sizeof(WCHAR) > MaxUnicodeBytes) {
        HkBugCheck(HkStop::DetectedViolation::StringTooLong,
                   "RtlInitUnicodeString of " + std::to_string(bytes) + " bytes, too long for a UNICODE_STRING");
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    const size_t bytes = HkWcsLen(Source) * sizeof(WCHAR);
    if (Destination->Length > Destination->MaximumLength) {
        HkBugCheck(HkStop::DetectedViolation::StringLengthOverMaximum,
                   "RtlAppendUnicodeToString to a string whose Length " + std::to_string(Destination->Length) +
                       " exceeds its MaximumLength " + std::to_string(Destination->MaximumLength));
    }
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL; // all or nothing
    }
    if (bytes != 0) {
        std::memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + Destination->Length, Source, bytes);
    }
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->MaximumLength - Destination->Length >= static_cast<int>(sizeof(WCHAR))) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

// The system's case table, as far as it matters here: ASCII and Latin-1.
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    HkRequireIrqlAtMost(APC_LEVEL, "RtlUpcaseUnicodeChar"); // pageable on the platform
    const unsigned c = static_cast<uint16_t>(SourceCharacter);
    if (c >= 'a' && c <= 'z') {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c == 0xFF) {
        return static_cast<WCHAR>(0x178);
    }
    return SourceCharacter;
}

} // extern "C"
