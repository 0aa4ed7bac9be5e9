// A counter with a notification event that is signalled whenever the count is zero. The
// counter is updated atomically; the event follows it in a second step, under no lock.
#pragma once

#include <platform.h>

class CountedEvent {
 public:
  CountedEvent();
  CountedEvent(const CountedEvent&) = delete;
  CountedEvent& operator=(const CountedEvent&) = delete;

  LONG Increment();  // clears the event when the count leaves 0
  LONG Decrement();  // sets the event when the count reaches 0

  volatile LONG count;
  KEVENT event;  // waiters wait on it directly
};
