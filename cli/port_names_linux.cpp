#include "cli/port_names.h"

const char kPortHelpText[] =
    "  --port PORT      try only this serial device (/dev/ttyUSB0, /dev/serial/by-id/...)\n"
    "Without --port the USB serial devices present (/dev/ttyUSB*, /dev/ttyACM*) are tried in name\n"
    "order; /dev/ttyS* ports are not probed.\n";
