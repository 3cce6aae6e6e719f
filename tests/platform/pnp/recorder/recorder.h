// Contract between the recording test drivers (pnprecfunc, the function driver, and pnprecfilter, an
// upper filter) and the tests that drive them. The drivers report every request they see to the
// test's sink and take their behaviour from values of the device's hardware key.
#pragma once

struct RecorderSink {
    void (*record)(void* context, const char* event); // "func:PnP:0x00", "filter:AddDevice", ...
    void* context;
};

// Hardware-key values (REG_DWORD unless said; absent means 0):
#define RECORDER_VALUE_SINK L"RecorderSink"          // REG_BINARY: the address of a RecorderSink
#define RECORDER_VALUE_FUNC_FAIL_PNP L"FuncFailPnp"     // 1 + the PnP minor function func fails
#define RECORDER_VALUE_FILTER_FAIL_PNP L"FilterFailPnp" // 1 + the PnP minor function filter fails
#define RECORDER_VALUE_FUNC_EMPTY_PNP L"FuncEmptyPnp"   // 1 + the PnP minor function func answers
                                                        // with success and no record
#define RECORDER_VALUE_FAIL_ADD_DEVICE L"FailAddDevice" // the filter's AddDevice fails
#define RECORDER_VALUE_KEEP_DEVICE L"KeepDevice"       // func: neither detaches nor deletes at removal
#define RECORDER_VALUE_STAY_INITIALIZING L"StayInitializing" // func: leaves DO_DEVICE_INITIALIZING set
#define RECORDER_VALUE_INDEX L"Index"                // func: \Device\PnpRecorder<n>, \DosDevices\PNPREC<n>
#define RECORDER_VALUE_EXCLUSIVE L"Exclusive"        // func: exclusive device
#define RECORDER_VALUE_DIRECT_IO L"DirectIo"         // func: DO_DIRECT_IO instead of DO_BUFFERED_IO
#define RECORDER_VALUE_POWER_POLICY L"PowerPolicy"   // func: system requests become device requests
#define RECORDER_VALUE_WAIT_WAKE L"WaitWake"         // func: asks for a wait-wake request at start

// Control codes of the function driver (FILE_DEVICE_UNKNOWN, function 0x800 up, FILE_ANY_ACCESS unless
// said): the echoes copy the input to the output and return the shorter length.
#define RECORDER_CTL(function, method, access) ((0x22u << 16) | ((access) << 14) | ((function) << 2) | (method))
#define IOCTL_RECORDER_ECHO_BUFFERED RECORDER_CTL(0x800, 0, 0)
#define IOCTL_RECORDER_ECHO_IN_DIRECT RECORDER_CTL(0x801, 1, 0)
#define IOCTL_RECORDER_ECHO_OUT_DIRECT RECORDER_CTL(0x802, 2, 0)
#define IOCTL_RECORDER_ECHO_NEITHER RECORDER_CTL(0x803, 3, 0)
#define IOCTL_RECORDER_HOLD RECORDER_CTL(0x804, 0, 0)         // pends until cancelled
#define IOCTL_RECORDER_WRITE_ACCESS RECORDER_CTL(0x805, 0, 2) // needs FILE_WRITE_ACCESS
#define IOCTL_RECORDER_OVERFLOW RECORDER_CTL(0x806, 0, 0)     // fills the output, STATUS_BUFFER_OVERFLOW

// {6f1d3c52-8a0e-4b7d-9c41-2e5a7b9d0f13}: the function driver's device interface, enabled at start.
#define RECORDER_INTERFACE_GUID {0x6f1d3c52, 0x8a0e, 0x4b7d, {0x9c, 0x41, 0x2e, 0x5a, 0x7b, 0x9d, 0x0f, 0x13}}

// The read buffer of the function driver: writes append, reads take from the front, a read with
// nothing to take waits (cancellable) for the next write.
#define RECORDER_BUFFER_SIZE 4096
