// libFuzzer target: the USBD routines on a configuration descriptor from a hostile device, in a block
// of exactly wTotalLength bytes (the extent the routines may read). Parse every interface, build the
// select-configuration request from them, measure and validate: all inside the block.
#include <ntddk.h>
#include <usbdlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

// The pool, for this program alone.
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T size, ULONG) { return std::malloc(size); }
extern "C" VOID ExFreePool(PVOID p) { std::free(p); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    std::size_t total = data[2] | (data[3] << 8);
    if (total < size) total = size;  // the caller's buffer always holds wTotalLength bytes
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[total]);
    std::memset(block.get(), 0, total);
    std::memcpy(block.get(), data, size);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get());

    (void)USBD_ValidateConfigurationDescriptor(config, static_cast<ULONG>(total), 0, nullptr, 0);
    (void)USBD_ParseDescriptors(config, static_cast<ULONG>(total), config, USB_ENDPOINT_DESCRIPTOR_TYPE);
    USBD_INTERFACE_LIST_ENTRY list[9] = {};
    int found = 0;
    for (LONG number = 0; number < 256 && found < 8; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, number, -1, -1, -1, -1);
        if (!d) continue;
        (void)USBD_GetInterfaceLength(d, block.get() + total);
        list[found++].InterfaceDescriptor = d;
    }
    if (PURB urb = USBD_CreateConfigurationRequestEx(config, list)) {
        // Each interface entry must lie inside the request it was built in.
        for (int i = 0; i < found; ++i) {
            auto* at = reinterpret_cast<PUCHAR>(list[i].Interface);
            if (at < reinterpret_cast<PUCHAR>(urb) || at + list[i].Interface->Length > reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length)
                __builtin_trap();
        }
        ExFreePool(urb);
    }
    USHORT length = 0;
    if (PURB urb = USBD_CreateConfigurationRequest(config, &length)) ExFreePool(urb);
    return 0;
}
