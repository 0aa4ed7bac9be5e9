// Transfer buffers and their pool: built once, reused first in first out, returned exactly
// once, and nothing left behind by a fill that fails half way.
#include "EmuTest.h"

#include "transfer/TransferBuffer.h"
#include "transfer/TransferBufferPool.h"

namespace {

class BuffersTest : public EmuTest {
 protected:
  // Pages for data, one IRP stack location, a bulk transfer URB each.
  static constexpr UCHAR kStack = 1;
};

TEST_F(BuffersTest, FillBuildsBuffersWithMappedZeroedDataUrbAndIrp) {
  TransferBufferPool pool;
  ASSERT_EQ(pool.Fill(3, 1536, kStack), STATUS_SUCCESS);
  EXPECT_EQ(pool.createdCount, 3u);
  EXPECT_EQ(pool.freeCount, 3u);
  TransferBuffer* b = pool.Take();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->index, 0u);
  EXPECT_EQ(b->pool, &pool);
  EXPECT_EQ(b->status, STATUS_UNSUCCESSFUL);
  ASSERT_NE(b->data.address, nullptr);
  EXPECT_TRUE(b->data.fromPages);
  EXPECT_EQ(MmGetMdlByteCount(b->data.mdl), 1536u);
  auto* bytes = static_cast<PUCHAR>(b->data.address);
  int nonZero = 0;
  for (int i = 0; i < 1536; ++i) nonZero += bytes[i] != 0;
  EXPECT_EQ(nonZero, 0);
  EXPECT_EQ(b->urbLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  ASSERT_NE(b->irp, nullptr);
  EXPECT_EQ(b->irp->StackCount, kStack);
  b->ReturnToPool();
}

TEST_F(BuffersTest, FillWithCountZeroCreatesNothingButKeepsTheLength) {
  TransferBufferPool pool;
  EXPECT_EQ(pool.Fill(0, 64, kStack), STATUS_SUCCESS);
  EXPECT_EQ(pool.bufferDataLength, 64u);
  EXPECT_EQ(pool.Take(), nullptr);
}

TEST_F(BuffersTest, FillFailingOnTheThirdBufferLeavesThePoolEmptyAndNothingLeaked) {
  TransferBufferPool pool;
  kernel().faults().FailNth(emu::FaultPoint::Pages, 3);
  EXPECT_EQ(pool.Fill(4, 1536, kStack), STATUS_NO_MEMORY);
  EXPECT_EQ(pool.createdCount, 0u);
  EXPECT_EQ(pool.freeCount, 0u);
  EXPECT_EQ(pool.Take(), nullptr);
  EXPECT_EQ(kernel().pool().Outstanding(), 0u) << kernel().pool().Leaks().front();
}

TEST_F(BuffersTest, EveryKindOfAllocationFailureIsReportedAsNoMemory) {
  for (emu::FaultPoint point : {emu::FaultPoint::Pool, emu::FaultPoint::Irp, emu::FaultPoint::Mapping}) {
    TransferBufferPool pool;
    kernel().faults().FailNth(point, 2);
    EXPECT_EQ(pool.Fill(2, 512, kStack), STATUS_NO_MEMORY);
    EXPECT_EQ(kernel().pool().Outstanding(), 0u);
  }
  TransferBufferPool pool;
  kernel().faults().ShortPages(true);
  EXPECT_EQ(pool.Fill(1, 512, kStack), STATUS_NO_MEMORY) << "a short page allocation is a failure";
  EXPECT_EQ(kernel().pool().Outstanding(), 0u);
}

TEST_F(BuffersTest, FreeListIsFirstInFirstOut) {
  TransferBufferPool pool;
  ASSERT_EQ(pool.Fill(3, 64, kStack), STATUS_SUCCESS);
  TransferBuffer* first = pool.Take();
  TransferBuffer* second = pool.Take();
  first->ReturnToPool();
  TransferBuffer* third = pool.Take();
  EXPECT_EQ(third->index, 2u) << "the buffer waiting longest comes out first";
  EXPECT_EQ(pool.Take(), first);
  EXPECT_EQ(pool.Take(), nullptr);
  EXPECT_EQ(KeReadStateEvent(&pool.outstanding.event), 0);
  for (TransferBuffer* b : {second, third, first}) b->ReturnToPool();
  EXPECT_EQ(pool.freeCount, 3u);
  EXPECT_EQ(KeReadStateEvent(&pool.outstanding.event), 1) << "every buffer is home";
}

TEST_F(BuffersTest, ReturningABufferTwiceIsCaught) {
  TransferBufferPool pool;
  ASSERT_EQ(pool.Fill(2, 64, kStack), STATUS_SUCCESS);
  TransferBuffer* b = pool.Take();
  b->ReturnToPool();
  b->ReturnToPool();
  EXPECT_TRUE(TookViolation("state", "IsLinked"));
}

TEST_F(BuffersTest, InitialiseAllocatesOnlyWhatItIsAskedFor) {
  auto* b = new (NonPagedPool, 0x46554255) TransferBuffer();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Initialise(0, 0, 0, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(b->irp, nullptr);
  EXPECT_EQ(b->urb, nullptr);
  EXPECT_EQ(b->data.address, nullptr);
  EXPECT_EQ(b->Initialise(0, 0, 100, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(b->data.fromPages);
  EXPECT_TRUE(b->data.mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) << "pool memory is described too";
  b->ReleaseResources();
  b->ReleaseResources();
  EXPECT_EQ(b->data.length, 0u);
  b->Destroy(kDestroyFreeMemory);
}

struct StatusCase {
  NTSTATUS irp;
  USBD_STATUS urb;
  NTSTATUS expected;
};

TEST_F(BuffersTest, ComputeStatusMapsIrpAndUrbOutcomes) {
  TransferBufferPool pool;
  ASSERT_EQ(pool.Fill(1, 64, kStack), STATUS_SUCCESS);
  TransferBuffer* b = pool.Take();
  const StatusCase cases[] = {
      {STATUS_NO_SUCH_DEVICE, USBD_STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED},
      {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
      {STATUS_CANCELLED, USBD_STATUS_CANCELED, STATUS_CANCELLED},
      {STATUS_SUCCESS, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
      {STATUS_SUCCESS, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
      {STATUS_SUCCESS, USBD_STATUS_SUCCESS, STATUS_SUCCESS},
      {STATUS_IO_TIMEOUT, USBD_STATUS_SUCCESS, STATUS_IO_TIMEOUT},
  };
  for (const StatusCase& c : cases) {
    b->irp->IoStatus.Status = c.irp;
    b->urb->UrbHeader.Status = c.urb;
    EXPECT_EQ(b->ComputeStatus(), c.expected) << std::hex << c.irp << " " << c.urb;
    EXPECT_EQ(b->status, c.expected);
  }
  b->ReturnToPool();
}

TEST_F(BuffersTest, DestroyAllLeavesBuffersThatAreOutToTheirHolder) {
  TransferBufferPool pool;
  ASSERT_EQ(pool.Fill(2, 64, kStack), STATUS_SUCCESS);
  TransferBuffer* out = pool.Take();
  pool.DestroyAll();
  EXPECT_EQ(pool.freeCount, 0u);
  EXPECT_EQ(pool.outstanding.count, 1) << "the buffer outside still counts";
  out->ReturnToPool();
}

}  // namespace
