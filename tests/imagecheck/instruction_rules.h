// The privileged and kernel-address instructions of an image: each must be one of the forms the
// emulated kernel performs for the image (loader/privileged.h), so that a new one fails the build
// instead of crashing a test. Reads the code through the disassembler of mingw-w64's binutils.
#pragma once

#include <string>
#include <vector>

#include "loader/pe_image.h"

namespace tarvel::imagecheck {

// One instruction of the disassembly: address, the routine it belongs to and its text.
struct Instruction {
  uint64_t address = 0;
  std::string routine;
  std::string text;  // mnemonic and operands, AT&T syntax
};

// Parses the output of `objdump -d -w --no-show-raw-insn`.
std::vector<Instruction> ParseDisassembly(const std::string& listing);
std::string Disassemble(const std::string& objdump, const std::string& imagePath, std::string& error);

std::vector<std::string> CheckInstructions(const kernel::loader::pe::Image& image,
                                           const std::vector<Instruction>& code);

}  // namespace tarvel::imagecheck
