// A doubly linked list whose head knows where the link sits inside its elements, so one
// element type can be on several lists through different links. No lock of its own: the
// owner's lock guards it.
#pragma once

#include <platform.h>

struct ListLink {
  ListLink* next;
  ListLink* prev;

  ListLink() { Unlink(); }
  void Unlink() { next = prev = this; }  // an unlinked link points at itself, never dangles
  bool IsLinked() const { return next != this; }
};

// Byte offset of a ListLink member; the classes listed have no virtual bases.
#define LINK_OFFSET(Type, member)                                    \
  ([] {                                                              \
    _Pragma("GCC diagnostic push")                                   \
    _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")         \
    return static_cast<ULONG>(offsetof(Type, member));               \
    _Pragma("GCC diagnostic pop")                                    \
  }())

class IntrusiveList {
 public:
  explicit IntrusiveList(ULONG linkOffset) : linkOffset(linkOffset) {}
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;

  bool IsEmpty() const { return !head.IsLinked(); }
  void InsertTail(void* element);
  // Unlinks the element from whatever list it is on; harmless when it is on none.
  void Remove(void* element);
  void* PopHead();
  // The element after 'element', or the first one for null; null at the end.
  void* Next(void* element);
  // Moves every element, in order, to the front of the destination (same link offset).
  void MoveAllTo(IntrusiveList& destination);

  ListLink head;
  const ULONG linkOffset;

 private:
  ListLink* LinkOf(void* element) const;
  void* ElementOf(ListLink* link) const;
};

// The same list, typed for its element class.
template <class T>
class IntrusiveListOf : public IntrusiveList {
 public:
  using IntrusiveList::IntrusiveList;
  void InsertTail(T* element) { IntrusiveList::InsertTail(element); }
  void Remove(T* element) { IntrusiveList::Remove(element); }
  T* PopHead() { return static_cast<T*>(IntrusiveList::PopHead()); }
  T* Next(T* element) { return static_cast<T*>(IntrusiveList::Next(element)); }
};
