#include "cli/port_names.h"

const char* const kSerialPortPrefixes[2] = {"cu.usbserial", "cu.usbmodem"};
const char kSerialPortPatternsText[] = "/dev/cu.usbserial*, /dev/cu.usbmodem*";
const char kPortHelpText[] =
    "  --port PORT      try only this serial device (/dev/cu.usbserial-...)\n"
    "Without --port the USB serial devices present (/dev/cu.usbserial*, /dev/cu.usbmodem*) are\n"
    "tried in name order.\n";
