// The image loader on the shipped images and on small images made for the test: sections mapped with
// the protections their flags give, relocations applied at a base of the loader's choosing, imports
// bound to the kernel's exports by name, imports the kernel lacks refused by name, INIT freed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <wdm.h>

#include "image_builder.h"
#include "loader/pe_loader.h"
#include "tarvel/exports.h"
#include "tarvel/kernel.h"

namespace tarvel::kernel::loader {
namespace {

using tarvel::testing::ImageBuilder;

// The protection of the page at address, as /proc/self/maps shows it ("r-x").
std::string ProtectionAt(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    uintptr_t begin = 0, end = 0;
    char protection[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, protection) == 3 && at >= begin && at < end)
      return std::string(protection, 3);
  }
  return "unmapped";
}

std::unique_ptr<MappedImage> MapFile(const std::string& path, const ExportLookup& exports, std::string& error) {
  const auto image = pe::Image::Load(path, error);
  if (!image) return nullptr;
  return MappedImage::Map(*image, path.substr(path.rfind('/') + 1), exports, error);
}

std::unique_ptr<MappedImage> MapBytes(const ImageBuilder& builder, const std::string& name, std::string& error) {
  const auto image = pe::Image::Parse(builder.Build(), error);
  if (!image) return nullptr;
  return MappedImage::Map(*image, name, FindExport, error);
}

const void* KernelExport(const std::string& dll, const std::string& name) { return FindExport(dll, name); }

#ifdef TARVEL_WINDOWS_DIR
const std::string kImages[] = {TARVEL_WINDOWS_DIR "/comdriver/usb/tarvelpipe.sys",
                               TARVEL_WINDOWS_DIR "/comdriver/vcom/win2k/sys/tarvelport.sys",
                               TARVEL_WINDOWS_DIR "/tests/drivers/tarveltest.sys"};

TEST(ImageLoader, MapsTheShippedImagesSectionBySectionRelocatedAndBoundToTheKernel) {
  for (const std::string& path : kImages) {
    SCOPED_TRACE(path);
    std::string error;
    const auto file = pe::Image::Load(path, error);
    ASSERT_TRUE(file) << error;
    const auto image = MappedImage::Map(*file, "image.sys", KernelExport, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_NE(reinterpret_cast<uint64_t>(image->Base()), file->ImageBase()) << "relocations are exercised";

    for (const MappedSection& s : image->Sections()) {
      const char* expected = s.Executable() ? "r-x" : (s.characteristics & pe::kSectionWrite) ? "rw-" : "r--";
      EXPECT_EQ(ProtectionAt(image->Base() + s.rva), expected) << s.name;
    }
    for (const pe::Import& i : file->Imports()) {
      const void* slot;
      std::memcpy(&slot, image->Base() + i.slotRva, 8);
      EXPECT_NE(slot, nullptr) << i.dll << "!" << i.name;
      EXPECT_EQ(slot, FindExport(i.dll, i.name)) << i.dll << "!" << i.name;
    }
    // Every relocated pointer still points at the same place in the image.
    for (const pe::Relocation& r : file->Relocations()) {
      if (r.type != pe::kRelocationDir64) continue;
      const pe::Section* s = nullptr;
      for (const pe::Section& candidate : file->Sections())
        if (candidate.Contains(r.rva)) s = &candidate;
      ASSERT_NE(s, nullptr);
      uint64_t inFile, inMemory;
      std::memcpy(&inFile, file->Bytes().data() + s->rawOffset + (r.rva - s->virtualAddress), 8);
      std::memcpy(&inMemory, image->Base() + r.rva, 8);
      EXPECT_EQ(inMemory - reinterpret_cast<uint64_t>(image->Base()), inFile - file->ImageBase());
    }

    const pe::Section* init = file->FindSection("INIT");
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(ProtectionAt(image->Base() + init->virtualAddress), "r-x");
    image->DiscardInitSections();
    EXPECT_EQ(ProtectionAt(image->Base() + init->virtualAddress), "---");
    EXPECT_EQ(ProtectionAt(image->Base() + file->FindSection(".text")->virtualAddress), "r-x");
  }
}

TEST(ImageLoader, ReportsNameTheImagesRoutinesFromItsSymbolTable) {
  std::string error;
  const auto file = pe::Image::Load(kImages[0], error);
  ASSERT_TRUE(file) << error;
  const auto image = MappedImage::Map(*file, "tarvelpipe.sys", KernelExport, error);
  ASSERT_NE(image, nullptr) << error;
  const pe::Routine* addDevice = nullptr;
  for (const pe::Routine& r : file->Routines())
    if (r.name.find("PipeAddDevice") != std::string::npos) addDevice = &r;
  ASSERT_NE(addDevice, nullptr);
  const pe::Section* page = file->FindSection("PAGE");
  ASSERT_TRUE(page && page->Contains(addDevice->rva)) << "AddDevice is pageable code";
  char expected[96];
  std::snprintf(expected, sizeof expected, "PipeAddDevice+0x3 in tarvelpipe.sys PAGE+0x%x",
                addDevice->rva + 3 - page->virtualAddress);
  EXPECT_EQ(DescribeImageAddress(image->Base() + addDevice->rva + 3), expected);
}

TEST(ImageLoader, TheCRunTimeRoutinesAreMicrosoftAbiEntriesNotTheHostsOwn) {
  const void* memcpyExport = FindExport("ntoskrnl.exe", "memcpy");
  ASSERT_NE(memcpyExport, nullptr);
  EXPECT_NE(memcpyExport, reinterpret_cast<const void*>(&std::memcpy));
  using MsMemset = void*(__attribute__((ms_abi)) *)(void*, int, size_t);
  char buffer[8] = "abcdefg";
  reinterpret_cast<MsMemset>(const_cast<void*>(FindExport("NTOSKRNL.EXE", "memset")))(buffer + 2, 'x', 3);
  EXPECT_STREQ(buffer, "abxxxfg");
  // The platform's 16-bit wcslen, not the host's 32-bit one.
  using MsWcslen = size_t(__attribute__((ms_abi)) *)(const wchar_t*);
  EXPECT_EQ(reinterpret_cast<MsWcslen>(const_cast<void*>(FindExport("ntoskrnl.exe", "wcslen")))(L"abc"), 3u);
  EXPECT_EQ(FindExport("HAL.dll", "KeQueryPerformanceCounter"), FindExport("ntoskrnl.exe", "KeQueryPerformanceCounter"));
  EXPECT_EQ(FindExport("ntoskrnl.exe", "USBD_ParseDescriptors"), nullptr) << "each DLL exports its own routines";
  EXPECT_NE(FindExport("usbd.sys", "USBD_ParseDescriptors"), nullptr);
}

TEST(ImageLoader, RefusesAnImageThatImportsWhatTheKernelDoesNotExportNamingEveryRoutine) {
  const ExportLookup withoutTwo = [](const std::string& dll, const std::string& name) -> const void* {
    if (name == "KeSetTimer" || name == "USBD_ParseConfigurationDescriptorEx") return nullptr;
    return FindExport(dll, name);
  };
  std::string error;
  EXPECT_EQ(MapFile(kImages[0], withoutTwo, error), nullptr);
  EXPECT_EQ(error,
            "tarvelpipe.sys imports routines the emulated kernel does not export: ntoskrnl.exe!KeSetTimer "
            "USBD.SYS!USBD_ParseConfigurationDescriptorEx");
}
#endif

TEST(ImageLoader, RefusesImagesItCannotMapSafely) {
  const std::vector<uint8_t> ret = {0xc3};
  std::string error;
  {
    ImageBuilder b;  // the routine exists, but another DLL exports it
    b.SetEntryPoint(b.AddSection(".text", ret, ImageBuilder::kCode));
    b.AddImport("HAL.dll", "USBD_ParseDescriptors");
    EXPECT_EQ(MapBytes(b, "wrongdll.sys", error), nullptr);
    EXPECT_EQ(error, "wrongdll.sys imports a routine the emulated kernel does not export: HAL.dll!USBD_ParseDescriptors");
  }
  {
    ImageBuilder b;
    b.AddSection(".text", ret, ImageBuilder::kCode);
    b.SetEntryPoint(b.AddSection(".data", std::vector<uint8_t>(16), ImageBuilder::kData));
    EXPECT_EQ(MapBytes(b, "dataentry.sys", error), nullptr);
    EXPECT_NE(error.find("entry point 0x2000 is not in a code section"), std::string::npos) << error;
  }
  {
    ImageBuilder b;
    b.SetEntryPoint(b.AddSection(".text", ret, ImageBuilder::kCode));
    b.AddRelocation(0x2ffc);  // its 8 bytes run past the end of the image (.text, then .reloc)
    EXPECT_EQ(MapBytes(b, "reloc.sys", error), nullptr);
    EXPECT_NE(error.find("base relocation at 0x2ffc lies outside the image's sections"), std::string::npos) << error;
  }
  {
    ImageBuilder b;
    b.SetEntryPoint(b.AddSection(".text", ret, ImageBuilder::kCode));
    std::vector<uint8_t> bytes = b.Build();
    bytes[0x44] = 0x4c, bytes[0x45] = 0x01;  // i386
    const auto image = pe::Image::Parse(bytes, error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(MappedImage::Map(*image, "x86.sys", FindExport, error), nullptr);
    EXPECT_EQ(error, "x86.sys is not an x64 image (machine 0x14c)");
  }
}

TEST(ImageLoader, RelocatesPointersOfAHandMadeImage) {
  ImageBuilder b;
  const uint32_t text = b.AddSection(".text", {0xc3}, ImageBuilder::kCode);
  b.SetEntryPoint(text);
  std::vector<uint8_t> data(16, 0);
  const uint64_t pointer = ImageBuilder::kPreferredBase + text;
  std::memcpy(data.data() + 8, &pointer, 8);
  const uint32_t dataRva = b.AddSection(".data", data, ImageBuilder::kData);
  b.AddRelocation(dataRva + 8);
  std::string error;
  const auto image = MapBytes(b, "pointers.sys", error);
  ASSERT_NE(image, nullptr) << error;
  void* relocated;
  std::memcpy(&relocated, image->Base() + dataRva + 8, 8);
  EXPECT_EQ(relocated, image->Base() + text);
  EXPECT_EQ(image->Describe(image->Base() + dataRva + 8), "pointers.sys .data+0x8");
  EXPECT_EQ(DescribeImageAddress(image->Base() + text), "pointers.sys .text+0x0");
  EXPECT_EQ(DescribeImageAddress(&error), std::nullopt);
}

// A routine in .text that calls one in INIT, as an AddDevice would that calls a routine placed in INIT.
ImageBuilder CallsIntoInit(uint32_t& text) {
  ImageBuilder b;
  text = b.NextRva();
  const uint32_t init = text + 0x1000;
  const int32_t rel = int32_t(init - (text + 5));
  std::vector<uint8_t> call = {0xe8, 0, 0, 0, 0, 0xc3};
  std::memcpy(&call[1], &rel, 4);
  b.AddSection(".text", call, ImageBuilder::kCode);
  b.SetEntryPoint(b.AddSection("INIT", {0xb8, 0x2a, 0, 0, 0, 0xc3}, ImageBuilder::kInitCode));  // mov $42, %eax
  return b;
}

using ImageLoaderDeathTest = ::testing::Test;

TEST_F(ImageLoaderDeathTest, ACallIntoInitAfterDriverEntryReturnedIsReportedAsSuch) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint32_t text = 0;
  std::string error;
  const auto image = MapBytes(CallsIntoInit(text), "initcall.sys", error);
  ASSERT_NE(image, nullptr) << error;
  using Routine = int(__attribute__((ms_abi)) *)();
  const auto routine = reinterpret_cast<Routine>(image->Base() + text);
  EXPECT_EQ(routine(), 42) << "INIT runs until it is discarded";
  image->DiscardInitSections();
  EXPECT_DEATH(routine(),
               "VERIFIER STOP: call into the discarded INIT section in initcall.sys on .*: initcall.sys INIT\\+0x0 is in "
               "a section freed after DriverEntry returned; the return address on the stack is initcall.sys "
               "\\.text\\+0x5");
}

class ImageLoaderOnTheMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvel-images-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    Boot();
    SetImageKind(ImageKind::Pe);
    SetImageDirectory(directory);
  }
  void TearDown() override {
    if (Booted()) Shutdown();
    std::remove((directory + "/refused.sys").c_str());
    rmdir(directory.c_str());
  }
  std::string directory;
};

TEST_F(ImageLoaderOnTheMachine, LoadDriverRefusesAnImageWithAnImportTheKernelLacks) {
  ImageBuilder b;
  b.SetEntryPoint(b.AddSection(".text", {0x31, 0xc0, 0xc3}, ImageBuilder::kCode));
  b.AddImport("ntoskrnl.exe", "KeSetTimer");
  b.AddImport("ntoskrnl.exe", "KeNoSuchRoutine");
  const std::vector<uint8_t> bytes = b.Build();
  std::ofstream(directory + "/refused.sys", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                     std::streamsize(bytes.size()));
  EXPECT_EQ(LoadDriver("refused"), nullptr);
  EXPECT_EQ(LastLoadError(), "cannot load " + directory + "/refused.sys: refused.sys imports a routine the emulated "
                             "kernel does not export: ntoskrnl.exe!KeNoSuchRoutine");
  EXPECT_TRUE(LoadedDrivers().empty());
  EXPECT_EQ(LoadDriver("absent"), nullptr);
  EXPECT_EQ(LastLoadError(), "no Windows image absent.sys in " + directory);
}

}  // namespace
}  // namespace tarvel::kernel::loader
