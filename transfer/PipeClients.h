// What the owner of a pipe implements to hear of its transfers. Pure operation tables: no
// destructor, and a pipe never owns its client.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

class TransferBuffer;

class ReadPipeClient {
 public:
  // A read succeeded: the client holds the buffer from here and gives it back with
  // ReturnToPool. No pipe lock is held, so the client may call ResumeReads.
  IRQL_AT_MOST_DISPATCH virtual VOID OnReadComplete(TransferBuffer* buffer) = 0;
  // A read failed. The pipe's clientLock is held: the client must not call ResumeReads or
  // SubmitWrite of the same pipe, nor take a lock held around them. The pipe returns the
  // buffer to its pool afterwards.
  IRQL_DISPATCH virtual VOID OnReadError(NTSTATUS status, BOOLEAN deviceGone) = 0;

 protected:
  ~ReadPipeClient() = default;
};

class WritePipeClient {
 public:
  // A write (or a zero-length follow-up) succeeded, with no pipe lock held; also called once
  // by StartPipe, under the pipe's mutex, to announce that writing may begin.
  IRQL_AT_MOST_DISPATCH virtual VOID OnWriteComplete(NTSTATUS status, BOOLEAN deviceGone) = 0;

 protected:
  ~WritePipeClient() = default;
};
