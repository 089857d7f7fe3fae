// Process entry of the updater: the one device connection lives for the whole process; the dialog
// runs modally and the program ends when it closes.
#include <windows.h>

#include <commctrl.h>

#include "app/dialog_win32.h"
#include "app/update_dialog.h"
#include "device/device_connection.h"
#include "resources/resource.h"

namespace {

// Constructed during static initialisation, before the dialog opens; destroyed at exit.
DeviceConnection g_connection;
UpdateDialog g_update_dialog{g_connection};

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    InstallUpdateDialog(g_update_dialog);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE_DIALOG), nullptr, UpdateDialogProc, 0);
    return 0;
}
