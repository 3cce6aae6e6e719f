// The port driver on a bare physical device: a booted machine, the tarvelport module loaded, and a
// physical device object of a small bus driver of the test program that answers every request with
// success. Tests call the port's AddDevice on it and send PnP requests themselves, which shows the
// port's own device, settings and naming without any driver below it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "com_port_interface.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvelport.h"

namespace porttest {

class BareDeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The hardware key of the physical device, where the port reads its settings and PortName.
    std::string HardwareKey() const;
    void SetDword(const char* name, ULONG value);
    void SetValue(const char* name, ULONG type, const std::vector<std::uint8_t>& data);
    void SetPortName(const std::string& name);

    // Calls the port driver's AddDevice for the physical device; on success `port` and `ext` are the
    // new device and its extension.
    NTSTATUS AddDevice();
    // Sends one PnP request to the port device and waits for it.
    NTSTATUS SendPnp(UCHAR minor);
    // Removal as the PnP manager sends it; the port device is gone afterwards.
    NTSTATUS Remove();

    PDRIVER_OBJECT portDriver = nullptr;
    DRIVER_OBJECT busDriver{};
    PDEVICE_OBJECT physical = nullptr;
    PDEVICE_OBJECT port = nullptr;
    PPORT_EXTENSION ext = nullptr;
    std::vector<PDEVICE_OBJECT> extraDevices;  // made by tests with the bus driver, deleted at the end
};

// While set, the bus driver answers every request later, from a worker thread.
void SetBusAnswersLater(bool later);

std::string Utf8(PCUNICODE_STRING text);
std::vector<std::uint8_t> Utf16(const std::string& text, bool terminator = true);

}  // namespace porttest
