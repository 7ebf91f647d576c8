#include "transport/BaseServices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace qorx {
namespace {

// A factory serving a fixed multi-string, as a PC/SC reader list would arrive.
class ListFactory : public TSDBaseServiceFactory {
 public:
  explicit ListFactory(std::string multi)
      : TSDBaseServiceFactory("Test"), multi_(std::move(multi)) {}
  int EnumerateNames(char* buffer, int* size) override {
    int n = 0;
    for (size_t p = 0; p < multi_.size() && multi_[p] != '\0'; p += std::strlen(&multi_[p]) + 1)
      ++n;
    if (buffer != nullptr) std::memcpy(buffer, multi_.data(), multi_.size());
    *size = static_cast<int>(multi_.size());
    return n;
  }
  TSDBaseService* CreateService(const char* name) override { return new TSDBaseService(name); }

 private:
  std::string multi_;
};

std::vector<std::string> Drain(TSDBaseServiceFactory& f) {
  std::vector<std::string> names;
  for (TSDByteArray n = f.NextName(); n.TextLength() > 0; n = f.NextName())
    names.push_back(n.CStr());
  return names;
}

TEST(BaseServices, NameEnumeration) {
  ListFactory two(std::string("A\0Bee\0\0", 7));
  EXPECT_EQ(two.StartEnumeration(), 2);
  EXPECT_EQ(Drain(two), std::vector<std::string>({"A", "Bee"}));
  EXPECT_STREQ(two.NextName().CStr(), "");  // idle after the last name

  ListFactory none(std::string("\0", 1));
  EXPECT_EQ(none.StartEnumeration(), 0);
  EXPECT_STREQ(none.NextName().CStr(), "");

  // A restart discards the running enumeration.
  EXPECT_EQ(two.StartEnumeration(), 2);
  EXPECT_STREQ(two.NextName().CStr(), "A");
  EXPECT_EQ(two.StartEnumeration(), 2);
  EXPECT_STREQ(two.NextName().CStr(), "A");
}

TEST(BaseServices, UnterminatedListStaysInBounds) {
  // A name list without its final NUL: the walk must stop at the buffer's end.
  ListFactory broken(std::string("Reader", 6));
  EXPECT_EQ(broken.StartEnumeration(), 1);
  EXPECT_EQ(Drain(broken), std::vector<std::string>({"Reader"}));
}

TEST(BaseServices, AttributesAreRefused) {
  TSDBaseService service("TerminalAppletService");
  EXPECT_STREQ(service.Name().CStr(), "TerminalAppletService");
  uint32_t value = 0;
  for (const test::Raised& raised : {test::CatchSD([&] { service.GetAttribute(1, &value, 4); }),
                                     test::CatchSD([&] { service.SetAttribute(1, &value, 4); })}) {
    EXPECT_EQ(raised.code, sd::kInvalidArgument);
    EXPECT_EQ(raised.unit, "BaseServices");
    EXPECT_EQ(raised.message, "");
  }
}

}  // namespace
}  // namespace qorx
