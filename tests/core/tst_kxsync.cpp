#include "sync/KxSync.h"
#include <gtest/gtest.h>
TEST(KxSync, Smoke) { kxsync::Event e(true); e.set(); EXPECT_TRUE(e.wait(0)); }
