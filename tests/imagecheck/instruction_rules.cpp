#include "instruction_rules.h"

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

#include "loader/privileged.h"

namespace tarvel::imagecheck {
namespace pe = kernel::loader::pe;
using kernel::loader::DecodePrivileged;
using kernel::loader::InSharedUserPage;
using kernel::loader::PrivilegedForm;

namespace {

constexpr uint64_t kKernelSpace = 0xFFFF800000000000ull;

// Instructions that fault in user mode (or touch what only the kernel has), whatever their operands.
const std::set<std::string> kPrivilegedMnemonics = {
    "rdmsr", "wrmsr", "cli",   "sti",    "hlt",     "in",     "out",   "insb",  "insw",   "insl",
    "outsb", "outsw", "outsl", "lgdt",   "lidt",    "lldt",   "ltr",   "lmsw",  "clts",   "invlpg",
    "invd",  "wbinvd", "swapgs", "sysret", "sysretq", "iret", "iretq", "xsetbv", "rdpmc", "wrfsbase",
    "wrgsbase", "invpcid", "sysexit", "vmcall", "monitor", "mwait"};

std::string Mnemonic(const std::string& text) {
  const size_t end = text.find_first_of(" \t");
  std::string m = text.substr(0, end);
  // Prefixes objdump prints in front of the mnemonic.
  for (const char* prefix : {"rep", "repz", "repnz", "lock", "rex.W", "rex", "data16", "cs", "ds", "notrack"}) {
    if (m == prefix && end != std::string::npos) {
      return Mnemonic(text.substr(text.find_first_not_of(" \t", end)));
    }
  }
  return m;
}

std::string Operands(const std::string& text) {
  const size_t end = text.find_first_of(" \t");
  if (end == std::string::npos) {
    return {};
  }
  std::string operands = text.substr(text.find_first_not_of(" \t", end) == std::string::npos
                                         ? text.size()
                                         : text.find_first_not_of(" \t", end));
  const size_t comment = operands.find('#');
  if (comment != std::string::npos) {
    operands = operands.substr(0, comment);
  }
  while (!operands.empty() && (operands.back() == ' ' || operands.back() == '\t')) {
    operands.pop_back();
  }
  return operands;
}

// The general registers by their 64-bit name, with the names of their low halves.
const std::array<std::array<const char*, 2>, 16> kRegisters = {{{"rax", "eax"}, {"rcx", "ecx"}, {"rdx", "edx"},
    {"rbx", "ebx"}, {"rsp", "esp"}, {"rbp", "ebp"}, {"rsi", "esi"}, {"rdi", "edi"}, {"r8", "r8d"}, {"r9", "r9d"},
    {"r10", "r10d"}, {"r11", "r11d"}, {"r12", "r12d"}, {"r13", "r13d"}, {"r14", "r14d"}, {"r15", "r15d"}}};

// Whether the instruction uses register reg in a memory operand ("(%rax", ",%rax,").
bool AddressesThrough(const std::string& operands, unsigned reg) {
  const std::string name = std::string("%") + kRegisters[reg][0];
  return operands.find("(" + name + ")") != std::string::npos || operands.find("(" + name + ",") != std::string::npos ||
         operands.find("," + name + ",") != std::string::npos || operands.find("," + name + ")") != std::string::npos;
}

// Whether the instruction (AT&T: destination last) writes register reg.
bool Writes(const std::string& mnemonic, const std::string& operands, unsigned reg) {
  if (mnemonic.rfind("cmp", 0) == 0 || mnemonic.rfind("test", 0) == 0 || mnemonic.rfind("j", 0) == 0 ||
      mnemonic == "push") {
    return false;
  }
  if (mnemonic.rfind("call", 0) == 0) {
    return reg <= 2 || (reg >= 8 && reg <= 11);  // the registers a call may change
  }
  const size_t comma = operands.rfind(',');
  const std::string last = comma == std::string::npos ? operands : operands.substr(comma + 1);
  return last == std::string("%") + kRegisters[reg][0] || last == std::string("%") + kRegisters[reg][1];
}

}  // namespace

std::vector<Instruction> ParseDisassembly(const std::string& listing) {
  std::vector<Instruction> code;
  std::istringstream lines(listing);
  std::string routine;
  auto isHex = [](const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789abcdef") == std::string::npos;
  };
  for (std::string line; std::getline(lines, line);) {
    // "0000000000012d90 <routine>:" starts a routine; "   12d90:\tmnemonic operands" is an instruction.
    const size_t open = line.find(" <");
    if (open != std::string::npos && isHex(line.substr(0, open)) && line.size() > open + 3 &&
        line.compare(line.size() - 2, 2, ">:") == 0) {
      routine = line.substr(open + 2, line.size() - open - 4);
      continue;
    }
    const size_t colon = line.find(":\t");
    if (colon == std::string::npos) {
      continue;
    }
    const size_t start = line.find_first_not_of(' ');
    const std::string address = line.substr(start, colon - start);
    if (isHex(address)) {
      code.push_back({std::stoull(address, nullptr, 16), routine, line.substr(colon + 2)});
    }
  }
  return code;
}

std::string Disassemble(const std::string& objdump, const std::string& imagePath, std::string& error) {
  const std::string command = "'" + objdump + "' -d -w --no-show-raw-insn '" + imagePath + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    error = "cannot run " + objdump;
    return {};
  }
  std::string listing;
  std::array<char, 4096> buffer;
  for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
    listing.append(buffer.data(), n);
  }
  if (pclose(pipe.release()) != 0) {
    error = objdump + " failed on " + imagePath + ": " + listing.substr(0, 200);
    return {};
  }
  return listing;
}

std::vector<std::string> CheckInstructions(const pe::Image& image, const std::vector<Instruction>& code) {
  std::vector<std::string> problems;
  auto bytesAt = [&](uint64_t address) -> std::span<const uint8_t> {
    const uint64_t rva = address - image.ImageBase();
    for (const pe::Section& s : image.Sections()) {
      if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
        return image.Bytes().subspan(s.rawOffset + (rva - s.virtualAddress), s.rawSize - (rva - s.virtualAddress));
      }
    }
    return {};
  };
  auto refuse = [&](const Instruction& i, const std::string& why) {
    std::ostringstream text;
    text << "0x" << std::hex << i.address << " in " << i.routine << ": `" << i.text << "` " << why;
    problems.push_back(text.str());
  };

  for (size_t n = 0; n < code.size(); ++n) {
    const Instruction& i = code[n];
    const std::string mnemonic = Mnemonic(i.text);
    const std::string operands = Operands(i.text);
    bool privileged = kPrivilegedMnemonics.count(mnemonic) != 0 || operands.find("%cr") != std::string::npos ||
                      operands.find("%db") != std::string::npos || operands.find("%gs:") != std::string::npos ||
                      operands.find("%fs:") != std::string::npos;
    // Addresses in the kernel's half: an absolute memory operand, or a constant in the shared page
    // that the code then reads through.
    bool sharedConstant = false;
    // Numbers of more than 32 bits: "$0x..." is a constant, a bare "0x..." an absolute address.
    for (size_t at = operands.find("0x"); at != std::string::npos; at = operands.find("0x", at + 2)) {
      const size_t end = operands.find_first_not_of("0123456789abcdef", at + 2);
      const std::string digits = operands.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
      if (digits.size() < 9 || digits.size() > 16) {
        continue;
      }
      const uint64_t value = std::stoull(digits, nullptr, 16);
      const bool immediate = at > 0 && operands[at - 1] == '$';
      if (!immediate && value >= kKernelSpace) {
        privileged = true;
      } else if (immediate && InSharedUserPage(value)) {
        sharedConstant = true;
      }
    }
    if (!privileged && !sharedConstant) {
      continue;
    }
    const auto decoded = DecodePrivileged(bytesAt(i.address));
    if (!decoded || decoded->form == PrivilegedForm::LoadSharedIndirect) {
      refuse(i, "is privileged or reads kernel memory, and is none of the forms the emulated kernel performs");
      continue;
    }
    if (decoded->form != PrivilegedForm::SharedPageAddress) {
      continue;
    }
    // The register now holds a shared-page address: every read through it, until it is written
    // again, must be a load the emulated kernel performs.
    for (size_t k = n + 1; k < code.size() && code[k].routine == i.routine; ++k) {
      const std::string kMnemonic = Mnemonic(code[k].text);
      const std::string kOperands = Operands(code[k].text);
      // nop and lea name an address without reading it.
      const bool reads = kMnemonic.rfind("nop", 0) != 0 && kMnemonic != "lea";
      if (reads && AddressesThrough(kOperands, decoded->reg)) {
        const auto use = DecodePrivileged(bytesAt(code[k].address));
        if (!use || use->form != PrivilegedForm::LoadSharedIndirect) {
          refuse(code[k], "reads the shared user page (address from 0x" +
                              [&] { std::ostringstream t; t << std::hex << i.address; return t.str(); }() +
                              ") in a form the emulated kernel does not perform");
        }
      }
      if (Writes(kMnemonic, kOperands, decoded->reg)) {
        break;
      }
    }
  }
  return problems;
}

}  // namespace tarvel::imagecheck
