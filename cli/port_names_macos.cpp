#include "cli/port_names.h"

const char kPortHelpText[] =
    "  --port PORT      try only this serial device (/dev/cu.usbserial-...)\n"
    "Without --port the USB serial devices present (/dev/cu.usbserial*, /dev/cu.usbmodem*) are\n"
    "tried in name order.\n";
