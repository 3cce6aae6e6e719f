#include "io/irp_records.h"

#include <algorithm>
#include <deque>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "tarvel/kernel.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TARVEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TARVEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define TARVEL_POISON(p, n) ((void)(p), (void)(n))
#define TARVEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tarvel::io {
namespace {

constexpr std::size_t kQuarantine = 4096;  // freed requests kept before their memory is reused
constexpr unsigned char kFreedPattern = 0xD5;
constexpr std::align_val_t kIrpAlignment{16};

auto& records = *new std::unordered_map<const IRP*, IrpRecord>();  // never destroyed, so still reachable when the leak checker runs at exit
auto& quarantine = *new std::deque<const IRP*>();
auto& driverMemoryIrps = *new std::unordered_set<const IRP*>();  // IoInitializeIrp on a driver's own memory
std::uint64_t nextId = 1;
std::size_t live = 0;

void Evict(const IRP* irp) {
  auto it = records.find(irp);
  if (it == records.end()) return;
  if (it->second.origin != IrpOrigin::DriverMemory) {
    TARVEL_UNPOISON(const_cast<IRP*>(irp), it->second.size);
    ::operator delete(const_cast<IRP*>(irp), kIrpAlignment);
  }
  records.erase(it);
}

}  // namespace

void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  irp->Type = 6;  // IO_TYPE_IRP
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->ApcEnvironment = 0;
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin, bool mayFail) {
  if (stackSize < 1) {
    kernel::VerifierStop("request with no stack location", "IoAllocateIrp", nullptr,
                         "StackSize " + std::to_string(static_cast<int>(stackSize)));
  }
  if (mayFail && kernel::ShouldFail(kernel::FaultSite::Irp)) return nullptr;
  const std::size_t size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(::operator new(size, kIrpAlignment));
  memset(irp, 0, size);
  InitializeIrpFields(irp, static_cast<USHORT>(size), stackSize);
  if (records.count(irp) != 0) Evict(irp);  // cannot happen while the address sits in the quarantine
  IrpRecord& record = records[irp];
  record.id = nextId++;
  record.irp = irp;
  record.size = size;
  record.origin = origin;
  record.locations.resize(static_cast<std::size_t>(stackSize) + 2);
  ++live;
  return irp;
}

IrpRecord* RegisterDriverIrp(PIRP irp, CCHAR stackSize) {
  auto it = records.find(irp);
  if (it != records.end() && it->second.freed) {
    // The driver's memory took the place of a quarantined request: forget the old one.
    quarantine.erase(std::find(quarantine.begin(), quarantine.end(), irp));
    Evict(irp);
    it = records.end();
  }
  if (it == records.end()) {
    IrpRecord& record = records[irp];
    record.id = nextId++;
    record.irp = irp;
    record.size = IoSizeOfIrp(stackSize);
    record.origin = IrpOrigin::DriverMemory;
    driverMemoryIrps.insert(irp);
    ++live;
    it = records.find(irp);
  }
  it->second.locations.assign(static_cast<std::size_t>(stackSize) + 2, LocationState{});
  it->second.completions = 0;
  return &it->second;
}

void ReleaseIrp(PIRP irp) {
  IrpRecord& record = records.at(irp);
  record.freed = true;
  record.finished = nullptr;
  --live;
  if (record.origin == IrpOrigin::DriverMemory) {
    driverMemoryIrps.erase(irp);
    records.erase(irp);
    return;
  }
  memset(irp, kFreedPattern, record.size);
  TARVEL_POISON(irp, record.size);
  quarantine.push_back(irp);
  if (quarantine.size() > kQuarantine) {
    Evict(quarantine.front());
    quarantine.pop_front();
  }
}

IrpRecord* FindIrp(const IRP* irp) {
  auto it = records.find(irp);
  return it == records.end() ? nullptr : &it->second;
}

IrpRecord* FindIrp(const IRP* irp, std::uint64_t id) {
  IrpRecord* record = FindIrp(irp);
  return record != nullptr && record->id == id ? record : nullptr;
}

IrpRecord& LiveIrp(const IRP* irp, const char* routine) {
  IrpRecord* record = FindIrp(irp);
  if (record == nullptr) {
    kernel::VerifierStop("not a request", routine, irp,
                         "the address is no request the I/O manager allocated or initialised");
  }
  if (record->freed) {
    if (record->finishedByIoManager && std::string(routine) == "IofCompleteRequest") {
      kernel::VerifierStop("request completed twice", routine, irp,
                           "the request had already been completed and freed by the I/O manager");
    }
    kernel::VerifierStop("use of a freed request", routine, irp, "the request has been freed");
  }
  return *record;
}

LocationState& Location(IrpRecord& record, int location) {
  if (location < 0 || static_cast<std::size_t>(location) >= record.locations.size()) {
    static LocationState scratch;
    scratch = {};
    return scratch;
  }
  return record.locations[static_cast<std::size_t>(location)];
}

void* NewSystemBuffer(std::size_t size) { return ::operator new(size == 0 ? 1 : size); }
void DeleteSystemBuffer(void* buffer) { ::operator delete(buffer); }

std::size_t LiveIrpCount() { return live; }

void CheckFreedMemoryForIrps(const char* routine, const void* begin, std::size_t size) {
  const auto* first = static_cast<const unsigned char*>(begin);
  for (auto it = driverMemoryIrps.begin(); it != driverMemoryIrps.end();) {
    const IRP* irp = *it;
    const auto* at = reinterpret_cast<const unsigned char*>(irp);
    if (at < first || at >= first + size) {
      ++it;
      continue;
    }
    if (irp->CurrentLocation <= irp->StackCount) {
      kernel::VerifierStop("memory of a request freed while a driver holds it", routine, irp,
                           "the request (initialised with IoInitializeIrp) is still at stack location " +
                               std::to_string(irp->CurrentLocation));
    }
    records.erase(irp);
    --live;
    it = driverMemoryIrps.erase(it);
  }
}

void ResetIrps() {
  for (const IRP* irp : driverMemoryIrps) records.erase(irp);
  driverMemoryIrps.clear();
  while (!quarantine.empty()) {
    Evict(quarantine.front());
    quarantine.pop_front();
  }
}

}  // namespace tarvel::io
