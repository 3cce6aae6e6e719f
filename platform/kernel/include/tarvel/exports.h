// The routines the emulated kernel and its libraries offer to Windows images, under the names an image
// imports them by (ntoskrnl.exe!IoCreateDevice, USBD.SYS!USBD_ParseConfigurationDescriptorEx). The
// image loader binds an image's import slots to them directly, so each one must be a Microsoft x64 ABI
// routine: TARVEL_EXPORT refuses at compile time a routine declared with another calling convention.
#pragma once

#include <span>
#include <string_view>

namespace tarvel::kernel {

struct Export {
  const char* name;      // as the image imports it
  const void* routine;
};

// Whether a routine pointer's type carries the Microsoft x64 calling convention.
template <class R, class... A>
constexpr bool IsMsAbi(R(__attribute__((ms_abi)) *)(A...)) { return true; }
template <class R, class... A>
constexpr bool IsMsAbi(R(__attribute__((ms_abi)) *)(A..., ...)) { return true; }
template <class R, class... A>
constexpr bool IsMsAbi(R (*)(A...)) { return false; }
template <class R, class... A>
constexpr bool IsMsAbi(R (*)(A..., ...)) { return false; }

// The calling convention of the boundary between the kernel and its drivers: the Microsoft x64 one,
// in the Linux build too, so that a driver module and a Windows image are called alike.
inline constexpr bool kBoundaryIsMsAbi = true;

// A routine's address as the table holds it. A macro, not a template: clang gives a routine type in the
// Microsoft convention and the same type in the host's one the same mangled name, so one template
// instantiated for both would be defined twice.
#define TARVEL_ROUTINE_ADDRESS(routine) reinterpret_cast<const void*>(routine)

// The table of a DLL ("ntoskrnl.exe", "HAL.dll", "USBD.SYS"; case does not matter, as on the
// platform). A library registers its table once when it is loaded; the entries live as long as it.
void RegisterExports(std::string_view dll, std::span<const Export> exports);
void UnregisterExports(std::string_view dll);
// The routine a DLL exports under name, or nullptr.
const void* FindExport(std::string_view dll, std::string_view name);

}  // namespace tarvel::kernel

// An export under the routine's own name, and one under another (the C run-time names).
#define TARVEL_EXPORT(routine) TARVEL_EXPORT_AS(#routine, routine)
#define TARVEL_EXPORT_AS(name, routine)                                                                   \
  ::tarvel::kernel::Export {                                                                              \
    [] {                                                                                                  \
      static_assert(::tarvel::kernel::IsMsAbi(&routine) == ::tarvel::kernel::kBoundaryIsMsAbi,             \
                    #routine " is offered to Windows images but not declared with the Microsoft x64 ABI"); \
      return name;                                                                                        \
    }(),                                                                                                  \
        TARVEL_ROUTINE_ADDRESS(&routine)                                                        \
  }
