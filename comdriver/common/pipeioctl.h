// The contract between the pipe driver (tarvelpipe) and its clients, the port driver (tarvelport)
// first among them: the device interface of the pipe driver, the names that bind a pipe to a file
// object at open, the private device-control set of the pipe driver, and the port driver's own two
// private codes. Include it after the driver-kit headers (driverkit.h in driver code).
#pragma once

// ---------------------------------------------------------------------------------------------
// Device interface that the pipe driver registers on every device it serves. A client opens the
// interface's symbolic link with a pipe name appended ("...\PIPE01") to reach one pipe.
// {0A274201-F52F-11D4-9442-006067728D60}
// ---------------------------------------------------------------------------------------------
static const GUID GUID_DEVINTERFACE_USB_PIPES = {
    0x0a274201, 0xf52f, 0x11d4, {0x94, 0x42, 0x00, 0x60, 0x67, 0x72, 0x8d, 0x60}};

// ---------------------------------------------------------------------------------------------
// Pipe names: the file name of a create request sent to the pipe driver's device. xx is two
// characters read as a hexadecimal number.
//   \PIPExx  the pipe at index xx of the selected interface (the order the device reports them)
//   \EPxx    the first pipe whose endpoint number (address & 0x7F) is xx
//   \EAxx    the first pipe whose endpoint address, direction bit included, is xx
// An empty file name opens the device without binding a pipe.
// ---------------------------------------------------------------------------------------------
#define PIPE_NAME_PREFIX_INDEX L"\\PIPE"
#define PIPE_NAME_PREFIX_ENDPOINT L"\\EP"
#define PIPE_NAME_PREFIX_ADDRESS L"\\EA"
#define PIPE_NAME_INDEX_LENGTH 7    // characters of "\PIPExx"
#define PIPE_NAME_ENDPOINT_LENGTH 5 // characters of "\EPxx" and "\EAxx"

// The three pipes of a USB-serial adapter as the port driver uses them, by index.
#define PIPE_NAME_TRANSMIT L"\\PIPE00" // bulk OUT: data to the device
#define PIPE_NAME_RECEIVE L"\\PIPE01"  // bulk IN: data from the device
#define PIPE_NAME_STATUS L"\\PIPE02"   // interrupt IN: one modem/line status byte per read

// ---------------------------------------------------------------------------------------------
// Private device-control set of the pipe driver: device type 0x23, access 0, functions 0 to 18.
// "pipe" marks the codes that act on the pipe bound to the request's file object.
// ---------------------------------------------------------------------------------------------
#define FILE_DEVICE_USB_PIPES 0x00000023

#define IOCTL_PIPE_GET_CONFIG_DESCRIPTOR 0x00230000 // fn 0, buffered: whole configuration descriptor
#define IOCTL_PIPE_RESTORE_PORT 0x00230004          // fn 1, buffered: re-enable (or reset) the port
#define IOCTL_PIPE_RESET_PIPE 0x00230008            // fn 2, buffered, pipe: reset and clear stall
#define IOCTL_PIPE_GET_PIPE_INFO 0x0023000C         // fn 3, buffered, pipe: USBD_PIPE_INFORMATION
#define IOCTL_PIPE_VENDOR_WRITE 0x0023001C          // fn 7, buffered: vendor request 0x0B, host-to-device
#define IOCTL_PIPE_ABORT_PIPE 0x00230020            // fn 8, buffered, pipe: abort outstanding transfers
#define IOCTL_PIPE_CONTROL_TRANSFER 0x00230024      // fn 9, buffered: class/vendor control transfer
#define IOCTL_PIPE_GET_MAX_PACKET_SIZE 0x00230028   // fn 10, buffered, pipe: 32-bit packet size
#define IOCTL_PIPE_RESET_PORT 0x0023002C            // fn 11, buffered: reset the upstream port
#define IOCTL_PIPE_CYCLE_PORT 0x00230030            // fn 12, buffered: cycle the upstream port
#define IOCTL_PIPE_SUSPEND_DEVICE 0x00230034        // fn 13, buffered: device to its wake state
#define IOCTL_PIPE_RESUME_DEVICE 0x00230038         // fn 14, buffered: device back to D0
#define IOCTL_PIPE_READ_BUFFERED 0x0023003C         // fn 15, buffered, pipe: bulk/interrupt IN
#define IOCTL_PIPE_READ_DIRECT 0x0023003E           // fn 15, out-direct, pipe: bulk/interrupt IN
#define IOCTL_PIPE_WRITE_BUFFERED 0x00230040        // fn 16, buffered, pipe: bulk/interrupt OUT
#define IOCTL_PIPE_WRITE_DIRECT 0x00230041          // fn 16, in-direct, pipe: bulk/interrupt OUT
#define IOCTL_PIPE_CONTROL_WRITE_DIRECT 0x00230045  // fn 17, in-direct: control transfer, host-to-device
#define IOCTL_PIPE_CONTROL_READ_DIRECT 0x0023004A   // fn 18, out-direct: control transfer, device-to-host

// The setup packet that leads the input of the control-transfer codes (standard USB layout).
#define PIPE_SETUP_PACKET_LENGTH 8

// ---------------------------------------------------------------------------------------------
// Private codes of the port driver on the COM port: reset its receive or transmit pipe. The port
// driver passes them down as IOCTL_PIPE_RESET_PIPE on the pipe's file object.
// ---------------------------------------------------------------------------------------------
#define IOCTL_PORT_RESET_RX_PIPE 0x001B0320
#define IOCTL_PORT_RESET_TX_PIPE 0x001B0324

// The codes follow the platform's control-code layout; checked where the layout macro is known.
#ifdef CTL_CODE
static_assert(IOCTL_PIPE_GET_CONFIG_DESCRIPTOR == CTL_CODE(FILE_DEVICE_USB_PIPES, 0, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_RESTORE_PORT == CTL_CODE(FILE_DEVICE_USB_PIPES, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_RESET_PIPE == CTL_CODE(FILE_DEVICE_USB_PIPES, 2, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_GET_PIPE_INFO == CTL_CODE(FILE_DEVICE_USB_PIPES, 3, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_VENDOR_WRITE == CTL_CODE(FILE_DEVICE_USB_PIPES, 7, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_ABORT_PIPE == CTL_CODE(FILE_DEVICE_USB_PIPES, 8, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_CONTROL_TRANSFER == CTL_CODE(FILE_DEVICE_USB_PIPES, 9, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_GET_MAX_PACKET_SIZE == CTL_CODE(FILE_DEVICE_USB_PIPES, 10, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_RESET_PORT == CTL_CODE(FILE_DEVICE_USB_PIPES, 11, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_CYCLE_PORT == CTL_CODE(FILE_DEVICE_USB_PIPES, 12, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_SUSPEND_DEVICE == CTL_CODE(FILE_DEVICE_USB_PIPES, 13, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_RESUME_DEVICE == CTL_CODE(FILE_DEVICE_USB_PIPES, 14, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_READ_BUFFERED == CTL_CODE(FILE_DEVICE_USB_PIPES, 15, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_READ_DIRECT == CTL_CODE(FILE_DEVICE_USB_PIPES, 15, METHOD_OUT_DIRECT, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_WRITE_BUFFERED == CTL_CODE(FILE_DEVICE_USB_PIPES, 16, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_WRITE_DIRECT == CTL_CODE(FILE_DEVICE_USB_PIPES, 16, METHOD_IN_DIRECT, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_CONTROL_WRITE_DIRECT == CTL_CODE(FILE_DEVICE_USB_PIPES, 17, METHOD_IN_DIRECT, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_CONTROL_READ_DIRECT == CTL_CODE(FILE_DEVICE_USB_PIPES, 18, METHOD_OUT_DIRECT, FILE_ANY_ACCESS));
static_assert(IOCTL_PORT_RESET_RX_PIPE == CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PORT_RESET_TX_PIPE == CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS));
#endif
