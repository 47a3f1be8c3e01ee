#include "velk/system_commands/domain_socket.h"

#include <gtest/gtest.h>
