// Shared by the reliability tests: how much work a run does, a seeded
// random source that says its seed, and control requests sent the way a
// driver above would send them, with what a kernel caller can observe.
#pragma once

#include "serial_link_fixture.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>

// PELVON_ROBUSTNESS_SCALE (default 1) multiplies every iteration count; the
// ThreadSanitizer run sets it low.
inline double RobustnessScale()
{
    const char* text = std::getenv("PELVON_ROBUSTNESS_SCALE");
    const double scale = text == nullptr ? 1.0 : std::atof(text);
    return scale > 0 ? scale : 1.0;
}

inline size_t Scaled(size_t Count)
{
    const auto scaled = static_cast<size_t>(static_cast<double>(Count) * RobustnessScale());
    return scaled == 0 ? 1 : scaled;
}

// PELVON_ROBUSTNESS_SEED overrides the fixed seed; the seed is printed so a
// failing run can be repeated.
inline std::mt19937 SeededRandom(const char* What, uint32_t Seed)
{
    if (const char* text = std::getenv("PELVON_ROBUSTNESS_SEED")) {
        Seed = static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
    }
    std::cout << "[ seed     ] " << What << ": " << Seed << std::endl;
    return std::mt19937(Seed);
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& Random, size_t Length)
{
    std::vector<uint8_t> bytes(Length);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(Random());
    }
    return bytes;
}

struct KernelReply {
    NTSTATUS Status;
    bool Synchronous;            // came back completed from IoCallDriver
    ULONG_PTR Information;       // from the status block; only on success
    std::vector<uint8_t> Output; // the caller's whole output buffer afterwards
};

// A device control request built with IoBuildDeviceIoControlRequest and
// sent to Device. Buffers of zero length are passed as null; the output
// starts filled with Fill so that a write the reply does not announce shows.
// A request the stand-in refuses to build (low resources) is built again.
inline KernelReply SendKernelControl(PDEVICE_OBJECT Device, ULONG Code, const std::vector<uint8_t>& Input,
                                     ULONG OutputLength, uint8_t Fill = 0xA5)
{
    std::vector<uint8_t> input = Input;
    KernelReply reply{STATUS_PENDING, false, 0, std::vector<uint8_t>(OutputLength, Fill)};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK statusBlock{};
    PIRP irp = nullptr;
    for (int attempt = 0; irp == nullptr && attempt < 4; attempt++) {
        irp = IoBuildDeviceIoControlRequest(Code, Device, input.empty() ? nullptr : input.data(),
                                            static_cast<ULONG>(input.size()),
                                            reply.Output.empty() ? nullptr : reply.Output.data(), OutputLength, FALSE,
                                            &event, &statusBlock);
    }
    if (irp == nullptr) {
        reply.Status = STATUS_INSUFFICIENT_RESOURCES;
        return reply;
    }
    reply.Status = IoCallDriver(Device, irp);
    reply.Synchronous = reply.Status != STATUS_PENDING;
    if (!reply.Synchronous) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        reply.Status = statusBlock.Status;
    }
    if (NT_SUCCESS(reply.Status)) {
        reply.Information = statusBlock.Information;
    }
    return reply;
}

// Spins rather than sleeps: sleeps are far coarser than the windows raced.
inline void SpinMicroseconds(unsigned Us)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(Us);
    while (Us != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
}

// The device "\Device\pelvon" reaches, NULL when there is none.
inline PDEVICE_OBJECT ControlDeviceObject()
{
    return HkFindDevice("\\Device\\pelvon");
}
