#include <gtest/gtest.h>

#include "kedo/kedo.hpp"

TEST(Smoke, unique_idsCompiles) { SUCCEED(); }
