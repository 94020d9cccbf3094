#include <gtest/gtest.h>

#include "settings/settings_internal.h"

TEST(Settings, Placeholder) { SUCCEED(); }
