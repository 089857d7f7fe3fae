// uidriver: drives the updater's dialog from another process in the same Wine prefix and display.
// Finds the dialog, reads control texts and states, the progress bar, message boxes and the
// open-file dialog, presses buttons, sends close requests. Every answer is one JSON line.
//
//   uidriver VERB ARGS...     one verb, then exit (status 0 when the answer is ok)
//   uidriver repl             verbs from stdin, one per line; answers on stdout, flushed
//
// The verbs and their arguments are in the table kVerbs below; without arguments the program
// prints them.
#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/log_window.h"
#include "app/update_dialog.h"
#include "resources/resource.h"

namespace {

constexpr UINT kSendTimeout = 3000;
constexpr int kEdt1 = 0x480;  // file name edit of the open-file dialog
constexpr int kCmb13 = 0x47c; // file name combo box of the explorer-style open-file dialog
constexpr int kCmb1 = 0x470;  // file type combo box

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
            // Text is UTF-8 here, which JSON carries as it is.
            if (c < 0x20 || c == 0x7F) {
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

std::string Utf8(const wchar_t* wide, int length)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), n, nullptr, nullptr);
    return text;
}

std::wstring Wide(const std::string& text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// Text of a window of another process, whole and in UTF-8: WM_GETTEXT is marshalled (the wide
// form keeps every script); a busy owner times out.
bool TextOf(HWND w, std::string* text)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &length))
        return false;
    std::vector<wchar_t> buffer(length + 1, L'\0');
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, kSendTimeout, &n))
        return false;
    *text = Utf8(buffer.data(), static_cast<int>(n < buffer.size() ? n : buffer.size() - 1));
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
    if (caption.rfind("Quenby", 0) == 0 && GetDlgItem(w, IDC_PROGRESS) != nullptr) {
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
    return CaptionOf(w) == kBrowseTitle || GetDlgItem(w, kEdt1) != nullptr ||
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
HWND ReferenceDialog()
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
    }
    return reference;
}

bool MapDialogUnits(RECT* rect)
{
    HWND reference = ReferenceDialog();
    return reference != nullptr && MapDialogRect(reference, rect) != FALSE;
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
    HWND bar = Control(IDC_PROGRESS);
    DWORD_PTR pos = 0, low = 0, high = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &pos) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeout, &low) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeout, &high))
        return Err("busy");
    return Ok("\"pos\":" + std::to_string(static_cast<int>(pos)) + ",\"low\":" +
              std::to_string(static_cast<int>(low)) + ",\"high\":" + std::to_string(static_cast<int>(high)));
}

// The words of one request: the verb, then its arguments.
class Args {
public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
    std::string str(std::size_t i) const { return i < words_.size() ? words_[i] : std::string(); }
    int num(std::size_t i) const { return ToInt(str(i)); }
    DWORD ms(std::size_t i) const { return static_cast<DWORD>(num(i)); }
    // The words from i on, joined by single spaces (texts and paths may hold blanks).
    std::string rest(std::size_t i) const
    {
        std::string r;
        for (std::size_t k = i; k < words_.size(); ++k)
            r += (k > i ? " " : "") + words_[k];
        return r;
    }

private:
    std::vector<std::string> words_;
};

std::string VerbSleep(const Args& a)
{
    Sleep(a.ms(1));
    return Ok();
}

std::string VerbFind(const Args& a)
{
    std::string error;
    if (!WaitFor(a.ms(1), [&] { return EnsureMain(&error); }))
        return Err("no dialog");
    return Ok("\"caption\":" + Json(CaptionOf(g_main)));
}

std::string VerbGone(const Args& a)
{
    if (!WaitFor(a.ms(1), [&] { return !MainAlive() && FindMainNow() == nullptr; }))
        return Err("still open");
    return Ok();
}

// Loads EXE as a data file for the resource verbs.
class ResourceModule {
public:
    explicit ResourceModule(const std::string& path)
        : module_(LoadLibraryExA(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~ResourceModule()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

std::string VerbResourceString(const Args& a)
{
    const ResourceModule module(a.str(1));
    if (module.get() == nullptr)
        return Err("cannot load " + a.str(1));
    char text[512] = {};
    const int n = LoadStringA(module.get(), static_cast<UINT>(a.num(2)), text, sizeof text);
    return n > 0 ? Ok("\"text\":" + Json(text)) : Err("no such string");
}

std::string VerbResourceDialog(const Args& a)
{
    const ResourceModule module(a.str(1));
    if (module.get() == nullptr)
        return Err("cannot load " + a.str(1));
    HWND dlg = CreateDialogParamA(module.get(), MAKEINTRESOURCEA(a.num(2)), nullptr, QuietDialogProc, 0);
    if (dlg == nullptr)
        return Err("no such dialog");
    ShowWindow(dlg, SW_HIDE);
    HWND saved = g_main;
    g_main = dlg;
    ChildList list;
    EnumChildWindows(dlg, ListChild, reinterpret_cast<LPARAM>(&list));
    const std::string answer =
        Ok("\"caption\":" + Json(CaptionOf(dlg)) + ",\"children\":[" + list.json + "]");
    g_main = saved;
    DestroyWindow(dlg);
    return answer;
}

std::string VerbDlu(const Args& a)
{
    // The dialog manager converts position and size separately, each rounded on its own.
    RECT origin{a.num(1), a.num(2), 0, 0};
    RECT size{0, 0, a.num(3), a.num(4)};
    if (!MapDialogUnits(&origin) || !MapDialogUnits(&size))
        return Err("no reference dialog");
    const RECT r{origin.left, origin.top, origin.left + size.right, origin.top + size.bottom};
    return Ok("\"rect\":" + RectJson(r));
}

std::string VerbCaption(const Args&) { return Ok("\"caption\":" + Json(CaptionOf(g_main))); }

std::string VerbText(const Args& a)
{
    std::string t;
    HWND c = Control(a.num(1));
    if (c == nullptr)
        return Err("no control");
    if (!TextOf(c, &t))
        return Err("busy");
    return Ok("\"text\":" + Json(t));
}

std::string ControlFlag(const Args& a, BOOL(WINAPI* query)(HWND))
{
    HWND c = Control(a.num(1));
    if (c == nullptr)
        return Err("no control");
    return Ok(std::string("\"value\":") + (query(c) != FALSE ? "true" : "false"));
}

std::string VerbEnabled(const Args& a) { return ControlFlag(a, IsWindowEnabled); }
std::string VerbVisible(const Args& a) { return ControlFlag(a, IsWindowVisible); }

std::string VerbState(const Args&)
{
    static const int ids[] = {IDC_UPDATE,          IDC_CANCEL,         IDC_HW_DESCRIPTION,
                              IDC_PACKAGE_VERSION, IDC_PACKAGE_TARGET, IDC_DETECT,
                              IDC_IMAGE_PATH,      IDC_BROWSE,         IDC_FW_VERSION};
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

std::string VerbProgress(const Args&) { return ProgressJson(); }

std::string Click(const Args& a, bool only_enabled)
{
    HWND c = Control(a.num(1));
    if (c == nullptr)
        return Err("no control");
    if (only_enabled && !IsWindowEnabled(c))
        return Err("disabled");
    // Posted: the click may open a modal box, which a sent message would wait for.
    PostMessageA(c, BM_CLICK, 0, 0);
    return Ok();
}

std::string VerbClick(const Args& a) { return Click(a, true); }
std::string VerbClickForce(const Args& a) { return Click(a, false); }

std::string VerbWaitText(const Args& a)
{
    const int id = a.num(1);
    const std::string want = a.rest(3);
    std::string t;
    if (!WaitFor(a.ms(2), [&] { return TextOf(Control(id), &t) && t == want; }))
        return Err("text is " + t);
    return Ok("\"text\":" + Json(t));
}

std::string VerbWaitEnabled(const Args& a)
{
    const int id = a.num(1);
    const bool want = a.num(2) != 0;
    if (!WaitFor(a.ms(3), [&] { return (IsWindowEnabled(Control(id)) != FALSE) == want; }))
        return Err("not in that state");
    return Ok();
}

std::string VerbWaitProgress(const Args& a)
{
    const int want = a.num(1);
    if (!WaitFor(a.ms(2), [&] {
            DWORD_PTR pos = 0;
            return SendMessageTimeoutA(Control(IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                                       kSendTimeout, &pos) &&
                   static_cast<int>(pos) >= want;
        }))
        return Err("position not reached");
    return ProgressJson();
}

std::string MessageBoxVerb(const Args& a, bool press_ok)
{
    HWND box = WaitOwned(false, a.ms(1));
    if (box == nullptr)
        return Err("no message box");
    std::string info = MessageBoxInfo(box);
    if (press_ok) {
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        if (!WaitFor(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); }))
            return Err("message box stays open");
    }
    return info;
}

std::string VerbMsgbox(const Args& a) { return MessageBoxVerb(a, false); }
std::string VerbMsgboxOk(const Args& a) { return MessageBoxVerb(a, true); }

std::string VerbNoMsgbox(const Args&)
{
    HWND open = FindOwnedNow(false);
    if (open == nullptr)
        open = FindOwnedNow(true);
    if (open == nullptr)
        return Ok();
    return Err("a box is open: " + CaptionOf(open) + " / " + MessageBoxInfo(open));
}

// Waits for the open-file dialog; then, unless only looking, answers it with IDOK or IDCANCEL.
std::string FileDialogVerb(const Args& a, int answer)
{
    HWND dlg = WaitOwned(true, a.ms(1));
    if (dlg == nullptr)
        return Err("no file dialog");
    std::string info = FileDialogInfo(dlg);
    if (answer == 0)
        return info;
    if (answer == IDOK) {
        HWND name = GetDlgItem(dlg, kCmb13);
        if (name == nullptr)
            name = GetDlgItem(dlg, kEdt1);
        if (name == nullptr)
            return Err("no file name field");
        const std::wstring path = Wide(a.rest(2));
        DWORD_PTR r = 0;
        SendMessageTimeoutW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG,
                            kSendTimeout, &r);
    }
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, answer)));
    if (!WaitFor(5000, [&] { return !IsWindow(dlg) || !IsWindowVisible(dlg); }))
        return Err("file dialog stays open");
    return info;
}

std::string VerbFileDialog(const Args& a) { return FileDialogVerb(a, 0); }
std::string VerbFileDialogOpen(const Args& a) { return FileDialogVerb(a, IDOK); }
std::string VerbFileDialogCancel(const Args& a) { return FileDialogVerb(a, IDCANCEL); }

std::string VerbWindow(const Args&)
{
    RECT r{};
    GetWindowRect(g_main, &r);
    RECT desk{};
    GetWindowRect(GetDesktopWindow(), &desk);
    RECT client{};
    GetClientRect(g_main, &client);
    POINT origin{0, 0};
    ClientToScreen(g_main, &origin);
    return Ok("\"rect\":" + RectJson(r) + ",\"desktop\":" + RectJson(desk) +
              ",\"client\":" + RectJson(client) + ",\"client_origin\":[" + std::to_string(origin.x) + "," +
              std::to_string(origin.y) + "]" +
              ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(g_main, GWL_STYLE))) +
              ",\"exstyle\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(g_main, GWL_EXSTYLE))));
}

std::string VerbChildren(const Args&)
{
    ChildList list;
    EnumChildWindows(g_main, ListChild, reinterpret_cast<LPARAM>(&list));
    return Ok("\"children\":[" + list.json + "]");
}

// Whether each label's and button's text fits its control at the dialog's font (measured with the
// same font on a dialog of this process): the width of one line, or the height of wrapped text.
std::string VerbTextFits(const Args&)
{
    HWND reference = ReferenceDialog();
    if (reference == nullptr)
        return Err("no reference dialog");
    HDC dc = GetDC(reference);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(reference, WM_GETFONT, 0, 0)));
    std::string list;
    for (HWND w = GetWindow(g_main, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        const std::string cls = ClassOf(w);
        if (cls != "Static" && cls != "Button")
            continue;
        std::string text;
        if (!TextOf(w, &text) || text.empty())
            continue;
        const DWORD style = static_cast<DWORD>(GetWindowLongA(w, GWL_STYLE));
        RECT client{};
        GetClientRect(w, &client);
        const std::wstring wide = Wide(text);
        RECT need{0, 0, client.right, 0};
        UINT format = DT_CALCRECT | ((style & SS_NOPREFIX) != 0 && cls == "Static" ? DT_NOPREFIX : 0);
        int have_w = client.right;
        int have_h = client.bottom;
        const DWORD kind = style & 0x1F;
        const bool wraps = cls == "Static" && (kind == SS_LEFT || kind == SS_CENTER || kind == SS_RIGHT) &&
                           (style & SS_CENTERIMAGE) == 0;
        if (wraps) {
            format |= DT_WORDBREAK;
        } else {
            format |= DT_SINGLELINE;
            need.right = 0;
            if (cls == "Button" && (style & 0xF) != BS_GROUPBOX)
                have_w -= 2 * GetSystemMetrics(SM_CXEDGE) + 2; // the button's frame
        }
        DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &need, format);
        // A line's extent ends with its last character's blank right side; only the ink must fit.
        ABC last{};
        if (!wraps && !wide.empty() && GetCharABCWidthsW(dc, wide.back(), wide.back(), &last) &&
            last.abcC > 0)
            need.right -= last.abcC;
        const bool fits = need.right <= have_w && need.bottom <= have_h;
        list += std::string(list.empty() ? "" : ",") + "{\"text\":" + Json(text) + ",\"need\":[" +
                std::to_string(need.right) + "," + std::to_string(need.bottom) + "],\"have\":[" +
                std::to_string(have_w) + "," + std::to_string(have_h) +
                "],\"fits\":" + (fits ? "true" : "false") + "}";
    }
    SelectObject(dc, old);
    ReleaseDC(reference, dc);
    return Ok("\"controls\":[" + list + "]");
}

std::string VerbClose(const Args&)
{
    PostMessageA(g_main, WM_CLOSE, 0, 0);
    return Ok();
}

std::string VerbSysCommandClose(const Args&)
{
    PostMessageA(g_main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Ok();
}

std::string VerbEscape(const Args&)
{
    // The dialog manager of the dialog's modal loop sees the key as if typed into the dialog.
    PostMessageA(g_main, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(g_main, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
    return Ok();
}

std::string VerbAltF4(const Args&)
{
    const LPARAM alt = 0x20000000 | (0x3E << 16) | 1; // context code: Alt is down
    PostMessageA(g_main, WM_SYSKEYDOWN, VK_F4, alt);
    PostMessageA(g_main, WM_SYSKEYUP, VK_F4, alt | static_cast<LPARAM>(0xC0000000u));
    return Ok();
}

std::string VerbSysCommand(const Args& a)
{
    PostMessageA(g_main, WM_SYSCOMMAND, static_cast<WPARAM>(a.num(1)), 0);
    return Ok();
}

// WM_QUERYENDSESSION as the system sends it; the answer is the dialog's DWLP_MSGRESULT.
std::string VerbQueryEndSession(const Args&)
{
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(g_main, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &answer))
        return Err("no answer");
    return Ok("\"result\":" + std::to_string(static_cast<long long>(answer)));
}

std::string VerbDeviceChange(const Args& a)
{
    // Only the events that carry no structure can come from another process (DBT_DEVNODES_CHANGED).
    if (!PostMessageA(g_main, WM_DEVICECHANGE, static_cast<WPARAM>(a.num(1)), 0))
        return Err("not posted");
    return Ok("");
}

struct FindBalloon {
    HWND owner;
    HWND found = nullptr;
};

BOOL CALLBACK FindBalloonProc(HWND w, LPARAM lp)
{
    auto* f = reinterpret_cast<FindBalloon*>(lp);
    if (ClassOf(w) == "tooltips_class32" && GetWindow(w, GW_OWNER) == f->owner && IsWindowVisible(w)) {
        f->found = w;
        return FALSE;
    }
    return TRUE;
}

// The dialog's visible balloon tip: its text (the updater also gives it as the window's text).
std::string VerbBalloon(const Args& a)
{
    FindBalloon f{g_main};
    WaitFor(a.ms(1), [&] {
        f.found = nullptr;
        EnumWindows(FindBalloonProc, reinterpret_cast<LPARAM>(&f));
        return f.found != nullptr;
    });
    if (f.found == nullptr)
        return Ok("\"visible\":false");
    std::string text;
    TextOf(f.found, &text);
    RECT r{};
    GetWindowRect(f.found, &r);
    return Ok("\"visible\":true,\"text\":" + Json(text) + ",\"rect\":[" + std::to_string(r.left) + "," +
              std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom) + "]");
}

// The dialog process's "Diagnostic Log" window, visible or not.
HWND LogWindowNow()
{
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, nullptr, kDiagnosticLogTitle)) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == g_main_pid)
            return w;
    }
    return nullptr;
}

std::string VerbLogWindow(const Args& a)
{
    HWND log = nullptr;
    if (!WaitFor(a.ms(1), [&] {
            log = LogWindowNow();
            return log != nullptr && IsWindowVisible(log);
        }))
        return log == nullptr ? Err("no log window") : Ok("\"visible\":false");
    RECT r{};
    GetWindowRect(log, &r);
    std::string buttons;
    for (int id : {IDC_LOG_SAVE, IDC_LOG_CLOSE}) {
        std::string t;
        TextOf(GetDlgItem(log, id), &t);
        buttons += std::string(buttons.empty() ? "" : ",") + Json(t);
    }
    HWND edit = GetDlgItem(log, IDC_LOG_TEXT);
    // Where the controls are in the client area, to check the layout at each scale.
    RECT client{};
    GetClientRect(log, &client);
    std::string controls;
    for (int id : {IDC_LOG_TEXT, IDC_LOG_SAVE, IDC_LOG_CLOSE}) {
        RECT c{};
        GetWindowRect(GetDlgItem(log, id), &c);
        MapWindowPoints(nullptr, log, reinterpret_cast<POINT*>(&c), 2);
        controls += std::string(controls.empty() ? "" : ",") + RectJson(c);
    }
    return Ok("\"client\":" + RectJson(client) + ",\"controls\":[" + controls +
              "],"
              "\"visible\":true,\"caption\":" +
              Json(CaptionOf(log)) +
              ",\"owned_by_dialog\":" + (GetWindow(log, GW_OWNER) == g_main ? "true" : "false") +
              ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(log, GWL_STYLE))) +
              ",\"edit_style\":" + std::to_string(static_cast<DWORD>(GetWindowLongA(edit, GWL_STYLE))) +
              ",\"edit_class\":" + Json(ClassOf(edit)) + ",\"buttons\":[" + buttons +
              "],\"rect\":" + RectJson(r));
}

// The log window's whole text.
std::string VerbLogText(const Args&)
{
    HWND edit = GetDlgItem(LogWindowNow(), IDC_LOG_TEXT);
    if (edit == nullptr)
        return Err("no log window");
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &length))
        return Err("busy");
    std::string text(length + 1, '\0');
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutA(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kSendTimeout, &n))
        return Err("busy");
    text.resize(n < text.size() ? n : text.size() - 1);
    return Ok("\"text\":" + Json(text));
}

std::string VerbLogClick(const Args& a)
{
    HWND button = GetDlgItem(LogWindowNow(), a.num(1));
    if (button == nullptr)
        return Err("no such button");
    PostMessageA(button, BM_CLICK, 0, 0);
    return Ok();
}

// A file dropped on the dialog. The drop handle must be memory of the dialog's process: the
// DROPFILES record is written there and WM_DROPFILES posted with its address, which a fixed
// global memory handle is.
std::string VerbDrop(const Args& a)
{
    const std::wstring path = Wide(a.rest(1));
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, g_main_pid);
    if (process == nullptr)
        return Err("cannot open the dialog's process");
    std::string record(sizeof(DROPFILES), '\0');
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::memcpy(record.data(), &header, sizeof header);
    record.append(reinterpret_cast<const char*>(path.c_str()), path.size() * sizeof(wchar_t));
    record.append(2 * sizeof(wchar_t), '\0');
    void* remote = VirtualAllocEx(process, nullptr, record.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    SIZE_T written = 0;
    const bool ok = remote != nullptr &&
                    WriteProcessMemory(process, remote, record.data(), record.size(), &written) &&
                    written == record.size();
    CloseHandle(process);
    if (!ok)
        return Err("cannot write the drop into the dialog's process");
    if (!PostMessageA(g_main, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0))
        return Err("WM_DROPFILES not posted: " + std::to_string(GetLastError()));
    return Ok();
}

// WM_DPICHANGED as the system sends it when a window moves to a monitor of another scale: the new
// DPI and the suggested rectangle, the window's own scaled by new / 96 about its top left. The
// rectangle is written into the window's process, where the message's pointer must point.
std::string DpiChanged(HWND target, int dpi)
{
    RECT r{};
    GetWindowRect(target, &r);
    const RECT suggested{r.left, r.top, r.left + MulDiv(r.right - r.left, dpi, 96),
                         r.top + MulDiv(r.bottom - r.top, dpi, 96)};
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, g_main_pid);
    if (process == nullptr)
        return Err("cannot open the dialog's process");
    void* remote =
        VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    SIZE_T written = 0;
    const bool ok = remote != nullptr &&
                    WriteProcessMemory(process, remote, &suggested, sizeof suggested, &written) &&
                    written == sizeof suggested;
    CloseHandle(process);
    if (!ok)
        return Err("cannot write the rectangle into the dialog's process");
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(target, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote),
                             SMTO_ABORTIFHUNG, kSendTimeout, &result))
        return Err("no answer");
    return Ok("\"suggested\":" + RectJson(suggested));
}

std::string VerbDpiChanged(const Args& a) { return DpiChanged(g_main, a.num(1)); }

std::string VerbLogDpiChanged(const Args& a)
{
    HWND log = LogWindowNow();
    if (log == nullptr)
        return Err("no log window");
    return DpiChanged(log, a.num(1));
}

struct Verb {
    const char* name;
    const char* arguments; // for the usage text
    const char* what;
    bool needs_dialog; // looks for the updater's dialog first
    std::string (*run)(const Args&);
};

// Times in ms.
constexpr Verb kVerbs[] = {
    {"sleep", "MS", "", false, VerbSleep},
    {"find", "TIMEOUT", "wait for the main dialog; caption", false, VerbFind},
    {"gone", "TIMEOUT", "wait until the main dialog has closed", false, VerbGone},
    {"resource-string", "EXE ID", "a string-table entry of the program file EXE", false, VerbResourceString},
    {"resource-dialog", "EXE ID", "that file's dialog template ID, created hidden here: caption and controls",
     false, VerbResourceDialog},
    {"dlu", "X Y W H", "pixel rectangle of those dialog units on a dialog of this process with the same font",
     false, VerbDlu},
    {"caption", "", "", true, VerbCaption},
    {"text", "ID", "", true, VerbText},
    {"enabled", "ID", "", true, VerbEnabled},
    {"visible", "ID", "", true, VerbVisible},
    {"state", "", "caption, texts and states of the controls", true, VerbState},
    {"progress", "", "pos, low, high of the progress bar", true, VerbProgress},
    {"click", "ID", "press a button as a user would: refused when it is disabled", true, VerbClick},
    {"click-force", "ID", "post the click even to a disabled button", true, VerbClickForce},
    {"wait-text", "ID TIMEOUT TEXT...", "wait until the control shows TEXT (rest of the line)", true,
     VerbWaitText},
    {"wait-enabled", "ID 0|1 TIMEOUT", "", true, VerbWaitEnabled},
    {"wait-progress", "POS TIMEOUT", "wait until the bar's position is at least POS", true, VerbWaitProgress},
    {"msgbox", "TIMEOUT", "wait for a message box of the dialog: caption, text, icon", true, VerbMsgbox},
    {"msgbox-ok", "TIMEOUT", "wait for one, press OK, wait until it is gone", true, VerbMsgboxOk},
    {"nomsgbox", "", "ok when no message box is open", true, VerbNoMsgbox},
    {"filedlg", "TIMEOUT", "wait for the open-file dialog: caption, filter list", true, VerbFileDialog},
    {"filedlg-open", "TIMEOUT PATH", "type PATH as the file name and press OK", true, VerbFileDialogOpen},
    {"filedlg-cancel", "TIMEOUT", "", true, VerbFileDialogCancel},
    {"window", "", "the dialog's screen rectangle, styles and extended styles", true, VerbWindow},
    {"children", "", "every control: id, class, text, styles, rectangle in client coordinates", true,
     VerbChildren},
    {"text-fits", "", "for each label and button: the text's size at the dialog's font, the control's, fits",
     true, VerbTextFits},
    {"close", "", "WM_CLOSE to the dialog", true, VerbClose},
    {"syscmd-close", "", "WM_SYSCOMMAND SC_CLOSE", true, VerbSysCommandClose},
    {"escape", "", "the Escape key", true, VerbEscape},
    {"altf4", "", "Alt+F4", true, VerbAltF4},
    {"syscmd", "ID", "WM_SYSCOMMAND with that command id", true, VerbSysCommand},
    {"query-end-session", "", "WM_QUERYENDSESSION to the dialog: its answer", true, VerbQueryEndSession},
    {"log-window", "TIMEOUT", "wait for the diagnostic log window: caption, owner, styles, buttons", true,
     VerbLogWindow},
    {"log-text", "", "the log window's text", true, VerbLogText},
    {"log-click", "ID", "press a button of the log window", true, VerbLogClick},
    {"drop", "PATH", "drop a file on the dialog", true, VerbDrop},
    {"dpichanged", "DPI", "WM_DPICHANGED to the dialog, as a move to a monitor at that scale", true,
     VerbDpiChanged},
    {"log-dpichanged", "DPI", "the same to the log window", true, VerbLogDpiChanged},
    {"devicechange", "EVENT", "post WM_DEVICECHANGE with that event (7: DBT_DEVNODES_CHANGED)", true,
     VerbDeviceChange},
    {"balloon", "TIMEOUT", "wait for the dialog's balloon tip: visible, text, screen rectangle", true,
     VerbBalloon},
};

std::string Run(const std::vector<std::string>& words)
{
    if (words.empty())
        return Err("no verb");
    for (const Verb& verb : kVerbs) {
        if (words[0] != verb.name)
            continue;
        std::string error;
        if (verb.needs_dialog && !EnsureMain(&error))
            return Err(error);
        return verb.run(Args(words));
    }
    return Err("unknown verb " + words[0]);
}

std::string Usage()
{
    std::string usage = "usage: uidriver VERB ARGS... | uidriver repl\nverbs:\n";
    for (const Verb& verb : kVerbs)
        usage += std::string("  ") + verb.name + (verb.arguments[0] != '\0' ? " " : "") + verb.arguments +
                 (verb.what[0] != '\0' ? std::string("    ") + verb.what : std::string()) + "\n";
    return usage;
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
    if (args.empty()) {
        std::fputs(Usage().c_str(), stderr);
        return 2;
    }
    const std::string answer = Run(args);
    std::puts(answer.c_str());
    return answer.rfind("{\"ok\":true", 0) == 0 ? 0 : 1;
}
