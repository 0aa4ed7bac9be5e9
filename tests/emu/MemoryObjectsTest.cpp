// MDLs, page allocations and the string conversion, as the driver relies on them.
#include "EmuTest.h"

#include "emu/kernel/Mdl.h"

namespace {

class MemoryObjectsTest : public EmuTest {};

PHYSICAL_ADDRESS Address(LONGLONG value) {
  PHYSICAL_ADDRESS a;
  a.QuadPart = value;
  return a;
}

TEST_F(MemoryObjectsTest, PagesForMdlHonourTheByteCountAndMapOnce) {
  PMDL mdl = MmAllocatePagesForMdl(Address(0), Address(0xFFFFF000), Address(0), 1536);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 1536u);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) << "pages come unmapped";
  auto* address = static_cast<PUCHAR>(
      MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, LowPagePriority));
  ASSERT_NE(address, nullptr);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(mdl->MappedSystemVa, address);
  address[0] = 1;
  address[1535] = 2;  // the whole byte count is usable
  MmUnmapLockedPages(address, mdl);
  MmFreePagesFromMdl(mdl);
  ExFreePoolWithTag(mdl, 0);
}

TEST_F(MemoryObjectsTest, ShortPageAllocationIsVisibleInTheByteCount) {
  kernel().faults().ShortPages(true);
  PMDL mdl = MmAllocatePagesForMdl(Address(0), Address(0xFFFFF000), Address(0), 1536);
  ASSERT_NE(mdl, nullptr);
  EXPECT_LT(MmGetMdlByteCount(mdl), 1536u);
  MmFreePagesFromMdl(mdl);
  ExFreePoolWithTag(mdl, 0);
}

TEST_F(MemoryObjectsTest, VerifierCatchesPagesFreedWhileMappedAndLeakedPages) {
  PMDL mdl = MmAllocatePagesForMdl(Address(0), Address(0xFFFFF000), Address(0), 100);
  MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, LowPagePriority);
  MmFreePagesFromMdl(mdl);
  EXPECT_TRUE(TookViolation("mdl", "still mapped"));
  kernel().CheckClean("now");
  EXPECT_TRUE(TookViolation("leak", "MMdl")) << "the MDL itself is a pool block to free";
  ExFreePoolWithTag(mdl, 0);
}

TEST_F(MemoryObjectsTest, NonPagedPoolMdlCarriesItsAddressWithoutMapping) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 300, 0x74736554);
  PMDL mdl = IoAllocateMdl(block, 300, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 300u);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(block, 0);
}

TEST_F(MemoryObjectsTest, UnmappedPlatformBufferIsMappedOnRequest) {
  UCHAR bytes[64] = {};
  PMDL mdl = emu::CreatePlatformMdl(bytes, sizeof bytes, false);
  EXPECT_EQ(mdl->MappedSystemVa, nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), bytes);
  kernel().faults().FailNth(emu::FaultPoint::Mapping, 1);
  PMDL other = emu::CreatePlatformMdl(bytes, sizeof bytes, false);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(other, NormalPagePriority), nullptr);
  emu::FreePlatformMdl(mdl);
  emu::FreePlatformMdl(other);
}

ULONG Convert(const char16_t* text, ULONG base, NTSTATUS* status) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  ULONG value = 0xDEAD;
  *status = RtlUnicodeStringToInteger(&s, base, &value);
  return value;
}

TEST_F(MemoryObjectsTest, UnicodeStringToIntegerInBase16) {
  NTSTATUS status;
  EXPECT_EQ(Convert(u"0a", 16, &status), 0x0Au);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Convert(u"Ff", 16, &status), 0xFFu);
  EXPECT_EQ(Convert(u"1g", 16, &status), 1u) << "conversion stops at the first non-digit";
  Convert(u"zz", 16, &status);
  EXPECT_LT(status, 0) << "text with no digit is no number";
  Convert(u"", 16, &status);
  EXPECT_LT(status, 0);
  Convert(u"12", 7, &status);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Convert(u"0x1F", 0, &status), 0x1Fu);
}

TEST_F(MemoryObjectsTest, InitUnicodeStringCountsBytesWithoutTheTerminator) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"RxBuffers");
  EXPECT_EQ(s.Length, 18);
  EXPECT_EQ(s.MaximumLength, 20);
}

}  // namespace
