// The registry: value records in the platform's layouts and their rules for small buffers, the device
// map, device hardware keys, handles, and registry reads as a fault-injection site.
#include <cstring>
#include <string>
#include <vector>

#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using Registry = IoTest;

HANDLE OpenKey(const WCHAR* path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  return key;
}

struct Query {
  NTSTATUS status;
  ULONG resultLength;
  std::vector<unsigned char> buffer;
};

Query QueryValue(HANDLE key, const WCHAR* valueName, KEY_VALUE_INFORMATION_CLASS cls, ULONG length) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  Query q{0, 0xDEAD, std::vector<unsigned char>(length + 8, 0xAB)};
  q.status = ZwQueryValueKey(key, &name, cls, q.buffer.data(), length, &q.resultLength);
  return q;
}

constexpr const char* kKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\Test\\Device Parameters";

TEST_F(Registry, FullInformationPutsTheDataAfterTheNameAndReportsOverflowWithTheFixedPartFilled) {
  SetRegistryDword(kKey, "RxReqSize", 0x11223344);  // name of 9 characters: 18 bytes
  HANDLE key = OpenKey(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\Test\\Device Parameters");
  // Fixed part 20 bytes, name 18, data at 40 (4-byte aligned), 4 bytes of data: 44 in all.
  Query full = QueryValue(key, L"rxreqsize", KeyValueFullInformation, 48);
  ASSERT_EQ(full.status, STATUS_SUCCESS);
  EXPECT_EQ(full.resultLength, 44u);
  auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(full.buffer.data());
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(info->DataOffset, 40u);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(info->NameLength, 18u);
  EXPECT_EQ(info->Name[0], L'R') << "the name as it was written";
  ULONG value;
  memcpy(&value, full.buffer.data() + info->DataOffset, 4);
  EXPECT_EQ(value, 0x11223344u);

  Query overflow = QueryValue(key, L"RxReqSize", KeyValueFullInformation, 43);
  EXPECT_EQ(overflow.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(overflow.resultLength, 44u);
  info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(overflow.buffer.data());
  EXPECT_EQ(info->DataLength, 4u) << "the fixed part is filled";
  EXPECT_EQ(info->NameLength, 18u);
  EXPECT_EQ(overflow.buffer[40], 0x44) << "the part of the data that fits is copied";
  EXPECT_EQ(overflow.buffer[42], 0x22);
  EXPECT_EQ(overflow.buffer[43], 0xAB) << "and nothing beyond the buffer's length";
  Query nameOnly = QueryValue(key, L"RxReqSize", KeyValueFullInformation, 30);
  EXPECT_EQ(nameOnly.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(nameOnly.buffer.data())->Name[4], L'q');
  EXPECT_EQ(nameOnly.buffer[30], 0xAB);

  Query small = QueryValue(key, L"RxReqSize", KeyValueFullInformation, 19);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.resultLength, 44u);
  EXPECT_EQ(small.buffer[0], 0xAB) << "nothing is written below the fixed part";

  Query sizing = QueryValue(key, L"RxReqSize", KeyValueFullInformation, 0);
  EXPECT_EQ(sizing.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(sizing.resultLength, 44u);
  ZwClose(key);
}

TEST_F(Registry, PartialInformationAndMissingValues) {
  SetRegistryString(kKey, "PortName", "COM3");
  HANDLE key = OpenKey(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\Test\\Device Parameters");
  Query partial = QueryValue(key, L"PortName", KeyValuePartialInformation, 64);
  ASSERT_EQ(partial.status, STATUS_SUCCESS);
  EXPECT_EQ(partial.resultLength, 12u + 10u);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(partial.buffer.data());
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(info->DataLength, 10u);
  EXPECT_EQ(info->Data[0], 'C');
  EXPECT_EQ(info->Data[8], 0);
  Query overflow = QueryValue(key, L"PortName", KeyValuePartialInformation, 12);
  EXPECT_EQ(overflow.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(overflow.buffer.data())->DataLength, 10u);
  Query part = QueryValue(key, L"PortName", KeyValuePartialInformation, 17);
  EXPECT_EQ(part.status, STATUS_BUFFER_OVERFLOW);
  info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(part.buffer.data());
  EXPECT_EQ(info->Data[0], 'C') << "the part of the data that fits is copied";
  EXPECT_EQ(info->Data[4], 'M');
  EXPECT_EQ(info->Data[5], 0xAB) << "and nothing beyond the buffer's length";
  EXPECT_EQ(QueryValue(key, L"PortName", KeyValuePartialInformation, 11).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(QueryValue(key, L"Missing", KeyValueFullInformation, 64).status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(OpenRegistryHandles(), 0u);
  EXPECT_DEATH(ZwClose(key), "VERIFIER STOP: invalid kernel handle closed in ZwClose");
}

TEST_F(Registry, DeviceMapValuesAreWrittenAndDeletedByRelativePath) {
  const WCHAR port[] = L"COM3";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\tarvelport0", REG_SZ,
                                  const_cast<WCHAR*>(port), sizeof port),
            STATUS_SUCCESS);
  const auto value = QueryRegistryValue("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\tarvelport0");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->AsString(), "COM3");
  EXPECT_EQ(value->data.size(), 10u);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\tarvelport0"), STATUS_SUCCESS);
  EXPECT_TRUE(RegistryValues("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM").empty());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\tarvelport0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOPARENT\\SERIALCOMM", L"x", REG_DWORD, nullptr, 0),
            STATUS_OBJECT_NAME_NOT_FOUND)
      << "only the last key of the path is created";
}

TEST_F(Registry, DeviceHardwareKeyOpensForPhysicalDevicesOnlyAndItsReadsCanBeMadeToFail) {
  TestStack stack({"pdo", "fdo"});
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(stack.Top().device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
  SetDeviceNode(stack.Bottom().device, "USB\\VID_1234&PID_5678\\0001");
  SetRegistryDword(HardwareKeyPath(stack.Bottom().device), "MaximumTransferSize", 4096);
  ASSERT_EQ(IoOpenDeviceRegistryKey(stack.Bottom().device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
  Query q = QueryValue(key, L"MaximumTransferSize", KeyValuePartialInformation, 16);
  EXPECT_EQ(q.status, STATUS_SUCCESS);
  kernel::FailNth(kernel::FaultSite::Registry, 1);
  EXPECT_EQ(QueryValue(key, L"MaximumTransferSize", KeyValuePartialInformation, 16).status,
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(QueryValue(key, L"MaximumTransferSize", KeyValuePartialInformation, 16).status, STATUS_SUCCESS);
  ZwClose(key);
  kernel::FailNth(kernel::FaultSite::Registry, 1);
  EXPECT_EQ(IoOpenDeviceRegistryKey(stack.Bottom().device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(HardwareKeyPath(stack.Bottom().device),
            "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device Parameters");
}

TEST_F(Registry, RegistryRoutinesArePassiveLevelOnly) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x"),
               "VERIFIER STOP: registry routine above PASSIVE_LEVEL in RtlDeleteRegistryValue");
  KeLowerIrql(old);
}

TEST_F(Registry, QueryTablesStoreValuesDirectlyAndFallBackToDefaults) {
  SetRegistryDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\tarvelport\\Parameters", "DebugLevel", 3);
  SetRegistryString("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\tarvelport\\Parameters", "Name", "COM9");
  ULONG debugLevel = 0, missing = 0, fallback = 77;
  UNICODE_STRING name{};
  RTL_QUERY_REGISTRY_TABLE table[5] = {};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"DebugLevel", &debugLevel, REG_NONE, nullptr, 0};
  table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Name", &name, REG_NONE, nullptr, 0};
  table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Missing", &missing, REG_DWORD, &fallback, sizeof fallback};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"tarvelport\\Parameters", table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(debugLevel, 3u);
  EXPECT_EQ(missing, 77u) << "a missing value takes the entry's default";
  ASSERT_NE(name.Buffer, nullptr);
  EXPECT_EQ(name.Length, 8) << "the string without its terminator";
  EXPECT_EQ(name.Buffer[3], L'9');
  RtlFreeUnicodeString(&name);
  table[2].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"tarvelport\\Parameters", table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"absent", table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace tarvel::io::testing
