#include "velk/system_commands/domain_socket.h"
