// uidriver: drives the updater's dialog from another process in the same Wine prefix and display.
// Finds the dialog, reads control texts and states, the progress bar, message boxes and the
// open-file dialog, presses buttons, sends close requests. Every answer is one JSON line.
//
//   uidriver VERB ARGS...     one verb, then exit (status 0 when the answer is ok)
//   uidriver repl             verbs from stdin, one per line; answers on stdout, flushed
//
// Verbs (times in ms):
//   find TIMEOUT                 wait for the main dialog; caption
//   caption | text ID | enabled ID | visible ID | state
//   progress                     pos, low, high of control 2777
//   click ID                     press a button as a user would: refused when it is disabled
//   click-force ID               post the click even to a disabled button
//   wait-text ID TIMEOUT TEXT... wait until the control shows TEXT (rest of the line)
//   wait-enabled ID 0|1 TIMEOUT
//   wait-progress POS TIMEOUT    wait until the bar's position is at least POS
//   msgbox TIMEOUT               wait for a message box of the dialog: caption, text, icon
//   msgbox-ok TIMEOUT            wait for one, press OK, wait until it is gone
//   nomsgbox                     ok when no message box is open
//   filedlg TIMEOUT              wait for the open-file dialog: caption, filter list
//   filedlg-open TIMEOUT PATH    type PATH as the file name and press OK
//   filedlg-cancel TIMEOUT
//   close | syscmd-close | escape | altf4   close requests to the main dialog
//   gone TIMEOUT                 wait until the main dialog has closed
//   window                       the dialog's screen rectangle, styles and extended styles
//   children                     every control: id, class, text, styles, rectangle in the
//                                dialog's client coordinates
//   resource-string EXE ID       a string-table entry of the program file EXE
//   resource-dialog EXE ID       that file's dialog template ID, created hidden in this process
//                                (no dialog procedure of its own): caption and control texts
//   dlu X Y W H                  the pixel rectangle of those dialog units, measured on a dialog
//                                of this process with the same font ("MS Shell Dlg" 8)
//   sleep MS
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr UINT kSendTimeout = 3000;
constexpr int kEdt1 = 0x480;  // file name edit of the open-file dialog
constexpr int kCmb13 = 0x47c; // file name combo box of the explorer-style open-file dialog
constexpr int kCmb1 = 0x470;  // file type combo box
constexpr char kFileDialogTitle[] = "Select Firmware Image...";

std::string Json(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Ok(const std::string& fields = "")
{
    return fields.empty() ? "{\"ok\":true}" : "{\"ok\":true," + fields + "}";
}

std::string Err(const std::string& why) { return "{\"ok\":false,\"error\":" + Json(why) + "}"; }

std::string ClassOf(HWND w)
{
    char name[64] = {};
    GetClassNameA(w, name, sizeof name);
    return name;
}

// Text of a window of another process: WM_GETTEXT is marshalled; a busy owner times out.
bool TextOf(HWND w, std::string* text)
{
    char buffer[1024] = {};
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                             kSendTimeout, &n))
        return false;
    buffer[sizeof buffer - 1] = '\0';
    *text = buffer;
    return true;
}

std::string CaptionOf(HWND w)
{
    char buffer[512] = {};
    // The server keeps top-level captions, so this answers even while the owner is busy.
    GetWindowTextA(w, buffer, sizeof buffer);
    return buffer;
}

bool IsDialogClass(HWND w) { return ClassOf(w) == "#32770"; }

HWND g_main = nullptr;
DWORD g_main_pid = 0;

struct FindMain {
    HWND found = nullptr;
};

BOOL CALLBACK FindMainProc(HWND w, LPARAM lp)
{
    auto* f = reinterpret_cast<FindMain*>(lp);
    if (!IsWindowVisible(w) || !IsDialogClass(w))
        return TRUE;
    const std::string caption = CaptionOf(w);
    if (caption.rfind("Quenby", 0) == 0 && GetDlgItem(w, 2777) != nullptr) {
        f->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND FindMainNow()
{
    FindMain f;
    EnumWindows(FindMainProc, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

bool MainAlive() { return g_main != nullptr && IsWindow(g_main); }

bool EnsureMain(std::string* error)
{
    if (MainAlive())
        return true;
    g_main = FindMainNow();
    if (g_main == nullptr) {
        *error = "no dialog";
        return false;
    }
    GetWindowThreadProcessId(g_main, &g_main_pid);
    return true;
}

// Windows of the dialog's process other than the dialog: message boxes and the file dialog.
struct FindOwned {
    bool want_file_dialog = false;
    HWND found = nullptr;
};

bool IsFileDialog(HWND w)
{
    return CaptionOf(w) == kFileDialogTitle || GetDlgItem(w, kEdt1) != nullptr ||
           GetDlgItem(w, kCmb13) != nullptr;
}

BOOL CALLBACK FindOwnedProc(HWND w, LPARAM lp)
{
    auto* f = reinterpret_cast<FindOwned*>(lp);
    if (w == g_main || !IsWindowVisible(w) || !IsDialogClass(w))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != g_main_pid)
        return TRUE;
    if (IsFileDialog(w) == f->want_file_dialog) {
        f->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND FindOwnedNow(bool file_dialog)
{
    FindOwned f;
    f.want_file_dialog = file_dialog;
    EnumWindows(FindOwnedProc, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

template <typename Pred>
bool WaitFor(DWORD timeout_ms, Pred pred)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (pred())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(20);
    }
}

HWND WaitOwned(bool file_dialog, DWORD timeout)
{
    HWND w = nullptr;
    WaitFor(timeout, [&] {
        w = FindOwnedNow(file_dialog);
        return w != nullptr;
    });
    return w;
}

struct StaticTexts {
    std::string text;
    bool icon = false;
    std::string icon_kind;
};

BOOL CALLBACK CollectStatics(HWND w, LPARAM lp)
{
    auto* s = reinterpret_cast<StaticTexts*>(lp);
    if (ClassOf(w) != "Static")
        return TRUE;
    const LONG style = GetWindowLongA(w, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        s->icon = IsWindowVisible(w) != FALSE;
        return TRUE;
    }
    std::string t;
    if (TextOf(w, &t) && !t.empty()) {
        if (!s->text.empty())
            s->text += "\n";
        s->text += t;
    }
    return TRUE;
}

std::string MessageBoxInfo(HWND box)
{
    StaticTexts s;
    EnumChildWindows(box, CollectStatics, reinterpret_cast<LPARAM>(&s));
    return Ok("\"caption\":" + Json(CaptionOf(box)) + ",\"text\":" + Json(s.text) +
              ",\"icon\":" + (s.icon ? "true" : "false"));
}

std::string FileDialogInfo(HWND dlg)
{
    std::string filters = "[";
    HWND types = GetDlgItem(dlg, kCmb1);
    if (types != nullptr) {
        DWORD_PTR count = 0;
        SendMessageTimeoutA(types, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &count);
        for (DWORD_PTR i = 0; i < count && i < 16; ++i) {
            // The file dialog's combo box holds wide text; the ANSI form of this message does not
            // convert it across processes.
            wchar_t wide[256] = {};
            DWORD_PTR n = 0;
            SendMessageTimeoutW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide), SMTO_ABORTIFHUNG,
                                kSendTimeout, &n);
            wide[255] = L'\0';
            char item[512] = {};
            WideCharToMultiByte(CP_ACP, 0, wide, -1, item, sizeof item, nullptr, nullptr);
            item[sizeof item - 1] = '\0';
            if (i != 0)
                filters += ",";
            filters += Json(item);
        }
    }
    filters += "]";
    return Ok("\"caption\":" + Json(CaptionOf(dlg)) + ",\"filters\":" + filters);
}

INT_PTR CALLBACK QuietDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// MapDialogRect works only on a dialog of the calling process: a hidden one with the updater's
// font and shell-font styles gives the same dialog base units.
bool MapDialogUnits(RECT* rect)
{
    static HWND reference = nullptr;
    if (reference == nullptr) {
        alignas(4) static unsigned char tmpl[256] = {};
        unsigned char* p = tmpl;
        auto put16 = [&](WORD v) {
            std::memcpy(p, &v, 2);
            p += 2;
        };
        auto put32 = [&](DWORD v) {
            std::memcpy(p, &v, 4);
            p += 4;
        };
        put16(1);      // dlgVer
        put16(0xFFFF); // signature: extended template
        put32(0);      // helpID
        put32(0);      // exStyle
        put32(DS_SETFONT | DS_FIXEDSYS | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        put16(0); // no items
        put16(0);
        put16(0);
        put16(278);
        put16(191);
        put16(0);   // no menu
        put16(0);   // default class
        put16(0);   // empty title
        put16(8);   // point size
        put16(400); // weight
        *p++ = 0;   // italic
        *p++ = 1;   // DEFAULT_CHARSET
        for (const char* f = "MS Shell Dlg";; ++f) {
            put16(static_cast<WORD>(static_cast<unsigned char>(*f)));
            if (*f == '\0')
                break;
        }
        reference = CreateDialogIndirectParamW(
            GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(tmpl), nullptr, QuietDialogProc, 0);
        if (reference == nullptr)
            return false;
    }
    return MapDialogRect(reference, rect) != FALSE;
}

std::string RectJson(const RECT& r)
{
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + "]";
}

struct ChildList {
    std::string json;
};

BOOL CALLBACK ListChild(HWND w, LPARAM lp)
{
    auto* list = reinterpret_cast<ChildList*>(lp);
    if (GetParent(w) != g_main)
        return TRUE;
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, g_main, reinterpret_cast<POINT*>(&r), 2);
    std::string text;
    TextOf(w, &text);
    const int id = GetDlgCtrlID(w);
    list->json += std::string(list->json.empty() ? "" : ",") +
                  "{\"id\":" + std::to_string(static_cast<short>(id)) + ",\"class\":" + Json(ClassOf(w)) +
                  ",\"text\":" + Json(text) +
                  ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(w, GWL_STYLE))) +
                  ",\"exstyle\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(w, GWL_EXSTYLE))) +
                  ",\"rect\":" + RectJson(r) + "}";
    return TRUE;
}

int ToInt(const std::string& s) { return static_cast<int>(std::strtol(s.c_str(), nullptr, 0)); }

HWND Control(int id) { return GetDlgItem(g_main, id); }

std::string ProgressJson()
{
    HWND bar = Control(2777);
    DWORD_PTR pos = 0, low = 0, high = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &pos) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeout, &low) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeout, &high))
        return Err("busy");
    return Ok("\"pos\":" + std::to_string(static_cast<int>(pos)) + ",\"low\":" +
              std::to_string(static_cast<int>(low)) + ",\"high\":" + std::to_string(static_cast<int>(high)));
}

std::string Run(const std::vector<std::string>& a)
{
    if (a.empty())
        return Err("no verb");
    const std::string& verb = a[0];
    auto arg = [&](std::size_t i) { return i < a.size() ? a[i] : std::string(); };
    auto rest = [&](std::size_t i) {
        std::string r;
        for (std::size_t k = i; k < a.size(); ++k)
            r += (k > i ? " " : "") + a[k];
        return r;
    };
    std::string error;

    if (verb == "sleep") {
        Sleep(static_cast<DWORD>(ToInt(arg(1))));
        return Ok();
    }
    if (verb == "find") {
        const DWORD timeout = static_cast<DWORD>(ToInt(arg(1)));
        if (!WaitFor(timeout, [&] { return EnsureMain(&error); }))
            return Err("no dialog");
        return Ok("\"caption\":" + Json(CaptionOf(g_main)));
    }
    if (verb == "gone") {
        const DWORD timeout = static_cast<DWORD>(ToInt(arg(1)));
        if (!WaitFor(timeout, [&] { return !MainAlive() && FindMainNow() == nullptr; }))
            return Err("still open");
        return Ok();
    }
    if (verb == "resource-string" || verb == "resource-dialog") {
        HMODULE module = LoadLibraryExA(arg(1).c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (module == nullptr)
            return Err("cannot load " + arg(1));
        std::string answer;
        if (verb == "resource-string") {
            char text[512] = {};
            const int n = LoadStringA(module, static_cast<UINT>(ToInt(arg(2))), text, sizeof text);
            answer = n > 0 ? Ok("\"text\":" + Json(text)) : Err("no such string");
        } else {
            HWND dlg =
                CreateDialogParamA(module, MAKEINTRESOURCEA(ToInt(arg(2))), nullptr, QuietDialogProc, 0);
            if (dlg == nullptr) {
                answer = Err("no such dialog");
            } else {
                ShowWindow(dlg, SW_HIDE);
                HWND saved = g_main;
                g_main = dlg;
                ChildList list;
                EnumChildWindows(dlg, ListChild, reinterpret_cast<LPARAM>(&list));
                answer = Ok("\"caption\":" + Json(CaptionOf(dlg)) + ",\"children\":[" + list.json + "]");
                g_main = saved;
                DestroyWindow(dlg);
            }
        }
        FreeLibrary(module);
        return answer;
    }
    if (verb == "dlu") {
        // The dialog manager converts position and size separately, each rounded on its own.
        RECT origin{ToInt(arg(1)), ToInt(arg(2)), 0, 0};
        RECT size{0, 0, ToInt(arg(3)), ToInt(arg(4))};
        if (!MapDialogUnits(&origin) || !MapDialogUnits(&size))
            return Err("no reference dialog");
        const RECT r{origin.left, origin.top, origin.left + size.right, origin.top + size.bottom};
        return Ok("\"rect\":" + RectJson(r));
    }
    if (!EnsureMain(&error))
        return Err(error);

    if (verb == "caption")
        return Ok("\"caption\":" + Json(CaptionOf(g_main)));
    if (verb == "text") {
        std::string t;
        HWND c = Control(ToInt(arg(1)));
        if (c == nullptr)
            return Err("no control");
        if (!TextOf(c, &t))
            return Err("busy");
        return Ok("\"text\":" + Json(t));
    }
    if (verb == "enabled" || verb == "visible") {
        HWND c = Control(ToInt(arg(1)));
        if (c == nullptr)
            return Err("no control");
        const bool v = verb == "enabled" ? IsWindowEnabled(c) != FALSE : IsWindowVisible(c) != FALSE;
        return Ok(std::string("\"value\":") + (v ? "true" : "false"));
    }
    if (verb == "state") {
        static const int ids[] = {1, 2, 1000, 1001, 1002, 1004, 2745, 2746, 2747};
        std::string fields = "\"caption\":" + Json(CaptionOf(g_main)) + ",\"controls\":{";
        bool first = true;
        for (int id : ids) {
            std::string t;
            HWND c = Control(id);
            if (c == nullptr || !TextOf(c, &t))
                return Err("busy");
            fields += std::string(first ? "" : ",") + "\"" + std::to_string(id) + "\":{\"text\":" + Json(t) +
                      ",\"enabled\":" + (IsWindowEnabled(c) ? "true" : "false") + "}";
            first = false;
        }
        return Ok(fields + "}");
    }
    if (verb == "progress")
        return ProgressJson();
    if (verb == "click" || verb == "click-force") {
        HWND c = Control(ToInt(arg(1)));
        if (c == nullptr)
            return Err("no control");
        if (verb == "click" && !IsWindowEnabled(c))
            return Err("disabled");
        // Posted: the click may open a modal box, which a sent message would wait for.
        PostMessageA(c, BM_CLICK, 0, 0);
        return Ok();
    }
    if (verb == "wait-text") {
        const int id = ToInt(arg(1));
        const DWORD timeout = static_cast<DWORD>(ToInt(arg(2)));
        const std::string want = rest(3);
        std::string t;
        if (!WaitFor(timeout, [&] { return TextOf(Control(id), &t) && t == want; }))
            return Err("text is " + t);
        return Ok("\"text\":" + Json(t));
    }
    if (verb == "wait-enabled") {
        const int id = ToInt(arg(1));
        const bool want = ToInt(arg(2)) != 0;
        const DWORD timeout = static_cast<DWORD>(ToInt(arg(3)));
        if (!WaitFor(timeout, [&] { return (IsWindowEnabled(Control(id)) != FALSE) == want; }))
            return Err("not in that state");
        return Ok();
    }
    if (verb == "wait-progress") {
        const int want = ToInt(arg(1));
        const DWORD timeout = static_cast<DWORD>(ToInt(arg(2)));
        if (!WaitFor(timeout, [&] {
                DWORD_PTR pos = 0;
                return SendMessageTimeoutA(Control(2777), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout,
                                           &pos) &&
                       static_cast<int>(pos) >= want;
            }))
            return Err("position not reached");
        return ProgressJson();
    }
    if (verb == "msgbox" || verb == "msgbox-ok") {
        HWND box = WaitOwned(false, static_cast<DWORD>(ToInt(arg(1))));
        if (box == nullptr)
            return Err("no message box");
        std::string info = MessageBoxInfo(box);
        if (verb == "msgbox-ok") {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            if (!WaitFor(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); }))
                return Err("message box stays open");
        }
        return info;
    }
    if (verb == "nomsgbox") {
        HWND open = FindOwnedNow(false);
        if (open == nullptr)
            open = FindOwnedNow(true);
        if (open == nullptr)
            return Ok();
        return Err("a box is open: " + CaptionOf(open) + " / " + MessageBoxInfo(open));
    }
    if (verb == "filedlg" || verb == "filedlg-open" || verb == "filedlg-cancel") {
        HWND dlg = WaitOwned(true, static_cast<DWORD>(ToInt(arg(1))));
        if (dlg == nullptr)
            return Err("no file dialog");
        std::string info = FileDialogInfo(dlg);
        if (verb == "filedlg")
            return info;
        if (verb == "filedlg-open") {
            HWND name = GetDlgItem(dlg, kCmb13);
            if (name == nullptr)
                name = GetDlgItem(dlg, kEdt1);
            if (name == nullptr)
                return Err("no file name field");
            const std::string path = rest(2);
            DWORD_PTR r = 0;
            SendMessageTimeoutA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG,
                                kSendTimeout, &r);
            PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
        } else {
            PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDCANCEL)));
        }
        if (!WaitFor(5000, [&] { return !IsWindow(dlg) || !IsWindowVisible(dlg); }))
            return Err("file dialog stays open");
        return info;
    }
    if (verb == "window") {
        RECT r{};
        GetWindowRect(g_main, &r);
        RECT desk{};
        GetWindowRect(GetDesktopWindow(), &desk);
        RECT client{};
        GetClientRect(g_main, &client);
        return Ok("\"rect\":" + RectJson(r) + ",\"desktop\":" + RectJson(desk) +
                  ",\"client\":" + RectJson(client) +
                  ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(g_main, GWL_STYLE))) +
                  ",\"exstyle\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(g_main, GWL_EXSTYLE))));
    }
    if (verb == "children") {
        ChildList list;
        EnumChildWindows(g_main, ListChild, reinterpret_cast<LPARAM>(&list));
        return Ok("\"children\":[" + list.json + "]");
    }
    if (verb == "close") {
        PostMessageA(g_main, WM_CLOSE, 0, 0);
        return Ok();
    }
    if (verb == "syscmd-close") {
        PostMessageA(g_main, WM_SYSCOMMAND, SC_CLOSE, 0);
        return Ok();
    }
    if (verb == "escape") {
        // The dialog manager of the dialog's modal loop sees the key as if typed into the dialog.
        PostMessageA(g_main, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(g_main, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
        return Ok();
    }
    if (verb == "altf4") {
        const LPARAM alt = 0x20000000 | (0x3E << 16) | 1; // context code: Alt is down
        PostMessageA(g_main, WM_SYSKEYDOWN, VK_F4, alt);
        PostMessageA(g_main, WM_SYSKEYUP, VK_F4, alt | static_cast<LPARAM>(0xC0000000u));
        return Ok();
    }
    return Err("unknown verb " + verb);
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

} // namespace

int main(int argc, char** argv)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls); // the updater's template holds a progress bar
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "repl") {
        std::string line;
        while (std::getline(std::cin, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            if (line == "quit")
                break;
            std::fputs(Run(Split(line)).c_str(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        return 0;
    }
    const std::string answer = Run(args);
    std::puts(answer.c_str());
    return answer.rfind("{\"ok\":true", 0) == 0 ? 0 : 1;
}
