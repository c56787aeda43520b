// A caller that knows the interface only as an object with a function table binds Compress to
// the first slot and Decompress to the second. These tests take that caller's view.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "TestSignal.h"
#include "compress/CIface.h"

using namespace zorvo::wire;

namespace {

// The table slot a pointer to a virtual member names. In the Itanium C++ ABI such a pointer holds
// one plus the slot's byte offset in the table.
template <typename Member>
std::ptrdiff_t SlotOf(Member member) {
    static_assert(sizeof member == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof member);
    return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

using CompressSlot = int (*)(CIface*, const char*, unsigned, uint8_t*);
using DecompressSlot = int (*)(CIface*, const uint8_t*, char*, uint32_t*);

void* const* TableOf(CIface* object) {
    void* const* table;
    std::memcpy(&table, object, sizeof table);
    return table;
}

TEST(CIfaceSlots, CompressIsSlotZeroAndDecompressSlotOne) {
    EXPECT_EQ(SlotOf(&CIface::Compress), 0);
    EXPECT_EQ(SlotOf(&CIface::Decompress), 1);
}

TEST(CIfaceSlots, CallingTheFirstTwoSlotsCompressesAndDecompressesAFrame) {
    ASSERT_EQ(SlotOf(&CIface::Compress), 0) << "calling the table would run the wrong function";
    std::unique_ptr<CIface> bySlot(GetCIface());
    std::unique_ptr<CIface> byName(GetCIface());
    ASSERT_TRUE(bySlot && byName);
    const auto samples = MakeTestSignal(1600);

    std::vector<uint8_t> slotBytes(343), nameBytes(343);
    ZorvoMsg slotRecord(slotBytes.data(), slotBytes.size());
    auto compress = reinterpret_cast<CompressSlot>(TableOf(bySlot.get())[0]);
    ASSERT_EQ(compress(bySlot.get(), reinterpret_cast<const char*>(samples.data()), 1600,
                       slotBytes.data()),
              1);
    byName->Compress(reinterpret_cast<const char*>(samples.data()), 1600, nameBytes.data());
    EXPECT_EQ(slotRecord.Length(), 330u);
    EXPECT_EQ(slotBytes, nameBytes);

    std::vector<int16_t> slotOut(1600), nameOut(1600);
    uint32_t slotSize = 3200, nameSize = 3200;
    auto decompress = reinterpret_cast<DecompressSlot>(TableOf(bySlot.get())[1]);
    ASSERT_EQ(decompress(bySlot.get(), slotBytes.data(), reinterpret_cast<char*>(slotOut.data()),
                         &slotSize),
              1);
    byName->Decompress(nameBytes.data(), reinterpret_cast<char*>(nameOut.data()), &nameSize);
    EXPECT_EQ(slotSize, 1600u);
    EXPECT_EQ(slotOut, nameOut);
}

}  // namespace
