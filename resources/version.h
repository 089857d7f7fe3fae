/* The program's version: the one place it is written. The resource script and the code both read it. */
#ifndef KV_RESOURCES_VERSION_H
#define KV_RESOURCES_VERSION_H

#define KV_FILE_VERSION_MAJOR 1
#define KV_FILE_VERSION_MINOR 13
#define KV_FILE_VERSION_BUILD 101
#define KV_FILE_VERSION_REVISION 0
#define KV_FILE_VERSION_TEXT "1.13.101.0"

#define KV_PRODUCT_VERSION_MAJOR 1
#define KV_PRODUCT_VERSION_MINOR 0
#define KV_PRODUCT_VERSION_BUILD 0
#define KV_PRODUCT_VERSION_REVISION 0
#define KV_PRODUCT_VERSION_TEXT "1.0.0.0"

#endif
