// tarvel-image-check: checks built driver images the way CI does.
//   tarvel-image-check [--inf FILE] [--objdump PROGRAM] IMAGE.sys...
// Prints each problem as "IMAGE: problem" and exits 1 if there is any; 2 on a usage error.
#include <iostream>
#include <string>
#include <vector>

#include "image_rules.h"
#include "instruction_rules.h"

namespace pe = tarvel::kernel::loader::pe;
using namespace tarvel::imagecheck;

int main(int argc, char** argv) {
  std::string inf, objdump = "x86_64-w64-mingw32-objdump";
  std::vector<std::string> images;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--inf" || arg == "--objdump") && i + 1 < argc) {
      (arg == "--inf" ? inf : objdump) = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "usage: tarvel-image-check [--inf FILE] [--objdump PROGRAM] IMAGE.sys...\n";
      return 2;
    } else {
      images.push_back(arg);
    }
  }
  if (images.empty()) {
    std::cerr << "usage: tarvel-image-check [--inf FILE] [--objdump PROGRAM] IMAGE.sys...\n";
    return 2;
  }
  std::optional<Version> version;
  if (!inf.empty()) {
    std::string error;
    version = ReadDriverVer(inf, error);
    if (!version) {
      std::cerr << error << "\n";
      return 2;
    }
  }

  bool failed = false;
  for (const std::string& path : images) {
    std::string error;
    auto image = pe::Image::Load(path, error);
    std::vector<std::string> problems;
    auto add = [&](const std::vector<std::string>& found) { problems.insert(problems.end(), found.begin(), found.end()); };
    if (!image) {
      problems.push_back(error);
    } else {
      add(CheckHeaders(*image));
      add(CheckSections(*image));
      if (version) {
        add(CheckVersion(*image, *version));
      }
      const std::string listing = Disassemble(objdump, path, error);
      if (listing.empty()) {
        problems.push_back(error);
      } else {
        add(CheckInstructions(*image, ParseDisassembly(listing)));
      }
    }
    for (const std::string& problem : problems) {
      std::cerr << path << ": " << problem << "\n";
    }
    if (problems.empty()) {
      std::cout << path << ": a driver image: native PE32+, no exports, checksum valid, sections and "
                << (version ? "version " + VersionText(*version) + ", " : std::string())
                << "privileged instructions all emulated\n";
    }
    failed = failed || !problems.empty();
  }
  return failed ? 1 : 0;
}
