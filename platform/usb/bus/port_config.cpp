// Select configuration at the physical device object: the client's configuration descriptor checked
// whole, the interfaces it asks for found in it, the device configured, pipe handles handed out; and the
// way back to the unconfigured state.
#include <algorithm>
#include <cstring>

#include <usbdlib.h>

#include "tarvel/kernel.h"
#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"
#include "usb/descriptors/descriptor_parse.h"

namespace tarvel::usb {

// --- Configuration ---

NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    if (!select.ConfigurationDescriptor) {
        const NTSTATUS s = Unconfigure();
        urb->UrbHeader.Status = NT_SUCCESS(s) ? USBD_STATUS_SUCCESS : USBD_STATUS_SET_CONFIG_FAILED;
        return CompleteRequest(irp, s);
    }
    if (const auto refusal = Refusal(); refusal != USBD_STATUS_SUCCESS) return FinishUrbAtOnce(irp, urb, refusal);
    // The client's copy of the configuration: wTotalLength bytes, checked whole before any use.
    const auto* head = reinterpret_cast<const std::uint8_t*>(select.ConfigurationDescriptor);
    const Bytes config(head, ReadLe16(head + 2));
    if (config.size() < kConfigurationDescriptorLength || ConfigurationDefect(config))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    struct Chosen {
        PUSBD_INTERFACE_INFORMATION info;
        InterfaceFields fields;
        std::vector<EndpointFields> endpoints;
    };
    std::vector<Chosen> chosen;
    std::set<std::uint8_t> addresses;
    auto* at = reinterpret_cast<PUCHAR>(&select.Interface);
    const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    while (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
            return FinishUrbAtOnce(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        const auto found = FindInterface(config, 0, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!found) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        auto endpoints = InterfaceEndpoints(config, found->offset);
        if (!endpoints) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints->size())) return FinishUrbAtOnce(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        for (const auto& e : *endpoints)
            if ((e.address & 0x0F) == 0 || !addresses.insert(e.address).second)
                return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        chosen.push_back({info, *found, std::move(*endpoints)});
        at += info->Length;
    }
    if (chosen.empty()) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);

    Unconfigure();  // the old pipes end here (their transfers with USBD_STATUS_CANCELED)
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    const std::uint8_t value = head[5];
    bool ok = WithModel([&] {
        return model_.Control(SetupPacket{0x00, kStdSetConfiguration, value, 0, 0}, {}).handshake == Handshake::Ack;
    });
    for (const Chosen& c : chosen) {
        if (!ok || c.fields.alternate == 0) continue;
        ok = WithModel([&] {
            const SetupPacket setInterface{0x01, kStdSetInterface, c.fields.alternate, c.fields.number, 0};
            return model_.Control(setInterface, {}).handshake == Handshake::Ack;
        });
    }
    if (!ok) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_SET_CONFIG_FAILED);
    }
    configurationValue_ = value;
    alternates_.clear();
    configurationHandle_ = nextHandle_++;
    for (const Chosen& c : chosen) {
        alternates_.emplace_back(c.fields.number, c.fields.alternate);
        PUSBD_INTERFACE_INFORMATION info = c.info;
        info->Class = c.fields.interfaceClass;
        info->SubClass = c.fields.subClass;
        info->Protocol = c.fields.protocol;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle_++);
        info->NumberOfPipes = static_cast<ULONG>(c.endpoints.size());
        for (std::size_t i = 0; i < c.endpoints.size(); ++i) {
            const EndpointFields& e = c.endpoints[i];
            const EndpointBlueprint blueprint{e.address, static_cast<EndpointType>(e.attributes & 3),
                                    static_cast<std::uint16_t>(e.maxPacketSize & 0x7FF), e.interval};
            const std::uintptr_t handle = nextHandle_++;
            pipes_[handle] = PipeRecord{hc_.AddPipe(blueprint)};
            USBD_PIPE_INFORMATION& p = info->Pipes[i];
            p.MaximumPacketSize = blueprint.maxPacketSize;
            p.EndpointAddress = e.address;
            p.Interval = e.interval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & 3);
            p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(handle);
        }
    }
    KeReleaseSpinLock(&Extension()->Lock, irql);
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_);
    return FinishUrbAtOnce(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::Unconfigure() {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    std::vector<Transfer*> drained;
    for (auto& [handle, record] : pipes_) {
        auto some = Claim(hc_.Drain(record.pipe, USBD_STATUS_CANCELED));
        drained.insert(drained.end(), some.begin(), some.end());
    }
    pipes_.clear();
    hc_.RemovePipes();
    configurationHandle_ = 0;
    configurationValue_ = 0;
    alternates_.clear();
    bool ok = true;
    if (connected_)
        ok = WithModel([&] { return model_.Control(SetupPacket{0x00, kStdSetConfiguration, 0, 0, 0}, {}).handshake == Handshake::Ack; });
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
    WaitForCancelRoutines();
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace tarvel::usb
