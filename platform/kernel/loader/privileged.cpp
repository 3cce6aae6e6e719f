#include "loader/privileged.h"

#include <cstring>

namespace tarvel::kernel::loader {

const char* PrivilegedFormName(PrivilegedForm form) {
  switch (form) {
    case PrivilegedForm::ReadCr8: return "mov %cr8, r64";
    case PrivilegedForm::WriteCr8: return "mov r64, %cr8";
    case PrivilegedForm::LoadSharedAbsolute: return "mov moffs64, %rax";
    case PrivilegedForm::SharedPageAddress: return "mov $imm64, r64";
    case PrivilegedForm::LoadSharedIndirect: return "mov disp(base,index), r64";
  }
  return "?";
}

namespace {

// ModRM memory operand (mod != 3) after the opcode; returns its length in bytes, 0 if the form is
// one this decoder does not take (RIP-relative) or the bytes end first.
unsigned DecodeMemory(std::span<const uint8_t> code, size_t at, uint8_t rex, MemoryOperand& memory) {
  if (at >= code.size()) {
    return 0;
  }
  const uint8_t modrm = code[at];
  const unsigned mod = modrm >> 6, rm = modrm & 7;
  size_t p = at + 1;
  if (mod == 3) {
    return 0;
  }
  if (rm == 4) {  // SIB
    if (p >= code.size()) {
      return 0;
    }
    const uint8_t sib = code[p++];
    const unsigned index = ((sib >> 3) & 7) | ((rex & 2) ? 8 : 0);
    const unsigned base = (sib & 7) | ((rex & 1) ? 8 : 0);
    memory.scale = 1u << (sib >> 6);
    memory.index = index == 4 ? -1 : int(index);
    memory.base = ((sib & 7) == 5 && mod == 0) ? -1 : int(base);
    if ((sib & 7) == 5 && mod == 0) {
      int32_t disp = 0;
      if (p + 4 > code.size()) {
        return 0;
      }
      std::memcpy(&disp, &code[p], 4);
      memory.displacement = disp;
      return unsigned(p + 4 - at);
    }
  } else if (rm == 5 && mod == 0) {
    return 0;  // RIP-relative: an address in the image, never the shared page
  } else {
    memory.base = int(rm | ((rex & 1) ? 8 : 0));
  }
  if (mod == 1) {
    if (p + 1 > code.size()) {
      return 0;
    }
    memory.displacement = int8_t(code[p]);
    p += 1;
  } else if (mod == 2) {
    int32_t disp = 0;
    if (p + 4 > code.size()) {
      return 0;
    }
    std::memcpy(&disp, &code[p], 4);
    memory.displacement = disp;
    p += 4;
  }
  return unsigned(p - at);
}

}  // namespace

std::optional<PrivilegedInstruction> DecodePrivileged(std::span<const uint8_t> code) {
  size_t p = 0;
  uint8_t rex = 0;
  if (p < code.size() && (code[p] & 0xf0) == 0x40) {
    rex = code[p++];
  }
  if (p >= code.size()) {
    return std::nullopt;
  }
  const bool wide = rex & 8;
  const uint8_t op = code[p];

  // mov to or from a control register: cr8 needs REX.R; the register operand is ModRM.rm.
  if (op == 0x0f && p + 2 < code.size() && (code[p + 1] == 0x20 || code[p + 1] == 0x22)) {
    const uint8_t modrm = code[p + 2];
    const unsigned cr = ((modrm >> 3) & 7) | ((rex & 4) ? 8 : 0);
    if ((modrm >> 6) != 3 || cr != 8) {
      return std::nullopt;
    }
    PrivilegedInstruction i;
    i.form = code[p + 1] == 0x20 ? PrivilegedForm::ReadCr8 : PrivilegedForm::WriteCr8;
    i.reg = (modrm & 7) | ((rex & 1) ? 8 : 0);
    i.length = unsigned(p + 3);
    return i;
  }
  // mov moffs64 into eax or rax.
  if (op == 0xa1 && p + 9 <= code.size()) {
    PrivilegedInstruction i;
    i.form = PrivilegedForm::LoadSharedAbsolute;
    std::memcpy(&i.address, &code[p + 1], 8);
    i.operandBytes = wide ? 8 : 4;
    i.length = unsigned(p + 9);
    if (!InSharedUserPage(i.address, i.operandBytes)) {
      return std::nullopt;
    }
    return i;
  }
  // mov $imm64 into a register, the constant in the shared page.
  if (wide && (op & 0xf8) == 0xb8 && p + 9 <= code.size()) {
    PrivilegedInstruction i;
    i.form = PrivilegedForm::SharedPageAddress;
    std::memcpy(&i.address, &code[p + 1], 8);
    i.reg = (op & 7) | ((rex & 1) ? 8 : 0);
    i.length = unsigned(p + 9);
    if (!InSharedUserPage(i.address)) {
      return std::nullopt;
    }
    return i;
  }
  // mov from memory into a 32- or 64-bit register.
  if (op == 0x8b) {
    PrivilegedInstruction i;
    i.form = PrivilegedForm::LoadSharedIndirect;
    const unsigned memoryLength = DecodeMemory(code, p + 1, rex, i.memory);
    if (memoryLength == 0) {
      return std::nullopt;
    }
    i.reg = ((code[p + 1] >> 3) & 7) | ((rex & 4) ? 8 : 0);
    i.operandBytes = wide ? 8 : 4;
    i.length = unsigned(p + 1 + memoryLength);
    return i;
  }
  return std::nullopt;
}

}  // namespace tarvel::kernel::loader
