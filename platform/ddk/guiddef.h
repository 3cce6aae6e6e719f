// GUIDs and DEFINE_GUID (guiddef.h). Without INITGUID, DEFINE_GUID declares the GUID; after
// initguid.h it defines it. A definition is weak and hidden: several translation units of one module
// may define the same GUID, and two modules never bind to each other's copy, as two images each keep
// their own on the platform. Like the platform's header, the DEFINE_GUID part is read again on every
// inclusion, so that initguid.h can switch it to definitions.

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
#endif

#ifndef TARVEL_GUIDDEF_TYPES
#define TARVEL_GUIDDEF_TYPES
typedef GUID *LPGUID, *PGUID;
typedef const GUID *LPCGUID, *PCGUID;
typedef GUID IID, CLSID;
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&

extern "C++" {
// Field by field, so that a comparison in driver code needs no run-time library routine.
inline int InlineIsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return 0;
    for (unsigned i = 0; i < sizeof(a.Data4); ++i) {
        if (a.Data4[i] != b.Data4[i])
            return 0;
    }
    return 1;
}
inline int IsEqualGUID(REFGUID a, REFGUID b) {
    return InlineIsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b) != 0;
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !(a == b);
}
}
#endif

#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                         \
    extern "C" __attribute__((weak, visibility("hidden")))                                                   \
    const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                         \
    extern "C" __attribute__((visibility("hidden"))) const GUID name
#endif
