// The port's byte ring: the receive ring between the bulk-in engine and the readers, and the
// transmit ring of the buffered transmitter. Every operation holds the ring's own spin lock for its
// bookkeeping and at most two copies; nothing else is locked inside it.
#include "tarvelport.h"

namespace {

// First contiguous run from an index: an index resting at Size gives 0, so the whole transfer
// then goes to or from the start of the buffer.
inline SIZE_T FirstRun(ULONG64 Size, ULONG64 Index, SIZE_T Wanted)
{
    ULONG64 Room = Index < Size ? Size - Index : 0;
    return Wanted < Room ? Wanted : (SIZE_T)Room;
}

} // namespace

VOID RingInitialize(PRX_RING Ring)
{
    KeInitializeSpinLock(&Ring->Lock);
    Ring->Size = 0;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Buffer = NULL;
}

NTSTATUS RingAllocate(PRX_RING Ring, ULONG Size)
{
    PUCHAR Buffer = Size ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, PORT_TAG_CIRC) : NULL;

    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    // Callers allocate only a ring without a buffer; one that still holds a buffer gives it up
    // here rather than losing track of it.
    PUCHAR Old = Ring->Buffer;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Buffer = Buffer;
    Ring->Size = Buffer ? Size : 0;
    KeReleaseSpinLock(&Ring->Lock, OldIrql);

    if (Old) {
        ExFreePoolWithTag(Old, PORT_TAG_CIRC);
    }
    return Buffer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS RingResize(PRX_RING Ring, ULONG NewSize)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    if (NewSize < Ring->Size) {
        KeReleaseSpinLock(&Ring->Lock, OldIrql);
        return STATUS_INVALID_PARAMETER;
    }
    if (NewSize == Ring->Size) {
        KeReleaseSpinLock(&Ring->Lock, OldIrql);
        return STATUS_SUCCESS;
    }

    PUCHAR Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, NewSize, PORT_TAG_CIRC);
    if (!Buffer) {
        KeReleaseSpinLock(&Ring->Lock, OldIrql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUCHAR Old = Ring->Buffer;
    if (Old) {
        // The bytes held, oldest first, to the start of the new buffer.
        SIZE_T First = FirstRun(Ring->Size, Ring->ReadIndex, (SIZE_T)Ring->Count);
        RtlCopyMemory(Buffer, Old + Ring->ReadIndex, First);
        RtlCopyMemory(Buffer + First, Old, (SIZE_T)Ring->Count - First);
        Ring->WriteIndex = Ring->Count;
    } else {
        Ring->Count = 0;
        Ring->WriteIndex = 0;
    }
    Ring->ReadIndex = 0;
    Ring->Size = NewSize;
    Ring->Buffer = Buffer;
    KeReleaseSpinLock(&Ring->Lock, OldIrql);

    if (Old) {
        ExFreePoolWithTag(Old, PORT_TAG_CIRC);
    }
    return STATUS_SUCCESS;
}

VOID RingFree(PRX_RING Ring)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    PUCHAR Old = Ring->Buffer;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Size = 0;
    Ring->Buffer = NULL;
    KeReleaseSpinLock(&Ring->Lock, OldIrql);

    if (Old) {
        ExFreePoolWithTag(Old, PORT_TAG_CIRC);
    }
}

ULONG64 RingFlush(PRX_RING Ring)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    ULONG64 Dropped = Ring->Count;
    Ring->Count = 0;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    KeReleaseSpinLock(&Ring->Lock, OldIrql);
    return Dropped;
}

SIZE_T RingPut(PRX_RING Ring, const UCHAR* Source, SIZE_T Length)
{
    if (Length == 0) {
        return 0;
    }

    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    SIZE_T Stored = 0;
    if (Ring->Buffer && Ring->Count < Ring->Size) {
        ULONG64 Room = Ring->Size - Ring->Count;
        Stored = Length < Room ? Length : (SIZE_T)Room;
        SIZE_T First = FirstRun(Ring->Size, Ring->WriteIndex, Stored);
        RtlCopyMemory(Ring->Buffer + (First ? Ring->WriteIndex : 0), Source, First);
        if (First == Stored) {
            Ring->WriteIndex += Stored;
        } else {
            RtlCopyMemory(Ring->Buffer, Source + First, Stored - First);
            Ring->WriteIndex = Stored - First;
        }
        Ring->Count += Stored;
    }
    KeReleaseSpinLock(&Ring->Lock, OldIrql);
    return Stored;
}

SIZE_T RingGet(PUCHAR Destination, PRX_RING Ring, SIZE_T Maximum)
{
    if (Maximum == 0) {
        return 0;
    }

    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    SIZE_T Taken = 0;
    if (Ring->Buffer && Ring->Count != 0) {
        Taken = Maximum < Ring->Count ? Maximum : (SIZE_T)Ring->Count;
        SIZE_T First = FirstRun(Ring->Size, Ring->ReadIndex, Taken);
        RtlCopyMemory(Destination, Ring->Buffer + (First ? Ring->ReadIndex : 0), First);
        if (First == Taken) {
            Ring->ReadIndex += Taken;
        } else {
            RtlCopyMemory(Destination + First, Ring->Buffer, Taken - First);
            Ring->ReadIndex = Taken - First;
        }
        Ring->Count -= Taken;
    }
    KeReleaseSpinLock(&Ring->Lock, OldIrql);
    return Taken;
}

ULONG64 RingCount(PRX_RING Ring)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
    ULONG64 Count = Ring->Count;
    KeReleaseSpinLock(&Ring->Lock, OldIrql);
    return Count;
}
