// A booted machine with one device model plugged into a port of the bus and the test function driver
// attached above it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tarvel/kernel.h"
#include "test_function_driver.h"
#include "usb/bus/usb_bus.h"

namespace tarvel::usb::test {

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        kernel::Boot();
    }
    void TearDown() override {
        if (fdo) Detach();
        for (void* p : blocks) ExFreePool(p);
        kernel::Shutdown();
    }
    // Plugs the model in and attaches the test driver; `configure` selects the configuration.
    void Attach(DeviceModel& model, bool configure = true) {
        port = PlugWithoutInstall(model);
        fdo = AddTestDevice(PhysicalDevice(port));
        ASSERT_NE(fdo, nullptr);
        if (configure) {
            ASSERT_EQ(ConfigureTestDevice(fdo), STATUS_SUCCESS);
        }
    }
    // Takes the test driver off and the device out (for tests that plug several devices in turn).
    void Detach() {
        RemoveTestDevice(fdo);
        DeletePort(port);
        fdo = nullptr;
        port = nullptr;
    }
    USBD_PIPE_HANDLE Pipe(int interface, int index) const {
        return Ext(fdo)->Interfaces[interface].Interface->Pipes[index].PipeHandle;
    }
    template <class T = std::uint8_t>
    T* Pool(std::size_t bytes) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, bytes, 'fuBT');
        std::memset(p, 0, bytes);
        blocks.push_back(p);
        return static_cast<T*>(p);
    }
    PURB Keep(PURB urb) {
        blocks.push_back(urb);
        return urb;
    }
    static void Wait(ASYNC_URB* a) { KeWaitForSingleObject(&a->Done, Executive, KernelMode, FALSE, nullptr); }

    // Models live as long as the fixture, so that TearDown finds them plugged in.
    template <class M, class... Args>
    M& Make(Args&&... args) {
        models.push_back(std::make_unique<M>(std::forward<Args>(args)...));
        return static_cast<M&>(*models.back());
    }

    std::vector<std::unique_ptr<DeviceModel>> models;
    Port* port = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    std::vector<void*> blocks;
};

}  // namespace tarvel::usb::test
