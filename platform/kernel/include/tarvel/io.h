// The emulated I/O manager, object namespace and registry as platform components and tests use them:
// the PnP manager (device nodes and their hardware keys), the application side (opening devices by
// name, sending requests on behalf of an application, enumerating device interfaces), tools and tests
// (registry contents, namespace lookups, request accounting).
//
// Names are UTF-8 here and compared without regard to case, as the platform compares object and
// registry names. Everything is called on an emulated thread (one runs at a time); routines that send
// requests are called at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::io {

// ---- Registry ---------------------------------------------------------------------------------------
// Paths are absolute registry paths ("\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM").
constexpr std::string_view kDeviceMapPath = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
constexpr std::string_view kServicesPath = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
constexpr std::string_view kEnumPath = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";

struct RegistryValue {
  std::string name;
  ULONG type = 0;  // REG_SZ, REG_DWORD, ...
  std::vector<std::uint8_t> data;

  // The data read as a REG_SZ (UTF-16 up to the first zero) / as a 32-bit number (first four bytes,
  // zero-extended when shorter).
  std::string AsString() const;
  ULONG AsDword() const;
};

bool RegistryKeyExists(std::string_view path);
void CreateRegistryKey(std::string_view path);  // with every missing parent
// Writes a value, creating the key and its parents.
void SetRegistryValue(std::string_view keyPath, std::string_view valueName, ULONG type, const void* data,
                      std::size_t size);
void SetRegistryDword(std::string_view keyPath, std::string_view valueName, ULONG value);
void SetRegistryString(std::string_view keyPath, std::string_view valueName, std::string_view text);  // REG_SZ
std::optional<RegistryValue> QueryRegistryValue(std::string_view keyPath, std::string_view valueName);
std::vector<RegistryValue> RegistryValues(std::string_view keyPath);  // in the order first written
std::vector<std::string> RegistrySubkeys(std::string_view keyPath);
bool DeleteRegistryValue(std::string_view keyPath, std::string_view valueName);
bool DeleteRegistryKey(std::string_view keyPath);  // with everything below it
std::size_t OpenRegistryHandles();                 // key handles drivers have not closed

// ---- Device nodes -----------------------------------------------------------------------------------
// Makes physicalDevice the physical device object of a device node with the given instance path
// ("USB\VID_xxxx&PID_yyyy\serial"): from now on IoRegisterDeviceInterface and IoOpenDeviceRegistryKey
// accept it. Its hardware key (PLUGPLAY_REGKEY_DEVICE) is
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters", created here.
void SetDeviceNode(PDEVICE_OBJECT physicalDevice, std::string_view instancePath);
bool IsPhysicalDevice(PDEVICE_OBJECT device);
std::string HardwareKeyPath(PDEVICE_OBJECT physicalDevice);  // empty if not a physical device object
std::string InstancePath(PDEVICE_OBJECT physicalDevice);

// ---- Object namespace -------------------------------------------------------------------------------
// Resolves "\Device\X", "\DosDevices\X", "\??\X", "\GLOBAL??\X" (following symbolic links) and the
// Win32 forms "\\.\X" and "\\?\X" to a device object; nullptr if the name names none.
PDEVICE_OBJECT FindDevice(std::string_view name);
std::string DeviceName(PDEVICE_OBJECT device);  // "\Device\..." or empty for an unnamed device
// The target of a symbolic link ("\DosDevices\COM3" or "\??\COM3"), if the link exists.
std::optional<std::string> SymbolicLinkTarget(std::string_view linkName);
std::vector<std::string> DosDeviceNames();  // names of the links in "\??\" (e.g. "COM3")

// ---- Device interfaces ------------------------------------------------------------------------------
// Symbolic link names ("\??\...#{guid}") of the enabled instances of an interface class, in the order
// they were registered.
std::vector<std::string> EnabledInterfaces(const GUID& interfaceClass);
std::string GuidString(const GUID& guid);  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case

// ---- Files and requests on behalf of an application -----------------------------------------------
struct OpenOptions {
  ACCESS_MASK desiredAccess = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
  ULONG shareAccess = 0;
  ULONG createDisposition = 1;             // FILE_OPEN
  ULONG createOptions = 0;
};
// Opens a device by name (as FindDevice resolves it, with whatever follows the device's name becoming
// the file object's FileName) and sends IRP_MJ_CREATE to the top of its stack, waiting for it. Refuses
// an exclusive device that is already open (STATUS_ACCESS_DENIED), a device still initialising or being
// deleted (STATUS_NO_SUCH_DEVICE / STATUS_DELETE_PENDING) and unknown names
// (STATUS_OBJECT_NAME_NOT_FOUND). On success *file is the new file object (one handle on it).
NTSTATUS OpenFile(std::string_view path, PFILE_OBJECT* file, const OpenOptions& options = {});
// Closes the handle: IRP_MJ_CLEANUP at once (waited for), IRP_MJ_CLOSE when the last request that still
// refers to the file object has finished (at once if none is outstanding; otherwise on a system worker
// thread). `closed`, if given, runs after the IRP_MJ_CLOSE has completed.
void CloseFile(PFILE_OBJECT file, std::function<void()> closed = {});

// One request on an open file. The I/O manager builds it as the platform does for an application:
// buffered, direct or neither I/O by the device's flags (read, write) or the control code's method
// (device control), RequestorMode UserMode, the file object in the stack location.
struct FileRequest {
  UCHAR majorFunction = IRP_MJ_READ;  // READ, WRITE, DEVICE_CONTROL, INTERNAL_DEVICE_CONTROL, FLUSH_BUFFERS
  void* buffer = nullptr;             // read / write
  ULONG length = 0;
  LONGLONG byteOffset = 0;
  ULONG ioControlCode = 0;            // device control
  const void* inputBuffer = nullptr;
  ULONG inputLength = 0;
  void* outputBuffer = nullptr;
  ULONG outputLength = 0;
  // When the request has finished (output copied back, MDLs released): *statusBlock written, event
  // signalled, then onComplete called, in the completing context (possibly DISPATCH_LEVEL).
  PIO_STATUS_BLOCK statusBlock = nullptr;
  PKEVENT event = nullptr;
  std::function<void(const IO_STATUS_BLOCK&)> onComplete;
};
// Sends the request to the top of the file's device stack and returns what IoCallDriver returned
// (STATUS_PENDING: the request finishes later). A request that cannot be built fails at once with
// STATUS_INSUFFICIENT_RESOURCES (nothing is signalled then).
NTSTATUS SendFileRequest(PFILE_OBJECT file, const FileRequest& request);
// The same, waiting for the request to finish; returns its final status and Information.
IO_STATUS_BLOCK SendFileRequestAndWait(PFILE_OBJECT file, FileRequest request);
// A kernel-side client's device control without buffers or file object (the pipe driver's private
// power codes, sent as the port driver sends its own): built at PASSIVE_LEVEL, sent to the device
// object, waited for. Returns the request's final status.
NTSTATUS SendDeviceControlAndWait(PDEVICE_OBJECT device, ULONG ioControlCode);
// Which of a file's outstanding requests are meant: every one (no field set), those a thread sent
// (CancelIo takes the calling thread's), or the one with this status block (CancelIoEx with an
// OVERLAPPED, whose Internal fields are the status block).
struct FileRequestSelection {
  PETHREAD issuer = nullptr;
  PIO_STATUS_BLOCK statusBlock = nullptr;
};
// Cancels (IoCancelIrp) the selected requests still outstanding on the file; returns how many.
std::size_t CancelFileRequests(PFILE_OBJECT file, const FileRequestSelection& which = {});
std::size_t OutstandingFileRequests(PFILE_OBJECT file, const FileRequestSelection& which = {});
// The device a request on the file goes to (top of the stack the file was opened on).
PDEVICE_OBJECT FileTargetDevice(PFILE_OBJECT file);
std::size_t OpenFileCount(PDEVICE_OBJECT anyDeviceOfStack);  // open file objects on that device stack
// From now on opens of any device of the physical device's stack fail with status (the PnP manager
// after a surprise removal: STATUS_DELETE_PENDING); STATUS_SUCCESS allows them again.
void RefuseOpens(PDEVICE_OBJECT physicalDevice, NTSTATUS status);

// ---- Accounting for tests ---------------------------------------------------------------------------
std::size_t LiveIrps();   // allocated and not yet freed
std::size_t LiveMdls();
std::size_t LiveWorkItems();

// The I/O manager's default dispatch routine: completes the request with STATUS_INVALID_DEVICE_REQUEST.
// The loader fills a new driver object's dispatch table with it, as the platform does.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// Fills a zeroed DRIVER_OBJECT the way the loader does (type, size, dispatch table, extension, name),
// for drivers that tests build in the test program itself. The driver name is "\Driver\<name>".
void InitializeDriverObject(PDRIVER_OBJECT driver, std::string_view name);
// Gives back what InitializeDriverObject set up (name, extension), when the driver object goes.
void ReleaseDriverObject(PDRIVER_OBJECT driver);

}  // namespace tarvel::io
