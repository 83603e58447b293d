#include "prandel/expected.hpp"

#include <gtest/gtest.h>

#include <string>

namespace prandel {
namespace {

using Result = Expected<int, std::string>;

// Reading the side a result does not hold is a caller's bug; a build with
// assertions stops there instead of reading through a null pointer.
TEST(ExpectedDeathTest, ReadingTheSideNotHeldAsserts) {
#ifdef NDEBUG
  GTEST_SKIP() << "assertions are compiled out";
#else
  Result value = 7;
  Result error = unexpected(std::string("bad"));
  const Result& const_value = value;
  const Result& const_error = error;
  EXPECT_DEATH((void)value.error(), "has_value");
  EXPECT_DEATH((void)const_value.error(), "has_value");
  EXPECT_DEATH((void)std::move(value).error(), "has_value");
  EXPECT_DEATH((void)error.value(), "has_value");
  EXPECT_DEATH((void)const_error.value(), "has_value");
  EXPECT_DEATH((void)*std::move(error), "has_value");
#endif
}

TEST(Expected, ReadsTheSideHeld) {
  Result value = 7;
  Result error = unexpected(std::string("bad"));
  ASSERT_TRUE(value.has_value());
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(*value, 7);
  EXPECT_EQ(error.error(), "bad");
  EXPECT_EQ(std::move(error).error(), "bad");
}

}  // namespace
}  // namespace prandel
