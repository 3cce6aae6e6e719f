// The decoder of the instructions the emulated kernel performs for an image: each supported form
// with its operands, and near misses that must not pass for one.
#include <gtest/gtest.h>

#include <vector>

#include "loader/privileged.h"

using namespace tarvel::kernel::loader;

namespace {
std::optional<PrivilegedInstruction> Decode(std::vector<uint8_t> bytes) {
  return DecodePrivileged(bytes);
}
}  // namespace

TEST(PrivilegedDecoder, ControlRegisterEight) {
  auto read = Decode({0x44, 0x0f, 0x20, 0xc0});  // mov %cr8,%rax
  ASSERT_TRUE(read);
  EXPECT_EQ(read->form, PrivilegedForm::ReadCr8);
  EXPECT_EQ(read->reg, 0u);
  EXPECT_EQ(read->length, 4u);
  auto write = Decode({0x45, 0x0f, 0x22, 0xc1});  // mov %r9,%cr8
  ASSERT_TRUE(write);
  EXPECT_EQ(write->form, PrivilegedForm::WriteCr8);
  EXPECT_EQ(write->reg, 9u);
  // cr3 and cr0 are not emulated.
  EXPECT_FALSE(Decode({0x0f, 0x20, 0xd8}));
  EXPECT_FALSE(Decode({0x0f, 0x22, 0xc0}));
}

TEST(PrivilegedDecoder, SharedPageReads) {
  // movabs 0xfffff78000000014,%rax
  auto absolute = Decode({0x48, 0xa1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff});
  ASSERT_TRUE(absolute);
  EXPECT_EQ(absolute->form, PrivilegedForm::LoadSharedAbsolute);
  EXPECT_EQ(absolute->address, 0xfffff78000000014ull);
  EXPECT_EQ(absolute->operandBytes, 8u);
  EXPECT_EQ(absolute->length, 10u);
  // The same load from another kernel address is no supported form.
  EXPECT_FALSE(Decode({0x48, 0xa1, 0x00, 0x00, 0x00, 0x00, 0x80, 0xf8, 0xff, 0xff}));

  // movabs $0xfffff78000000320,%r12 then mov 0x8(%r12),%eax
  auto constant = Decode({0x49, 0xbc, 0x20, 0x03, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff});
  ASSERT_TRUE(constant);
  EXPECT_EQ(constant->form, PrivilegedForm::SharedPageAddress);
  EXPECT_EQ(constant->reg, 12u);
  auto indirect = Decode({0x41, 0x8b, 0x44, 0x24, 0x08});
  ASSERT_TRUE(indirect);
  EXPECT_EQ(indirect->form, PrivilegedForm::LoadSharedIndirect);
  EXPECT_EQ(indirect->memory.base, 12);
  EXPECT_EQ(indirect->memory.index, -1);
  EXPECT_EQ(indirect->memory.displacement, 8);
  EXPECT_EQ(indirect->operandBytes, 4u);
  EXPECT_EQ(indirect->reg, 0u);
  EXPECT_EQ(indirect->length, 5u);
  // mov (%rax),%r13
  auto plain = Decode({0x4c, 0x8b, 0x28});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->reg, 13u);
  EXPECT_EQ(plain->memory.base, 0);
  EXPECT_EQ(plain->length, 3u);
  // RIP-relative loads address the image, and a truncated instruction is nothing.
  EXPECT_FALSE(Decode({0x48, 0x8b, 0x05, 0x10, 0x00, 0x00, 0x00}));
  EXPECT_FALSE(Decode({0x48, 0xa1, 0x14, 0x00, 0x00}));
}
