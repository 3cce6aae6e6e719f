// The image check over the built images and over copies broken on purpose: each broken rule is
// reported, and a sound image reports nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>

#include "image_rules.h"
#include "instruction_rules.h"

namespace pe = tarvel::kernel::loader::pe;
using namespace tarvel::imagecheck;

namespace {

const std::string kWindows = TARVEL_WINDOWS_DIR;
const std::string kTestImage = kWindows + "/tests/drivers/tarveltest.sys";
const std::string kPipeImage = kWindows + "/comdriver/usb/tarvelpipe.sys";
const std::string kPortImage = kWindows + "/comdriver/vcom/win2k/sys/tarvelport.sys";
const std::string kExportsImage = kWindows + "/tests/imagecheck/badexports.sys";
const std::string kPrivilegedImage = kWindows + "/tests/imagecheck/badprivileged.sys";
const std::string kObjdump = "x86_64-w64-mingw32-objdump";

pe::Image LoadImage(const std::string& path) {
  std::string error;
  auto image = pe::Image::Load(path, error);
  if (!image) {
    throw std::runtime_error(error);
  }
  return *image;
}

// A copy of the image with its bytes changed by patch, the checksum written again afterwards
// unless keepChecksum, so that only the planted fault differs.
pe::Image Patched(const pe::Image& image, const std::function<void(std::vector<uint8_t>&)>& patch,
                  bool keepChecksum = false) {
  std::vector<uint8_t> bytes(image.Bytes().begin(), image.Bytes().end());
  patch(bytes);
  if (!keepChecksum) {
    const uint32_t checksum = pe::ComputeChecksum(bytes, image.ChecksumOffset());
    std::memcpy(&bytes[image.ChecksumOffset()], &checksum, 4);
  }
  std::string error;
  auto copy = pe::Image::Parse(std::move(bytes), error);
  EXPECT_TRUE(copy) << error;
  return *copy;
}

size_t SectionHeaderOffset(const pe::Image& image, const std::string& name) {
  const auto bytes = image.Bytes();
  uint32_t peOffset = 0;
  uint16_t optionalSize = 0, count = 0;
  std::memcpy(&peOffset, &bytes[0x3c], 4);
  std::memcpy(&count, &bytes[peOffset + 6], 2);
  std::memcpy(&optionalSize, &bytes[peOffset + 20], 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = peOffset + 24 + optionalSize + i * 40;
    if (std::strncmp(reinterpret_cast<const char*>(&bytes[at]), name.c_str(), 8) == 0) {
      return at;
    }
  }
  ADD_FAILURE() << "no section " << name;
  return 0;
}

std::string Joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const auto& p : problems) {
    text += p + "\n";
  }
  return text;
}

std::vector<std::string> InstructionProblems(const std::string& path) {
  std::string error;
  const std::string listing = Disassemble(kObjdump, path, error);
  EXPECT_FALSE(listing.empty()) << error;
  return CheckInstructions(LoadImage(path), ParseDisassembly(listing));
}

Version InfVersion() {
  std::string error;
  auto version = ReadDriverVer(std::string(TARVEL_SOURCE_DIR) + "/package/tarvel.inf", error);
  EXPECT_TRUE(version) << error;
  return version.value_or(Version{});
}

}  // namespace

TEST(ImageCheck, ShippedImagesKeepEveryRule) {
  for (const std::string& path : {kTestImage, kPipeImage, kPortImage}) {
    const pe::Image image = LoadImage(path);
    EXPECT_EQ(Joined(CheckHeaders(image)), "") << path;
    EXPECT_EQ(Joined(CheckSections(image)), "") << path;
    EXPECT_EQ(Joined(CheckVersion(image, InfVersion())), "") << path;
    EXPECT_EQ(Joined(InstructionProblems(path)), "") << path;
    ASSERT_NE(image.FindSection("INIT"), nullptr) << path;
  }
}

TEST(ImageCheck, RefusesAnImageThatExportsASymbol) {
  const auto problems = CheckHeaders(LoadImage(kExportsImage));
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("exports 1 symbols (TarvelExportedCounter)"), std::string::npos) << problems[0];
}

TEST(ImageCheck, RefusesTheDllFlagAndAWrongChecksum) {
  const pe::Image image = LoadImage(kTestImage);
  const pe::Image dll = Patched(image, [&](auto& bytes) { bytes[image.CharacteristicsOffset() + 1] |= 0x20; });
  auto problems = CheckHeaders(dll);
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("IMAGE_FILE_DLL"), std::string::npos) << problems[0];

  // One byte of the code changed after linking: the stored checksum no longer matches.
  const pe::Image changed = Patched(
      image, [&](auto& bytes) { bytes[image.FindSection(".text")->rawOffset] ^= 0x01; }, /*keepChecksum=*/true);
  problems = CheckHeaders(changed);
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("checksum"), std::string::npos) << problems[0];
}

TEST(ImageCheck, RefusesSectionsTheDriverKitWouldNotMake) {
  const pe::Image image = LoadImage(kTestImage);
  auto setFlags = [&](const std::string& name, auto change) {
    return Patched(image, [&](auto& bytes) {
      uint32_t flags = 0;
      const size_t at = SectionHeaderOffset(image, name) + 36;
      std::memcpy(&flags, &bytes[at], 4);
      flags = change(flags);
      std::memcpy(&bytes[at], &flags, 4);
    });
  };
  auto problems = CheckSections(setFlags("INIT", [](uint32_t f) { return f & ~pe::kSectionDiscardable; }));
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("INIT"), std::string::npos);
  EXPECT_NE(problems[0].find("not discardable"), std::string::npos);

  problems = CheckSections(setFlags("PAGE", [](uint32_t f) { return f & ~pe::kSectionExecute; }));
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("PAGE"), std::string::npos);

  problems = CheckSections(setFlags(".rdata", [](uint32_t f) { return f | pe::kSectionExecute | pe::kSectionCode; }));
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems[0].find(".rdata holds code"), std::string::npos) << problems[0];
}

TEST(ImageCheck, VersionMustBeTheInfDriverVer) {
  const pe::Image image = LoadImage(kPortImage);
  EXPECT_EQ(InfVersion(), (Version{1, 0, 0, 0}));
  const auto problems = CheckVersion(image, Version{1, 0, 0, 1});
  ASSERT_EQ(problems.size(), 2u) << Joined(problems);
  EXPECT_NE(problems[0].find("file version 1.0.0.0 is not the INF's DriverVer 1.0.0.1"), std::string::npos)
      << problems[0];
  EXPECT_NE(problems[1].find("product version"), std::string::npos);
}

TEST(ImageCheck, RefusesPrivilegedInstructionsThatAreNotEmulated) {
  const auto problems = InstructionProblems(kPrivilegedImage);
  const std::string text = Joined(problems);
  ASSERT_EQ(problems.size(), 3u) << text;
  EXPECT_NE(text.find("in ReadLstar: `rdmsr"), std::string::npos) << text;
  EXPECT_NE(text.find("in ReadCr3: `mov    %cr3,"), std::string::npos) << text;
  EXPECT_NE(text.find("in AddSystemTime: `add    (%rax),"), std::string::npos) << text;
  // The supported forms in the same image (CR8, the shared page's system time) are not reported.
  EXPECT_EQ(text.find("%cr8"), std::string::npos) << text;
}

TEST(ImageCheck, DamagedFilesAreErrorsNotCrashes) {
  const pe::Image image = LoadImage(kPortImage);
  std::string error;
  for (size_t size : {size_t(0), size_t(0x40), size_t(0x100), size_t(0x400), image.Bytes().size() / 2}) {
    std::vector<uint8_t> truncated(image.Bytes().begin(), image.Bytes().begin() + long(size));
    error.clear();
    EXPECT_FALSE(pe::Image::Parse(truncated, error)) << size;
    EXPECT_FALSE(error.empty()) << size;
  }
  // An import name pointing outside the image.
  std::vector<uint8_t> bytes(image.Bytes().begin(), image.Bytes().end());
  uint32_t peOffset = 0;
  std::memcpy(&peOffset, &bytes[0x3c], 4);
  const size_t importDirectory = peOffset + 24 + 112 + 8;
  const uint32_t hugeRva = 0x7fffff00;
  std::memcpy(&bytes[importDirectory], &hugeRva, 4);
  EXPECT_FALSE(pe::Image::Parse(bytes, error));
  EXPECT_NE(error.find("import directory"), std::string::npos) << error;
}
