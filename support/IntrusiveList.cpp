#include "support/IntrusiveList.h"

ListLink* IntrusiveList::LinkOf(void* element) const {
  return reinterpret_cast<ListLink*>(static_cast<PUCHAR>(element) + linkOffset);
}

void* IntrusiveList::ElementOf(ListLink* link) const {
  return reinterpret_cast<PUCHAR>(link) - linkOffset;
}

void IntrusiveList::InsertTail(void* element) {
  ListLink* link = LinkOf(element);
  link->next = &head;
  link->prev = head.prev;
  head.prev->next = link;
  head.prev = link;
}

void IntrusiveList::Remove(void* element) {
  ListLink* link = LinkOf(element);
  link->prev->next = link->next;
  link->next->prev = link->prev;
  link->Unlink();
}

void* IntrusiveList::PopHead() {
  if (IsEmpty()) return nullptr;
  void* element = ElementOf(head.next);
  Remove(element);
  return element;
}

void* IntrusiveList::Next(void* element) {
  ListLink* link = element ? LinkOf(element)->next : head.next;
  return link == &head ? nullptr : ElementOf(link);
}

void IntrusiveList::MoveAllTo(IntrusiveList& destination) {
  if (IsEmpty()) return;
  ListLink* first = head.next;
  ListLink* last = head.prev;
  head.Unlink();
  last->next = destination.head.next;
  destination.head.next->prev = last;
  destination.head.next = first;
  first->prev = &destination.head;
}
