#include <gtest/gtest.h>

#include "kedo/kedo.hpp"

TEST(Smoke, uffCompiles) { SUCCEED(); }
