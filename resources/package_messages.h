/* Texts of the package validation messages, ids 130 to 138 of the string table. The resource
   script builds the table from these, and package code can return the same texts. */
#ifndef KV_RESOURCES_PACKAGE_MESSAGES_H
#define KV_RESOURCES_PACKAGE_MESSAGES_H

#define KV_IDS_PACKAGE_CHECKSUM_MISMATCH 130
#define KV_IDS_PACKAGE_WRONG_HARDWARE 131
#define KV_IDS_PACKAGE_NEEDS_NEWER_UPDATER 132
#define KV_IDS_PACKAGE_INVALID 133
#define KV_IDS_PACKAGE_NOT_A_PACKAGE 134
#define KV_IDS_PACKAGE_NO_HARDWARE_ID 135
#define KV_IDS_PACKAGE_DEPRECATED 136
#define KV_IDS_PACKAGE_SIGNATURE_MISMATCH 137
#define KV_IDS_PACKAGE_NOT_SIGNED 138

#define KV_TEXT_PACKAGE_CHECKSUM_MISMATCH "Firmware package checksum mismatch. Package is corrupt."
#define KV_TEXT_PACKAGE_WRONG_HARDWARE "Firmware package not intended for this hardware."
#define KV_TEXT_PACKAGE_NEEDS_NEWER_UPDATER "Firmware package requires newer updater utility."
#define KV_TEXT_PACKAGE_INVALID "Firmware package is invalid (Generic Failure)."
#define KV_TEXT_PACKAGE_NOT_A_PACKAGE "File is not a Quenbyware firmware package."
#define KV_TEXT_PACKAGE_NO_HARDWARE_ID                                                                       \
    "Unable to retrieve hardware ID from attached hardware. Contact HW vendor."
#define KV_TEXT_PACKAGE_DEPRECATED "Firmware package has been deprecated and cannot be used."
#define KV_TEXT_PACKAGE_SIGNATURE_MISMATCH                                                                   \
    "The firmware package's signature does not match its contents. It may have been altered. Download "      \
    "it again from the manufacturer."
#define KV_TEXT_PACKAGE_NOT_SIGNED                                                                           \
    "The firmware package is not signed, and only signed packages are accepted."

#endif
