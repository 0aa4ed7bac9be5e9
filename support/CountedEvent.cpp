#include "support/CountedEvent.h"

CountedEvent::CountedEvent() : count(0) {
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeSetEvent(&event, 0, FALSE);
}

LONG CountedEvent::Increment() {
  LONG value = InterlockedIncrement(&count);
  if (value == 1) KeClearEvent(&event);
  return value;
}

LONG CountedEvent::Decrement() {
  LONG value = InterlockedDecrement(&count);
  if (value == 0) KeSetEvent(&event, 0, FALSE);
  return value;
}
