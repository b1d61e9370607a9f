// The system's mouse class driver as the touch driver meets it: connects
// through the internal request, asks for the attributes, and records every
// report its service callback receives, with the IRQL it was called at.
#pragma once

#include "hostkernel.h"

#include <kbdmou.h>
#include <ntddmou.h>

#include <mutex>
#include <vector>

struct PeerMouseReport {
    MOUSE_INPUT_DATA Data;
    KIRQL Irql;
    int64_t Time; // virtual clock at delivery
};

class PeerMouseClass {
public:
    PeerMouseClass();
    PeerMouseClass(const PeerMouseClass&) = delete;
    PeerMouseClass& operator=(const PeerMouseClass&) = delete;

    PDEVICE_OBJECT ClassDevice() const { return ClassDevice_; }

    // Sends IOCTL_INTERNAL_MOUSE_CONNECT to Target with the class device and
    // service callback; InputLength lets a test send a short buffer.
    NTSTATUS Connect(PDEVICE_OBJECT Target, ULONG InputLength = sizeof(CONNECT_DATA));
    // Sends IOCTL_MOUSE_QUERY_ATTRIBUTES; Information is returned through it.
    NTSTATUS QueryAttributes(PDEVICE_OBJECT Target, MOUSE_ATTRIBUTES& Attributes, ULONG OutputLength,
                             ULONG_PTR& Information);
    // Any internal control request without buffers.
    NTSTATUS SendInternal(PDEVICE_OBJECT Target, ULONG Code);

    std::vector<PeerMouseReport> Reports() const;
    void ClearReports();
    // Hands the reports received so far over to Into (its old content is
    // dropped) and forgets them: a long session keeps none.
    void TakeReports(std::vector<PeerMouseReport>& Into);

    // Called by the service callback.
    void Receive(PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End, PULONG Consumed);

private:
    PDEVICE_OBJECT ClassDevice_ = nullptr;
    mutable std::mutex Lock_;
    std::vector<PeerMouseReport> Reports_;
};
