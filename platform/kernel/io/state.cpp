// The I/O manager's part of booting the machine: every boot starts with an empty object namespace,
// no devices, requests or files, and a registry that has only its standard keys. Also the namespace and
// accounting queries of tarvel/io.h.
#include "exec/engine.h"
#include "io/devices.h"
#include "io/files.h"
#include "io/interfaces.h"
#include "io/irp_records.h"
#include "io/mdls.h"
#include "io/power_sequence.h"
#include "io/work_items.h"
#include "ob/namespace.h"
#include "registry/store.h"
#include "rtl/wide.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

namespace tarvel::io {
namespace {

bool freeCheckAdded = false;

void BootIo() {
  ResetFiles();
  ResetInterfaces();
  ResetDevices();
  ResetIrps();
  ResetPowerSequences();
  ob::Reset();
  registry::Reset();
  if (!freeCheckAdded) {
    kernel::AddFreeCheck(CheckFreedMemoryForWorkItems);
    kernel::AddFreeCheck(CheckFreedMemoryForIrps);
    freeCheckAdded = true;
  }
}

const kernel::exec::ComponentRegistration registration{{"io", BootIo, nullptr}};

}  // namespace

PDEVICE_OBJECT FindDevice(std::string_view name) {
  std::u16string path = rtl::ToU16(name);
  if (rtl::StartsWithNoCase(path, u"\\\\.\\") || rtl::StartsWithNoCase(path, u"\\\\?\\")) path = u"\\??\\" + path.substr(4);
  const auto resolved = ob::Resolve(path);
  if (!resolved || !resolved->remainder.empty()) return nullptr;
  return resolved->device;
}

std::string DeviceName(PDEVICE_OBJECT device) {
  const DeviceRecord* record = FindDeviceRecord(device);
  return record == nullptr ? std::string() : rtl::ToUtf8(record->name);
}

std::optional<std::string> SymbolicLinkTarget(std::string_view linkName) {
  const auto target = ob::LinkTarget(rtl::ToU16(linkName));
  if (!target) return std::nullopt;
  return rtl::ToUtf8(*target);
}

std::vector<std::string> DosDeviceNames() {
  std::vector<std::string> names;
  for (const auto& name : ob::LinkNamesIn(u"\\??\\")) names.push_back(rtl::ToUtf8(name));
  return names;
}

std::size_t LiveIrps() { return LiveIrpCount(); }
std::size_t LiveMdls() { return LiveMdlCount(); }
std::size_t LiveWorkItems() { return LiveWorkItemCount(); }

}  // namespace tarvel::io
