#include <gtest/gtest.h>
#include "rbo/RBO.h"
TEST(Smoke, NormalCdfAtMean) { CRandVar v(0, 0.0, 1.0); EXPECT_NEAR(v.CDF(0.0), 0.499999985, 1e-9); }
