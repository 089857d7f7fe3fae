// Process entry of the updater: the one device connection lives for the whole process; the dialog
// runs modally and the program ends when it closes.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <memory>

#include "app/dialog_win32.h"
#include "app/log_window.h"
#include "app/log_window_win32.h"
#include "app/update_dialog.h"
#include "device/device_connection.h"
#include "log/log_buffer.h"
#include "resources/resource.h"
#include "serial/usb_adapters.h"

namespace {

// The diagnostic log, kept from the start whether or not its window is ever opened. Declared
// before the connection so that it outlives the connection's last lines.
LogBuffer g_log_buffer;
LogSink g_log_sink{&g_log_buffer};
LogWindow g_log_window{g_log_buffer};
Win32LogWindowView g_log_view{g_log_window};

// Constructed during static initialisation, before the dialog opens; destroyed at exit.
DeviceConnection g_connection;
// Asked only when a search finds nothing; SetupAPI is loaded then.
const std::unique_ptr<AdapterInventory> g_adapters = MakeAdapterInventory();
UpdateDialog g_update_dialog{g_connection, g_adapters.get()};

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Before anything can load a DLL: only from System32, never from the program's folder (a
    // Downloads folder holds whatever the browser saved) nor the current one. The common controls,
    // the file dialogs, COM, the shell and the version functions are delay-loaded, so this comes
    // before any of them.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    AttachDiagnosticLog(g_connection, &g_log_sink);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The taskbar's progress interface is a COM object; without COM the button just shows none.
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    InstallUpdateDialog(g_update_dialog);
    InstallLogWindow(g_log_window, g_log_view);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE_DIALOG), nullptr, UpdateDialogProc, 0);
    if (com)
        CoUninitialize();
    return 0;
}
