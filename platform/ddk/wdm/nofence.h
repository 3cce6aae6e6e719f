// Marked plain accesses (part of wdm.h on current kits): a read or write of one naturally aligned word
// that the caller knows other processors may touch at the same time, without a lock and without a
// fence. On x64 each is one volatile load or store. They tell the reader (and the race configuration's
// watchpoints) that the unlocked access is intended; they order nothing.
//
// Needs only the basic types (CHAR ... LONG64, PVOID, BOOLEAN, FORCEINLINE), so that the Windows image,
// whose mingw-w64 kit lacks these, takes the same definitions (comdriver/common/driverkit.h).
#pragma once

#define TARVEL_NOFENCE_PAIR(Read, Write, Type)                                                              \
    FORCEINLINE Type Read(Type const volatile* Source) { return *Source; }                                  \
    FORCEINLINE void Write(Type volatile* Destination, Type Value) { *Destination = Value; }

TARVEL_NOFENCE_PAIR(ReadNoFence8, WriteNoFence8, CHAR)
TARVEL_NOFENCE_PAIR(ReadNoFence16, WriteNoFence16, SHORT)
TARVEL_NOFENCE_PAIR(ReadNoFence, WriteNoFence, LONG)
TARVEL_NOFENCE_PAIR(ReadNoFence64, WriteNoFence64, LONG64)
TARVEL_NOFENCE_PAIR(ReadPointerNoFence, WritePointerNoFence, PVOID)
TARVEL_NOFENCE_PAIR(ReadBooleanNoFence, WriteBooleanNoFence, BOOLEAN)
TARVEL_NOFENCE_PAIR(ReadUCharNoFence, WriteUCharNoFence, UCHAR)
TARVEL_NOFENCE_PAIR(ReadUShortNoFence, WriteUShortNoFence, USHORT)
TARVEL_NOFENCE_PAIR(ReadULongNoFence, WriteULongNoFence, ULONG)
TARVEL_NOFENCE_PAIR(ReadULong64NoFence, WriteULong64NoFence, ULONG64)

#undef TARVEL_NOFENCE_PAIR
