// The port's byte ring, driven directly on a booted machine: the boundary cases of its index
// arithmetic, growth that keeps every byte, allocation failures, and a long randomized run checked
// step by step against a plain queue.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "tarvel/kernel.h"
#include "tarvelport.h"

namespace {

using namespace tarvel::kernel;

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Boot();
    RingInitialize(&ring);
  }
  void TearDown() override {
    RingFree(&ring);
    EXPECT_EQ(PoolOutstanding(PORT_TAG_CIRC), 0u);
    Shutdown();
  }

  // Bytes 1, 2, 3, ... so that every position is told apart.
  static std::vector<UCHAR> Sequence(std::size_t n, UCHAR first = 1) {
    std::vector<UCHAR> bytes(n);
    for (std::size_t i = 0; i < n; i++) bytes[i] = static_cast<UCHAR>(first + i);
    return bytes;
  }
  SIZE_T Put(const std::vector<UCHAR>& bytes) { return RingPut(&ring, bytes.data(), bytes.size()); }
  std::vector<UCHAR> Get(std::size_t max) {
    std::vector<UCHAR> out(max);
    out.resize(RingGet(out.data(), &ring, max));
    return out;
  }
  // Moves both indexes to `index` with the ring empty.
  void Park(std::size_t index) {
    ASSERT_EQ(Put(Sequence(index, 0xA0)), index);
    ASSERT_EQ(Get(index).size(), index);
  }

  RX_RING ring;
};

TEST_F(RingTest, PutWrapsAroundTheEnd) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  Park(6);
  EXPECT_EQ(Put(Sequence(5)), 5u);
  EXPECT_EQ(ring.WriteIndex, 3u);
  EXPECT_EQ(ring.Count, 5u);
  EXPECT_EQ(ring.Buffer[6], 1);
  EXPECT_EQ(ring.Buffer[7], 2);
  EXPECT_EQ(ring.Buffer[0], 3);
  EXPECT_EQ(ring.Buffer[2], 5);
  EXPECT_EQ(Get(8), Sequence(5));
}

TEST_F(RingTest, IndexRestingAtTheEndMeansTheStart) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  Park(3);
  EXPECT_EQ(Put(Sequence(5)), 5u);
  EXPECT_EQ(ring.WriteIndex, 8u);
  EXPECT_EQ(Put({0x77}), 1u);
  EXPECT_EQ(ring.Buffer[0], 0x77);
  EXPECT_EQ(ring.WriteIndex, 1u);

  // A get that ends exactly at the end leaves ReadIndex at Size; the next one starts at 0.
  EXPECT_EQ(Get(5), Sequence(5));
  EXPECT_EQ(ring.ReadIndex, 8u);
  EXPECT_EQ(Get(1), std::vector<UCHAR>{0x77});
  EXPECT_EQ(ring.ReadIndex, 1u);
}

TEST_F(RingTest, PutStoresOnlyWhatFitsAndGetOnlyWhatIsThere) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  ASSERT_EQ(Put(Sequence(5)), 5u);
  EXPECT_EQ(Put(Sequence(10, 6)), 3u);
  EXPECT_EQ(Put(Sequence(1)), 0u);  // full
  EXPECT_EQ(Get(20), Sequence(8));
  EXPECT_TRUE(Get(4).empty());  // empty

  ASSERT_EQ(Put(Sequence(2)), 2u);
  const auto before = ring;
  EXPECT_TRUE(Get(0).empty());
  EXPECT_EQ(ring.Count, before.Count);
  EXPECT_EQ(ring.ReadIndex, before.ReadIndex);
  EXPECT_EQ(RingPut(&ring, nullptr, 0), 0u);
  EXPECT_EQ(ring.WriteIndex, before.WriteIndex);
}

TEST_F(RingTest, RingWithoutBufferStoresAndGivesNothing) {
  EXPECT_EQ(Put(Sequence(3)), 0u);
  EXPECT_TRUE(Get(3).empty());
  RingFlush(&ring);
  EXPECT_EQ(ring.Size, 0u);
  EXPECT_EQ(ring.Buffer, nullptr);
}

TEST_F(RingTest, ResizeKeepsEveryByteOldestFirst) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  Park(5);
  ASSERT_EQ(Put(Sequence(6)), 6u);  // 3 bytes at 5..7, 3 at 0..2
  ASSERT_EQ(RingResize(&ring, 16), STATUS_SUCCESS);
  EXPECT_EQ(ring.Size, 16u);
  EXPECT_EQ(ring.ReadIndex, 0u);
  EXPECT_EQ(ring.WriteIndex, 6u);
  EXPECT_EQ(ring.Count, 6u);
  EXPECT_EQ(std::vector<UCHAR>(ring.Buffer, ring.Buffer + 6), Sequence(6));
  EXPECT_EQ(PoolOutstanding(PORT_TAG_CIRC), 1u);  // the old buffer is freed
}

TEST_F(RingTest, ResizeNeverShrinksAndSameSizeChangesNothing) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  ASSERT_EQ(Put(Sequence(7)), 7u);
  PUCHAR buffer = ring.Buffer;
  EXPECT_EQ(RingResize(&ring, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RingResize(&ring, 8), STATUS_SUCCESS);
  EXPECT_EQ(ring.Buffer, buffer);
  EXPECT_EQ(ring.Size, 8u);
  EXPECT_EQ(Get(8), Sequence(7));
}

TEST_F(RingTest, ResizeOfARingWithoutBufferAllocatesAnEmptyOne) {
  ASSERT_EQ(RingResize(&ring, 32), STATUS_SUCCESS);
  EXPECT_EQ(ring.Size, 32u);
  EXPECT_EQ(ring.Count, 0u);
  EXPECT_EQ(Put(Sequence(32)), 32u);
}

TEST_F(RingTest, AllocationFailuresLeaveAConsistentRing) {
  FailNth(FaultSite::Pool, 1, PORT_TAG_CIRC);
  EXPECT_EQ(RingAllocate(&ring, 8), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ring.Size, 0u);
  EXPECT_EQ(ring.Buffer, nullptr);
  EXPECT_EQ(Put(Sequence(1)), 0u);

  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  Park(6);
  ASSERT_EQ(Put(Sequence(5)), 5u);
  FailNth(FaultSite::Pool, 1, PORT_TAG_CIRC);
  EXPECT_EQ(RingResize(&ring, 64), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ring.Size, 8u);
  EXPECT_EQ(Get(8), Sequence(5));
}

TEST_F(RingTest, AllocatingARingThatHoldsABufferDoesNotLoseIt) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  ASSERT_EQ(Put(Sequence(4)), 4u);
  ASSERT_EQ(RingAllocate(&ring, 16), STATUS_SUCCESS);
  EXPECT_EQ(ring.Count, 0u);
  EXPECT_EQ(PoolOutstanding(PORT_TAG_CIRC), 1u);
}

TEST_F(RingTest, FlushEmptiesAndKeepsTheBuffer) {
  ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
  Park(5);
  ASSERT_EQ(Put(Sequence(6)), 6u);
  PUCHAR buffer = ring.Buffer;
  RingFlush(&ring);
  EXPECT_EQ(ring.Count, 0u);
  EXPECT_EQ(ring.ReadIndex, 0u);
  EXPECT_EQ(ring.WriteIndex, 0u);
  EXPECT_EQ(ring.Buffer, buffer);
  EXPECT_EQ(RingCount(&ring), 0u);
  EXPECT_EQ(Put(Sequence(8)), 8u);
}

// Many thousands of mixed operations against a plain queue: after every step the ring holds the
// same bytes, reports the same counts and keeps its index invariant.
class RingModelTest : public RingTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(RingModelTest, AgreesWithAQueueAfterEveryStep) {
  std::mt19937_64 random(GetParam());
  std::deque<UCHAR> model;
  ULONG size = 1 + random() % 16;
  ASSERT_EQ(RingAllocate(&ring, size), STATUS_SUCCESS);
  UCHAR next = 0;

  for (int step = 0; step < 20000; step++) {
    const unsigned op = random() % 100;
    if (op < 45) {
      std::vector<UCHAR> bytes(random() % (2 * size + 2));
      for (auto& b : bytes) b = next++;
      const SIZE_T stored = RingPut(&ring, bytes.data(), bytes.size());
      const SIZE_T expected = std::min<SIZE_T>(bytes.size(), size - model.size());
      ASSERT_EQ(stored, expected) << "step " << step;
      model.insert(model.end(), bytes.begin(), bytes.begin() + stored);
      next = static_cast<UCHAR>(next - (bytes.size() - stored));  // unsent bytes come again
    } else if (op < 90) {
      const std::size_t max = random() % (2 * size + 2);
      const auto got = Get(max);
      ASSERT_EQ(got.size(), std::min(max, model.size())) << "step " << step;
      ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << "step " << step;
      model.erase(model.begin(), model.begin() + got.size());
    } else if (op < 94) {
      RingFlush(&ring);
      model.clear();
    } else {
      const ULONG newSize = size + random() % 8;  // grows or stays
      ASSERT_EQ(RingResize(&ring, newSize), STATUS_SUCCESS);
      size = newSize;
      if (random() % 4 == 0) {  // and sometimes asks to shrink, which changes nothing
        ASSERT_EQ(RingResize(&ring, size - 1 - random() % size), STATUS_INVALID_PARAMETER);
      }
    }
    ASSERT_EQ(ring.Size, size);
    ASSERT_EQ(ring.Count, model.size());
    ASSERT_LE(ring.ReadIndex, ring.Size);
    ASSERT_LE(ring.WriteIndex, ring.Size);
    ASSERT_EQ((ring.ReadIndex + ring.Count) % ring.Size, ring.WriteIndex % ring.Size) << "step " << step;
  }
  EXPECT_EQ(Get(size), std::vector<UCHAR>(model.begin(), model.end()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, RingModelTest, ::testing::Values(1u, 2u, 3u, 42u, 2026u));

}  // namespace
