// Requests from user mode: opening by name, buffers by transfer method, the
// copy back, waiting for a pended request, closing.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "io_test_support.h"

using namespace iotest;

namespace {

using Bytes = std::vector<uint8_t>;

ULONG Code(ULONG Function, ULONG Method)
{
    return CTL_CODE(FILE_DEVICE_UNKNOWN, Function, Method, FILE_ANY_ACCESS);
}

class IoUser : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        driver = LoadScripted();
        device = NewDevice(driver, {}, "\\Device\\pelvon");
        std::u16string a = HkWide("\\DosDevices\\pelvon"), b = HkWide("\\Device\\pelvon");
        UNICODE_STRING link = HkUnicodeString(a), target = HkUnicodeString(b);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    HANDLE Open(const char* Name = "\\\\.\\pelvon")
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(HkOpen(Name, &handle), STATUS_SUCCESS);
        return handle;
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(IoUser, OpensThroughTheDosLinkWithTheRestOfThePathAsFileNameAndClosesInOrder)
{
    std::vector<UCHAR> seen;
    std::u16string fileName;
    std::thread::id thread;
    SetHandler(device, [&](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        seen.push_back(location->MajorFunction);
        if (location->MajorFunction == IRP_MJ_CREATE) {
            const UNICODE_STRING& name = location->FileObject->FileName;
            fileName.assign(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2);
            EXPECT_EQ(Irp->RequestorMode, UserMode);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            thread = std::this_thread::get_id();
        }
        return Complete(Irp, STATUS_SUCCESS);
    });
    HANDLE handle = Open("\\\\.\\PELVON\\x");
    EXPECT_EQ(fileName, u"\\x");
    EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_EQ(HkFileObjectOf(handle)->DeviceObject, device);
    EXPECT_EQ(HkOpenCount(device), 1);
    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(HkOpenCount(device), 0);
    EXPECT_EQ(HkClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(HkDeviceIoControl(handle, Code(1, METHOD_BUFFERED), {}, 0).Status, STATUS_INVALID_HANDLE);

    HANDLE other;
    EXPECT_EQ(HkOpen("\\\\.\\nothing", &other), STATUS_OBJECT_NAME_NOT_FOUND);
    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_ACCESS_DENIED); });
    EXPECT_EQ(HkOpen("\\Device\\pelvon", &other), STATUS_ACCESS_DENIED);
    EXPECT_EQ(HkOpenCount(device), 0);
    EXPECT_EQ(StopsAndRequests(), "");
}

TEST_F(IoUser, CloseSucceedsWhateverTheDriverAnswersToCleanup)
{
    std::vector<UCHAR> seen;
    SetHandler(device, [&](PDEVICE_OBJECT, PIRP Irp) {
        const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
        seen.push_back(major);
        return Complete(Irp, major == IRP_MJ_CLEANUP ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS);
    });
    EXPECT_EQ(HkClose(Open()), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(IoUser, BufferedControlCopiesBackInformationBytesUnlessTheStatusIsAnError)
{
    NTSTATUS reply = STATUS_SUCCESS;
    SetHandler(device, [&](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return Complete(Irp, STATUS_SUCCESS);
        }
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto* system = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(system[0], 1);
        EXPECT_EQ(system[1], 2);
        std::memcpy(system, "\x10\x20\x30\x40\x50\x60\x70\x80", 8); // room for max(in, out)
        return Complete(Irp, reply, 3);
    });
    HANDLE handle = Open();
    HkIoResult result = HkDeviceIoControl(handle, Code(1, METHOD_BUFFERED), {1, 2}, 8);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 3u);
    EXPECT_EQ(result.Output, (Bytes{0x10, 0x20, 0x30}));

    reply = STATUS_BUFFER_OVERFLOW; // a warning still copies
    EXPECT_EQ(HkDeviceIoControl(handle, Code(1, METHOD_BUFFERED), {1, 2}, 8).Output.size(), 3u);
    reply = STATUS_INVALID_PARAMETER;
    result = HkDeviceIoControl(handle, Code(1, METHOD_BUFFERED), {1, 2}, 8);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(result.Output.empty());

    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) {
        EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
        return Complete(Irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(HkDeviceIoControl(handle, Code(2, METHOD_BUFFERED), {}, 0).Status, STATUS_SUCCESS);
    HkClose(handle);
    EXPECT_EQ(StopsAndRequests(), "");
}

TEST_F(IoUser, DirectAndNeitherMethodsHandTheCallersBuffers)
{
    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return Complete(Irp, STATUS_SUCCESS);
        }
        const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
        const uint8_t* input = (code & 3) == METHOD_NEITHER
                                   ? static_cast<uint8_t*>(location->Parameters.DeviceIoControl.Type3InputBuffer)
                                   : static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
        auto* output = static_cast<uint8_t*>(Irp->UserBuffer);
        output[0] = static_cast<uint8_t>(input[0] + 1);
        output[1] = static_cast<uint8_t>(input[1] + 1);
        return Complete(Irp, STATUS_SUCCESS, 2);
    });
    HANDLE handle = Open();
    EXPECT_EQ(HkDeviceIoControl(handle, Code(3, METHOD_NEITHER), {7, 8}, 4).Output, (Bytes{8, 9}));
    EXPECT_EQ(HkDeviceIoControl(handle, Code(4, METHOD_OUT_DIRECT), {1, 1}, 2).Output, (Bytes{2, 2}));
    HkClose(handle);
}

TEST_F(IoUser, APendedRequestIsWaitedForAndMayCompleteOnAnotherThread)
{
    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) {
        if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_READ) {
            return Complete(Irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(Irp);
        HkRunAsync([Irp] {
            static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer)[0] = 0x5A;
            Complete(Irp, STATUS_SUCCESS, 1);
        });
        return STATUS_PENDING;
    });
    device->Flags |= DO_BUFFERED_IO;
    HANDLE handle = Open();
    const HkIoResult result = HkRead(handle, 4);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Output, (Bytes{0x5A}));
    HkClose(handle);
    HkWaitAsyncIdle();
    EXPECT_EQ(StopsAndRequests(), "");
}

TEST_F(IoUser, WriteAndQueryInformationCarryTheirParameters)
{
    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        switch (location->MajorFunction) {
        case IRP_MJ_WRITE:
            EXPECT_EQ(location->Parameters.Write.Length, 3u);
            EXPECT_EQ(location->Parameters.Write.ByteOffset.QuadPart, 9);
            EXPECT_EQ(std::memcmp(Irp->AssociatedIrp.SystemBuffer, "abc", 3), 0);
            return Complete(Irp, STATUS_SUCCESS, 3);
        case IRP_MJ_QUERY_INFORMATION:
            EXPECT_EQ(location->Parameters.QueryFile.FileInformationClass, 5u);
            EXPECT_EQ(location->Parameters.QueryFile.Length, 24u);
            std::memset(Irp->AssociatedIrp.SystemBuffer, 0x11, 24);
            return Complete(Irp, STATUS_SUCCESS, 24);
        default:
            return Complete(Irp, STATUS_SUCCESS);
        }
    });
    device->Flags |= DO_BUFFERED_IO;
    HANDLE handle = Open();
    EXPECT_EQ(HkWrite(handle, {'a', 'b', 'c'}, 9).Information, 3u);
    EXPECT_EQ(HkQueryInformation(handle, 5, 24).Output, Bytes(24, 0x11));
    HkClose(handle);
}

TEST_F(IoUser, StopsInformationLargerThanTheCallersBuffer)
{
    SetHandler(device, [](PDEVICE_OBJECT, PIRP Irp) {
        const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
        return Complete(Irp, STATUS_SUCCESS, major == IRP_MJ_QUERY_INFORMATION ? 9 : 0);
    });
    HANDLE handle = Open();
    ExpectStop(HkStop::IoManagerViolation::InformationOverUserBuffer, [&] { HkQueryInformation(handle, 5, 8); });
}

} // namespace
