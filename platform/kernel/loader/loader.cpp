// The driver loader: opens a driver by its service name (the Linux module <service>.so, or the Windows
// image <service>.sys mapped by pe_loader), builds its DRIVER_OBJECT, calls DriverEntry with the
// service's registry path, and at unload calls DriverUnload and checks that the driver left nothing
// behind (timers, DPCs, device objects, pool).
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "exec/engine.h"
#include "exec/symbols.h"
#include "ke/dispatcher.h"
#include "loader/modules.h"
#include "loader/pe_loader.h"
#include "tarvel/exports.h"
#include "pool/pool.h"
#include "tarvel/io.h"

#ifndef TARVEL_DRIVER_DIR
#define TARVEL_DRIVER_DIR "drivers"
#endif
#ifndef TARVEL_IMAGE_DIRS
#define TARVEL_IMAGE_DIRS "images"
#endif

namespace tarvel::kernel::loader {
namespace {

// A wide string that UNICODE_STRINGs of the driver object point into.
struct WideText {
  std::vector<WCHAR> chars;
  explicit WideText(const std::string& text) : chars(text.begin(), text.end()) { chars.push_back(0); }
  UNICODE_STRING View() {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>((chars.size() - 1) * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(chars.size() * sizeof(WCHAR));
    s.Buffer = chars.data();
    return s;
  }
};

// A Windows image's entry point, in the platform's calling convention whatever the build's.
using ImageEntry = NTSTATUS(__attribute__((ms_abi)) *)(PDRIVER_OBJECT, PUNICODE_STRING);

struct LoadedDriver {
  std::string service;
  void* handle = nullptr;               // a module
  std::unique_ptr<MappedImage> image;  // or a Windows image
  Module module{};
  DRIVER_OBJECT object{};
  WideText serviceKey;
  WideText hardwareDatabase{"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM"};
  UNICODE_STRING hardwareDatabaseString{};

  explicit LoadedDriver(std::string s) : service(s), serviceKey(s) {}
};

std::vector<std::unique_ptr<LoadedDriver>> gDrivers;
std::string gDirectory;
std::string gImageDirectory;
std::optional<ImageKind> gImageKind;
std::string gLastError;

std::string Directory() {
  if (const char* dir = std::getenv("TARVEL_DRIVER_DIR"); dir && *dir) return dir;
  if (!gDirectory.empty()) return gDirectory;
  return TARVEL_DRIVER_DIR;
}

// The folders searched for <service>.sys, separated by ':'.
std::string ImageDirectories() {
  if (const char* dirs = std::getenv("TARVEL_IMAGE_DIR"); dirs && *dirs) return dirs;
  if (!gImageDirectory.empty()) return gImageDirectory;
  return TARVEL_IMAGE_DIRS;
}

std::optional<std::string> FindImage(const std::string& service) {
  const std::string dirs = ImageDirectories();
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string path = dirs.substr(start, end - start) + "/" + service + ".sys";
    if (end > start && access(path.c_str(), R_OK) == 0) return path;
    start = end + 1;
  }
  return std::nullopt;
}

const void* KernelExport(const std::string& dll, const std::string& name) { return FindExport(dll, name); }

// The address range of the module's loaded segments.
Module RangeOf(void* handle) {
  link_map* map = nullptr;
  dlinfo(handle, RTLD_DI_LINKMAP, &map);
  struct Search {
    const link_map* map;
    Module range;
  } search{map, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_addr != s->map->l_addr || std::string(info->dlpi_name) != s->map->l_name) return 0;
        const char* low = nullptr;
        const char* high = nullptr;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          const char* begin = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
          if (!low || begin < low) low = begin;
          if (!high || begin + ph.p_memsz > high) high = begin + ph.p_memsz;
        }
        s->range.base = low;
        s->range.end = high;
        return 1;
      },
      &search);
  return search.range;
}

// Where the module's PAGE section was loaded (functions marked PAGEDCODE), as the platform's loader
// knows a driver's pageable sections.
AddressRange PageableSectionOf(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return {};
  return LoadedSectionRange(map->l_name, map->l_addr, "PAGE");
}

void FillDriverObject(LoadedDriver& d, PDRIVER_INITIALIZE entry) {
  DRIVER_OBJECT& o = d.object;
  io::InitializeDriverObject(&o, d.service);  // type, name, extension, default dispatch table
  o.DriverExtension->ServiceKeyName = d.serviceKey.View();
  d.hardwareDatabaseString = d.hardwareDatabase.View();
  o.HardwareDatabase = &d.hardwareDatabaseString;
  o.DriverStart = const_cast<void*>(d.module.base);
  o.DriverSize = static_cast<ULONG>(static_cast<const char*>(d.module.end) - static_cast<const char*>(d.module.base));
  o.DriverInit = entry;
}

// What a driver must have cleaned up before it goes (after a failed DriverEntry or DriverUnload).
void CheckNothingLeftBehind(LoadedDriver& d, const char* routine) {
  if (const void* timer = ke::QueuedTimerWithRoutineIn(d.module.base, d.module.end))
    VerifierStop("timer still set at driver unload", routine, timer,
                 "driver " + d.service + ": its DPC would run in unloaded code");
  if (const void* dpc = ke::QueuedDpcWithRoutineIn(d.module.base, d.module.end))
    VerifierStop("DPC still queued at driver unload", routine, dpc,
                 "driver " + d.service + ": it would run in unloaded code");
  if (d.object.DeviceObject)
    VerifierStop("device object left at driver unload", routine, d.object.DeviceObject,
                 "driver " + d.service + " did not delete all its device objects");
  const std::string leaks = pool::ModuleLeakReport(d.module.base);
  if (!leaks.empty()) VerifierStop("pool leak", routine, &d.object, "driver " + d.service + ": " + leaks);
}

void Forget(LoadedDriver* d, bool close) {
  UnregisterModule(d->module.base);
  if (close && d->handle) dlclose(d->handle);
  if (!close) d->image.release();  // stays mapped, as modules stay loaded
  io::ReleaseDriverObject(&d->object);
  std::erase_if(gDrivers, [d](const std::unique_ptr<LoadedDriver>& p) { return p.get() == d; });
}

LoadedDriver* Find(const _DRIVER_OBJECT* driver) {
  for (auto& d : gDrivers)
    if (&d->object == driver) return d.get();
  return nullptr;
}

void ShutdownLoader() {
  for (auto& d : gDrivers) std::fprintf(stderr, "tarvel: driver %s still loaded at shutdown\n", d->service.c_str());
  // The modules stay mapped: abandoned threads may still be parked in their code.
  for (auto& d : gDrivers) {
    UnregisterModule(d->module.base);
    io::ReleaseDriverObject(&d->object);
    d->image.release();
  }
  gDrivers.clear();
}

const exec::ComponentRegistration gRegistration{{"loader", nullptr, ShutdownLoader}};

}  // namespace
}  // namespace tarvel::kernel::loader

namespace tarvel::kernel {
using namespace loader;

void SetDriverDirectory(std::string dir) { gDirectory = std::move(dir); }
void SetImageDirectory(std::string dirs) { gImageDirectory = std::move(dirs); }

bool ParseImageKind(const std::string& text, ImageKind& kind) {
  if (text == "module") kind = ImageKind::Module;
  else if (text == "pe") kind = ImageKind::Pe;
  else return false;
  return true;
}

const char* ImageKindName(ImageKind kind) { return kind == ImageKind::Pe ? "pe" : "module"; }

void SetImageKind(ImageKind kind) { gImageKind = kind; }

ImageKind CurrentImageKind() {
  if (gImageKind) return *gImageKind;
  ImageKind kind = ImageKind::Module;
  if (const char* text = std::getenv("TARVEL_IMAGES"); text && *text && !ParseImageKind(text, kind)) {
    std::fprintf(stderr, "tarvel: TARVEL_IMAGES=%s: expected module or pe\n", text);
    std::abort();
  }
  return kind;
}
std::string LastLoadError() { return gLastError; }

std::vector<_DRIVER_OBJECT*> LoadedDrivers() {
  std::vector<_DRIVER_OBJECT*> drivers;
  for (auto& d : gDrivers) drivers.push_back(&d->object);
  return drivers;
}

_DRIVER_OBJECT* FindDriver(const char* service) {
  for (auto& d : gDrivers)
    if (d->service == service) return &d->object;
  return nullptr;
}

_DRIVER_OBJECT* LoadDriver(const char* service) {
  SwitchPoint();
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierStop("driver loaded above PASSIVE_LEVEL", "LoadDriver", nullptr, service);
  if (FindDriver(service)) {
    gLastError = std::string("driver ") + service + " is already loaded";
    return nullptr;
  }
  auto owned = std::make_unique<LoadedDriver>(service);
  LoadedDriver& d = *owned;
  std::string file;
  PDRIVER_INITIALIZE moduleEntry = nullptr;
  ImageEntry imageEntry = nullptr;
  if (CurrentImageKind() == ImageKind::Pe) {
    const auto path = FindImage(service);
    if (!path) {
      gLastError = std::string("no Windows image ") + service + ".sys in " + ImageDirectories();
      return nullptr;
    }
    std::string error;
    const auto image = pe::Image::Load(*path, error);
    if (image) d.image = MappedImage::Map(*image, std::string(service) + ".sys", KernelExport, error);
    if (!d.image) {
      gLastError = "cannot load " + *path + ": " + error;
      return nullptr;
    }
    file = d.image->Name();
    imageEntry = reinterpret_cast<ImageEntry>(d.image->EntryPoint());
    d.module = {d.image->Base(), d.image->End(), &d.object, {}, service};
    for (const MappedSection& section : d.image->Sections())
      if (section.name == "PAGE")
        d.module.pageable = {d.image->Base() + section.rva, d.image->Base() + section.rva + section.size};
  } else {
    const std::string path = Directory() + "/" + service + ".so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      gLastError = std::string("cannot load ") + path + ": " + dlerror();
      return nullptr;
    }
    moduleEntry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (!moduleEntry) {
      gLastError = path + " has no DriverEntry";
      dlclose(handle);
      return nullptr;
    }
    file = std::string(service) + ".so";
    d.handle = handle;
    d.module = RangeOf(handle);
    d.module.driver = &d.object;
    d.module.name = service;
    d.module.pageable = PageableSectionOf(handle);
  }
  FillDriverObject(d, moduleEntry ? moduleEntry : reinterpret_cast<PDRIVER_INITIALIZE>(imageEntry));
  gDrivers.push_back(std::move(owned));
  RegisterModule(d.module);
  // An installed driver has its service key; drivers read their parameters below it.
  io::CreateRegistryKey(std::string(io::kServicesPath) + "\\" + service);

  // The registry path is only valid during DriverEntry, as on the platform: a driver that keeps the
  // pointer reads freed memory afterwards.
  auto registryPath = std::make_unique<WideText>("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                                                 std::string(service));
  UNICODE_STRING registryString = registryPath->View();
  if (Tracing()) Trace("loader: " + file + " loaded, calling DriverEntry");
  const NTSTATUS status = RunDriverCallback("DriverEntry", &d.object, [&] {
    return moduleEntry ? moduleEntry(&d.object, &registryString) : imageEntry(&d.object, &registryString);
  });
  registryPath.reset();
  // The platform frees INIT once DriverEntry has returned; what runs later must not be there.
  if (d.image) d.image->DiscardInitSections();
  if (Tracing()) {
    char text[96];
    std::snprintf(text, sizeof text, "loader: DriverEntry of %s returned 0x%08X", service, static_cast<unsigned>(status));
    Trace(text);
  }
  if (!NT_SUCCESS(status)) {
    CheckNothingLeftBehind(d, "DriverEntry");
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    gLastError = std::string("DriverEntry of ") + service + " failed with " + text;
    Forget(&d, true);
    return nullptr;
  }
  return &d.object;
}

void UnloadDriver(_DRIVER_OBJECT* driver) {
  SwitchPoint();
  LoadedDriver* d = Find(driver);
  if (!d) VerifierStop("unload of a driver that is not loaded", "UnloadDriver", driver);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierStop("driver unloaded above PASSIVE_LEVEL", "UnloadDriver", driver, d->service);
  if (!driver->DriverUnload)
    VerifierStop("unload of a driver without DriverUnload", "UnloadDriver", driver,
                 d->service + " cannot be unloaded");
  driver->Flags |= DRVO_UNLOAD_INVOKED;
  RunDriverCallback("DriverUnload", driver, [&] { driver->DriverUnload(driver); });
  RunUntilIdle();  // DPCs the unload routine queued run before the code goes away
  CheckNothingLeftBehind(*d, "DriverUnload");
  if (Tracing()) Trace("loader: " + d->service + " unloaded");
  Forget(d, true);
}

}  // namespace tarvel::kernel
