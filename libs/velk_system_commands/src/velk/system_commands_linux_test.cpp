#include "velk/system_commands.h"

#include <gtest/gtest.h>
