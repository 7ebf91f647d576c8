#include "core/Objects.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace qorx {
namespace {

// Records its own destruction so ownership can be checked.
class Tracked : public TSDObject {
 public:
  Tracked(int id, std::vector<int>* log) : id_(id), log_(log) {}
  ~Tracked() override { log_->push_back(id_); }
  int Id() const { return id_; }

 private:
  int id_;
  std::vector<int>* log_;
};

int IdAt(const TSDObjectArray& a, int i) {
  return static_cast<Tracked*>(a.At(i))->Id();
}

TEST(Objects, NewObjectsAreZeroFilledWithOneReference) {
  struct Plain : TSDObject {
    unsigned char bytes[48];  // deliberately not initialised: the allocation zero-fills
  };
  // Leave a pattern in memory of that size, which the allocator is likely to hand out again.
  void* used = std::malloc(sizeof(Plain));
  ASSERT_NE(used, nullptr);
  std::memset(used, 0xA5, sizeof(Plain));
  std::free(used);

  Plain* p = new Plain;
  EXPECT_EQ(p->RefCount(), 1);
  for (unsigned char b : p->bytes) EXPECT_EQ(b, 0);
  delete p;
}

TEST(Objects, ArrayOwnsAndPacksItsElements) {
  std::vector<int> destroyed;
  {
    TSDObjectArray a;
    for (int i = 0; i < 5; ++i) a.Add(new Tracked(i, &destroyed));
    EXPECT_EQ(a.InsertAt(0, new Tracked(9, &destroyed)), 0);
    EXPECT_EQ(a.Count(), 6);
    EXPECT_EQ(IdAt(a, 0), 9);
    EXPECT_EQ(IdAt(a, 1), 0);

    a.SetAt(4, nullptr);  // index 4 held id 3
    EXPECT_EQ(destroyed, std::vector<int>({3}));
    a.RemoveRange(1, 1);  // removes id 0 and packs the null slot away too
    EXPECT_EQ(destroyed, std::vector<int>({3, 0}));
    ASSERT_EQ(a.Count(), 4);
    EXPECT_EQ(IdAt(a, 0), 9);
    EXPECT_EQ(IdAt(a, 1), 1);
    EXPECT_EQ(IdAt(a, 2), 2);
    EXPECT_EQ(IdAt(a, 3), 4);

    a.SetAt(0, new Tracked(7, &destroyed));
    EXPECT_EQ(destroyed.back(), 9);
  }
  EXPECT_EQ(destroyed.size(), 7u);  // the rest went with the array
}

TEST(Objects, ClearEmptiesTheList) {
  std::vector<int> destroyed;
  TSDObjectArray a;
  a.Add(new Tracked(1, &destroyed));
  a.Add(nullptr);
  a.Clear();
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(destroyed.size(), 1u);
}

TEST(Objects, StringObjects) {
  TSDObjectArray list;
  list.Add(new QorXString("Virtual PCD 00 00"));
  list.Add(new QorXString);
  EXPECT_STREQ(static_cast<QorXString*>(list.At(0))->Text().CStr(), "Virtual PCD 00 00");
  EXPECT_EQ(static_cast<QorXString*>(list.At(1))->Text().Length(), 1);
}

}  // namespace
}  // namespace qorx
