#include <gtest/gtest.h>

#include <vector>

#include "support/IntrusiveList.h"

namespace {

struct Item {
  explicit Item(int value) : value(value) {}
  int value;
  ListLink first;
  ListLink second;
};

std::vector<int> Values(IntrusiveListOf<Item>& list) {
  std::vector<int> values;
  for (Item* item = list.Next(nullptr); item; item = list.Next(item)) values.push_back(item->value);
  return values;
}

struct IntrusiveListTest : ::testing::Test {
  Item a{1}, b{2}, c{3}, d{4};
  IntrusiveListOf<Item> list{LINK_OFFSET(Item, first)};
  IntrusiveListOf<Item> other{LINK_OFFSET(Item, first)};
};

TEST_F(IntrusiveListTest, EmptyListYieldsNothing) {
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.PopHead(), nullptr);
  EXPECT_EQ(list.Next(nullptr), nullptr);
}

TEST_F(IntrusiveListTest, KeepsInsertionOrderAndPopsFromTheHead) {
  list.InsertTail(&a);
  list.InsertTail(&b);
  list.InsertTail(&c);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(list.PopHead(), &a);
  EXPECT_FALSE(a.first.IsLinked()) << "a popped element is self-linked";
  EXPECT_EQ(Values(list), (std::vector<int>{2, 3}));
}

TEST_F(IntrusiveListTest, RemoveFromTheMiddleAndTwiceIsHarmless) {
  list.InsertTail(&a);
  list.InsertTail(&b);
  list.InsertTail(&c);
  list.Remove(&b);
  list.Remove(&b);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 3}));
  EXPECT_EQ(b.first.next, &b.first);
  EXPECT_EQ(b.first.prev, &b.first);
}

TEST_F(IntrusiveListTest, OneElementOnTwoListsThroughDifferentLinks) {
  IntrusiveListOf<Item> byOther(LINK_OFFSET(Item, second));
  list.InsertTail(&a);
  list.InsertTail(&b);
  byOther.InsertTail(&b);
  byOther.InsertTail(&a);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2}));
  EXPECT_EQ(Values(byOther), (std::vector<int>{2, 1}));
  list.Remove(&a);
  EXPECT_EQ(Values(byOther), (std::vector<int>{2, 1}));
}

TEST_F(IntrusiveListTest, MoveAllPutsTheMovedElementsFirstInTheirOrder) {
  list.InsertTail(&a);
  list.InsertTail(&b);
  other.InsertTail(&c);
  other.InsertTail(&d);
  list.MoveAllTo(other);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(Values(other), (std::vector<int>{1, 2, 3, 4}));
  // The source stays usable after the move.
  other.Remove(&a);
  list.InsertTail(&a);
  EXPECT_EQ(Values(list), (std::vector<int>{1}));
  EXPECT_EQ(Values(other), (std::vector<int>{2, 3, 4}));
}

TEST_F(IntrusiveListTest, MoveAllFromAnEmptyListLeavesTheDestination) {
  other.InsertTail(&c);
  list.MoveAllTo(other);
  EXPECT_EQ(Values(other), (std::vector<int>{3}));
  other.MoveAllTo(list);
  EXPECT_EQ(Values(list), (std::vector<int>{3}));
  EXPECT_TRUE(other.IsEmpty());
}

}  // namespace
