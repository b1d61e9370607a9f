#include "mouse_class.h"

#include "verifier.h"

namespace {

struct ClassExtension {
    PeerMouseClass* Class;
};

NTSTATUS NTAPI PeerMouseClassEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT MouseClassDriver()
{
    static PDRIVER_OBJECT driver = nullptr;
    static bool resetHooked = false;
    if (!resetHooked) {
        HkRegisterResetHook("peer_mouse_class", [] { driver = nullptr; });
        resetHooked = true;
    }
    if (driver == nullptr) {
        driver = HkLoadDriver(PeerMouseClassEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Mouclass");
        HkDeclarePeerDriver(driver);
    }
    return driver;
}

// The class driver's service callback, as the port driver calls it.
VOID NTAPI PeerMouseClassService(PDEVICE_OBJECT ClassDevice, PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End,
                                 PULONG Consumed)
{
    static_cast<ClassExtension*>(ClassDevice->DeviceExtension)->Class->Receive(Start, End, Consumed);
}

NTSTATUS SendAndWait(PDEVICE_OBJECT Target, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                     ULONG OutputLength, ULONG_PTR* Information)
{
    KEVENT event;
    IO_STATUS_BLOCK statusBlock{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Target, Input, InputLength, Output, OutputLength, TRUE, &event,
                                             &statusBlock);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = statusBlock.Status;
    }
    if (Information != nullptr) {
        *Information = NT_SUCCESS(status) || status == STATUS_PENDING ? statusBlock.Information : 0;
    }
    return status;
}

} // namespace

PeerMouseClass::PeerMouseClass()
{
    NTSTATUS status = IoCreateDevice(MouseClassDriver(), sizeof(ClassExtension), nullptr, FILE_DEVICE_MOUSE, 0, FALSE,
                                     &ClassDevice_);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("mouse class peer: cannot create its device");
    }
    static_cast<ClassExtension*>(ClassDevice_->DeviceExtension)->Class = this;
    ClassDevice_->Flags &= ~DO_DEVICE_INITIALIZING;
}

NTSTATUS PeerMouseClass::Connect(PDEVICE_OBJECT Target, ULONG InputLength)
{
    CONNECT_DATA connect;
    connect.ClassDeviceObject = ClassDevice_;
    connect.ClassService = reinterpret_cast<PVOID>(&PeerMouseClassService);
    return SendAndWait(Target, IOCTL_INTERNAL_MOUSE_CONNECT, &connect, InputLength, nullptr, 0, nullptr);
}

NTSTATUS PeerMouseClass::QueryAttributes(PDEVICE_OBJECT Target, MOUSE_ATTRIBUTES& Attributes, ULONG OutputLength,
                                         ULONG_PTR& Information)
{
    return SendAndWait(Target, IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, &Attributes, OutputLength, &Information);
}

NTSTATUS PeerMouseClass::SendInternal(PDEVICE_OBJECT Target, ULONG Code)
{
    return SendAndWait(Target, Code, nullptr, 0, nullptr, 0, nullptr);
}

void PeerMouseClass::Receive(PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End, PULONG Consumed)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL) {
        HkBugCheck(HkRule::IrqlNotLessOrEqual,
                   "mouse class service callback called at IRQL " + std::to_string(irql) + ", not DISPATCH_LEVEL");
    }
    std::lock_guard<std::mutex> guard(Lock_);
    for (PMOUSE_INPUT_DATA report = Start; report < End; report++) {
        Reports_.push_back({*report, irql, HkClock()});
    }
    *Consumed = static_cast<ULONG>(End - Start);
}

std::vector<PeerMouseReport> PeerMouseClass::Reports() const
{
    std::lock_guard<std::mutex> guard(Lock_);
    return Reports_;
}

void PeerMouseClass::ClearReports()
{
    std::lock_guard<std::mutex> guard(Lock_);
    Reports_.clear();
}

void PeerMouseClass::TakeReports(std::vector<PeerMouseReport>& Into)
{
    Into.clear();
    std::lock_guard<std::mutex> guard(Lock_);
    Into.swap(Reports_);
}
