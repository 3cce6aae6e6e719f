#include "registry/value_information.h"

#include <cstddef>
#include <cstring>

namespace tarvel::registry {
namespace {

// The full record puts the data at the name's end rounded up to 4 bytes (8 for the Align64 class).
ULONG AlignUp(ULONG offset, ULONG alignment) { return (offset + alignment - 1) & ~(alignment - 1); }

void CopyName(const Value& value, WCHAR* destination, ULONG bytes) {
  for (ULONG i = 0; i < bytes / sizeof(WCHAR); ++i) destination[i] = static_cast<WCHAR>(value.name[i]);
}

}  // namespace

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass, void* buffer,
                              ULONG length, ULONG* resultLength) {
  const ULONG nameLength = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG dataLength = static_cast<ULONG>(value.data.size());
  auto* bytes = static_cast<unsigned char*>(buffer);

  switch (informationClass) {
    case KeyValueBasicInformation: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      if (resultLength != nullptr) *resultLength = fixed + nameLength;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameLength;
      const ULONG room = length - fixed;
      CopyName(value, info->Name, room < nameLength ? room : nameLength);
      return room < nameLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG dataOffset =
          AlignUp(fixed + nameLength, informationClass == KeyValueFullInformationAlign64 ? 8u : 4u);
      if (resultLength != nullptr) *resultLength = dataOffset + dataLength;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataLength;
      info->NameLength = nameLength;
      const ULONG room = length - fixed;
      CopyName(value, info->Name, room < nameLength ? room : nameLength);
      const ULONG dataRoom = length > dataOffset ? length - dataOffset : 0;
      const ULONG copied = dataRoom < dataLength ? dataRoom : dataLength;
      if (copied != 0) std::memcpy(bytes + dataOffset, value.data.data(), copied);
      return room < nameLength || copied < dataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      if (resultLength != nullptr) *resultLength = fixed + dataLength;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataLength;
      const ULONG room = length - fixed;
      const ULONG copied = room < dataLength ? room : dataLength;
      if (copied != 0) std::memcpy(info->Data, value.data.data(), copied);
      return copied < dataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace tarvel::registry
