// Scripted devices for the I/O manager's own tests: every request a device
// receives goes to a handler the test gives it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "hostkernel.h"
#include "verifier.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline std::mutex& HandlersLock()
{
    static std::mutex lock;
    return lock;
}

inline std::map<PDEVICE_OBJECT, Handler>& Handlers()
{
    static std::map<PDEVICE_OBJECT, Handler> handlers;
    return handlers;
}

inline NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

inline NTSTATUS NTAPI ScriptedDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(HandlersLock());
        auto found = Handlers().find(Device);
        if (found != Handlers().end()) {
            handler = found->second;
        }
    }
    return handler ? handler(Device, Irp) : Complete(Irp, STATUS_SUCCESS);
}

inline VOID NTAPI ScriptedUnload(PDRIVER_OBJECT) {}

inline NTSTATUS NTAPI ScriptedEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& slot : Driver->MajorFunction) {
        slot = ScriptedDispatch;
    }
    Driver->DriverUnload = ScriptedUnload;
    return STATUS_SUCCESS;
}

inline void SetHandler(PDEVICE_OBJECT Device, Handler H)
{
    std::lock_guard<std::mutex> guard(HandlersLock());
    Handlers()[Device] = std::move(H);
}

inline PDRIVER_OBJECT LoadScripted(const std::string& Service = "scripted")
{
    return HkLoadDriver(ScriptedEntry, ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Service).c_str());
}

// A device ready for requests (DO_DEVICE_INITIALIZING cleared).
inline PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT Driver, Handler H = {}, const char* Name = nullptr,
                                ULONG ExtensionSize = 0)
{
    std::u16string name = Name != nullptr ? HkWide(Name) : std::u16string();
    UNICODE_STRING text = HkUnicodeString(name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(Driver, ExtensionSize, Name != nullptr ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    SetHandler(device, std::move(H));
    return device;
}

inline NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Lower, Irp);
}

// Verifier stops so far and requests left behind; the scripted drivers and
// devices of these tests stay loaded on purpose.
inline std::string StopsAndRequests()
{
    std::string report;
    for (const HkVerifierFailure& failure : HkVerifierFailures()) {
        report += std::string(failure.what()) + "\n";
    }
    const std::string left = HkLeftBehind();
    for (size_t at = 0; at < left.size();) {
        size_t end = left.find('\n', at);
        end = end == std::string::npos ? left.size() : end + 1;
        const std::string line = left.substr(at, end - at);
        if (line.rfind("io_device:", 0) != 0) {
            report += line;
        }
        at = end;
    }
    return report;
}

// Runs Action, expects the verifier to stop it for Expected (its rule and
// subcode), then resets the stand-in for whatever comes next.
template <class Action>
void ExpectStop(const HkRule::Misuse& Expected, Action&& Misuse)
{
    try {
        Misuse();
        ADD_FAILURE() << "no verifier stop; expected " << Expected;
    } catch (const HkVerifierFailure& failure) {
        EXPECT_EQ(failure.Misuse, Expected) << failure.what();
    }
    HkReset();
    std::lock_guard<std::mutex> guard(HandlersLock());
    Handlers().clear();
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkReset();
        std::lock_guard<std::mutex> guard(HandlersLock());
        Handlers().clear();
    }
    void TearDown() override
    {
        HkWaitAsyncIdle();
        HkReset();
    }
};

} // namespace iotest
