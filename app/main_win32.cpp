// Process entry of the updater: the one device connection lives for the whole process; the dialog
// runs modally and the program ends when it closes.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

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
    // The taskbar's progress interface is a COM object; without COM the button just shows none.
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    InstallUpdateDialog(g_update_dialog);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE_DIALOG), nullptr, UpdateDialogProc, 0);
    if (com)
        CoUninitialize();
    return 0;
}
