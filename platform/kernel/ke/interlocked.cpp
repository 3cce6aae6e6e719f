// The interlocked family. Atomic by construction (one emulated thread runs at a time); each is a
// switch point, so a driver's lock-free code is interleaved with other threads under the random policy.
#include "ke/dispatcher.h"
#include "race/watchpoints.h"

using namespace tarvel::kernel;

namespace {

// Inlined into each export, so that the return address is the caller's site (for race reports).
template <class T, class F>
[[gnu::always_inline]] inline T Update(T volatile* target, F next) {
  SwitchPoint();
  // Atomic: no data race, but it may change a watched word.
  race::MarkedAccess(target, sizeof(T), __builtin_return_address(0));
  const T old = *target;
  *target = next(old);
  return old;
}

// Two's-complement wrap-around without signed overflow (the platform's intrinsics wrap).
template <class T>
T WrapAdd(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}

}  // namespace

extern "C" {

LONG InterlockedIncrement(LONG volatile* Addend) { return WrapAdd(Update(Addend, [](LONG v) { return WrapAdd(v, 1); }), 1); }
LONG InterlockedDecrement(LONG volatile* Addend) { return WrapAdd(Update(Addend, [](LONG v) { return WrapAdd(v, -1); }), -1); }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) { return Update(Target, [=](LONG) { return Value; }); }
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return Update(Addend, [=](LONG v) { return WrapAdd(v, Value); });
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand) {
  return Update(Destination, [=](LONG v) { return v == Comperand ? ExChange : v; });
}
LONG InterlockedOr(LONG volatile* Destination, LONG Value) { return Update(Destination, [=](LONG v) { return v | Value; }); }
LONG InterlockedAnd(LONG volatile* Destination, LONG Value) { return Update(Destination, [=](LONG v) { return v & Value; }); }
LONG InterlockedXor(LONG volatile* Destination, LONG Value) { return Update(Destination, [=](LONG v) { return v ^ Value; }); }

LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
  return WrapAdd<LONG64>(Update(Addend, [](LONG64 v) { return WrapAdd<LONG64>(v, 1); }), 1);
}
LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
  return WrapAdd<LONG64>(Update(Addend, [](LONG64 v) { return WrapAdd<LONG64>(v, -1); }), -1);
}
LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
  return Update(Target, [=](LONG64) { return Value; });
}
LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
  return Update(Addend, [=](LONG64 v) { return WrapAdd(v, Value); });
}
LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange, LONG64 Comperand) {
  return Update(Destination, [=](LONG64 v) { return v == Comperand ? ExChange : v; });
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return Update(Target, [=](PVOID) { return Value; });
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange, PVOID Comperand) {
  return Update(Destination, [=](PVOID v) { return v == Comperand ? ExChange : v; });
}
BOOLEAN InterlockedBitTestAndSet(LONG volatile* Base, LONG Bit) {
  const LONG mask = static_cast<LONG>(1u << (Bit & 31));
  return (Update(Base + (Bit >> 5), [=](LONG v) { return v | mask; }) & mask) != 0;
}
BOOLEAN InterlockedBitTestAndReset(LONG volatile* Base, LONG Bit) {
  const LONG mask = static_cast<LONG>(1u << (Bit & 31));
  return (Update(Base + (Bit >> 5), [=](LONG v) { return v & ~mask; }) & mask) != 0;
}

}  // extern "C"
