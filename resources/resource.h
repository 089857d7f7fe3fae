/* Resource ids of the updater: the resource script and the code both read them from here. */
#ifndef KV_RESOURCES_RESOURCE_H
#define KV_RESOURCES_RESOURCE_H

#define IDD_UPDATE_DIALOG 129

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_UPDATE 1 /* IDOK */
#define IDC_CANCEL 2 /* IDCANCEL */
#define IDC_HW_DESCRIPTION 1000
#define IDC_PACKAGE_VERSION 1001
#define IDC_PACKAGE_TARGET 1002
#define IDC_DETECT 1004
#define IDC_IMAGE_PATH 2745
#define IDC_BROWSE 2746
#define IDC_FW_VERSION 2747
#define IDC_PROGRESS 2777

/* The diagnostic log window's controls. */
#define IDC_LOG_TEXT 3001
#define IDC_LOG_SAVE 3002
#define IDC_LOG_CLOSE 3003

#endif
