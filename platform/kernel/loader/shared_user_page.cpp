#include "loader/shared_user_page.h"

#include <wdm.h>

#include <cstring>

#include "loader/privileged.h"

namespace tarvel::kernel::loader {
namespace {

// The fields provided, each a run of bytes of the page.
struct Field {
  uint32_t offset;
  uint32_t size;
};
constexpr Field kFields[] = {{0x000, 4},  // TickCountLowDeprecated
                             {kSharedTickCountMultiplier, 4},
                             {kSharedInterruptTime, 12},
                             {kSharedSystemTime, 12},
                             {kSharedTimeZoneBias, 12},
                             {kSharedTickCount, 16}};  // with its pad, as TickCountQuad overlays it

void PutSystemTime(uint8_t* page, uint32_t offset, uint64_t value) {
  const uint32_t low = uint32_t(value), high = uint32_t(value >> 32);
  std::memcpy(page + offset, &low, 4);
  std::memcpy(page + offset + 4, &high, 4);  // High1Time
  std::memcpy(page + offset + 8, &high, 4);  // High2Time, equal when the value is consistent
}

}  // namespace

std::optional<uint64_t> ReadSharedUserData(uint64_t address, unsigned size) {
  if (size == 0 || size > 8 || !InSharedUserPage(address, size)) return std::nullopt;
  const auto offset = uint32_t(address - kSharedUserPage);
  bool provided = false;
  for (const Field& f : kFields)
    if (offset >= f.offset && offset + size <= f.offset + f.size) provided = true;
  if (!provided) return std::nullopt;

  uint8_t page[0x330] = {};
  LARGE_INTEGER now, ticks;
  KeQuerySystemTime(&now);
  KeQueryTickCount(&ticks);
  const ULONG increment = KeQueryTimeIncrement();
  const uint32_t tickLow = uint32_t(ticks.QuadPart);
  // Milliseconds per tick in 8.24 fixed point: TickCount * multiplier >> 24 is the uptime in ms.
  const uint32_t multiplier = uint32_t((uint64_t(increment) << 24) / 10'000);
  std::memcpy(page, &tickLow, 4);
  std::memcpy(page + kSharedTickCountMultiplier, &multiplier, 4);
  PutSystemTime(page, kSharedInterruptTime, KeQueryInterruptTime());
  PutSystemTime(page, kSharedSystemTime, uint64_t(now.QuadPart));
  PutSystemTime(page, kSharedTimeZoneBias, 0);  // the machine keeps UTC
  PutSystemTime(page, kSharedTickCount, uint64_t(ticks.QuadPart));
  uint64_t value = 0;
  std::memcpy(&value, page + offset, size);
  return value;
}

}  // namespace tarvel::kernel::loader
