#include "cli/port_names.h"

const char* const kSerialPortPrefixes[2] = {"ttyUSB", "ttyACM"};
const char kSerialPortPatternsText[] = "/dev/ttyUSB*, /dev/ttyACM*";
const char kPortHelpText[] =
    "  --port PORT      try only this serial device (/dev/ttyUSB0, /dev/serial/by-id/...)\n"
    "Without --port the USB serial devices present (/dev/ttyUSB*, /dev/ttyACM*) are tried in name\n"
    "order; /dev/ttyS* ports are not probed.\n";
