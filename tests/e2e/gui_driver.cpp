// conf_gui_driver: operates the programs' windows from another process, as a
// person at the screen would, for the end-to-end tests. It runs in the same
// Wine prefix and on the same display as the programs under test and reads
// one command per line on stdin, answering one line on stdout.
//
// Line protocol (bytes in code page 932, both directions):
//   request:  NAME<TAB>ARG<TAB>ARG...
//   answer:   ok<TAB>FIELD<TAB>FIELD...   or   error<TAB>MESSAGE
// Inside a field the bytes \ TAB CR LF and other control bytes are escaped as
// \\ \t \r \n \xHH, byte by byte (a trail byte 0x5C of a double-byte
// character is escaped like any other). Window handles travel as 0x-hex
// numbers, 0x0 for none. The commands are listed in kCommands below; the
// Python side (conf_gui.py) wraps each of them.
//
// The driver never blocks on a window that may be inside a modal loop:
// buttons are pressed with PostMessage, and every sent message has a timeout.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr int kMaxLine = 1 << 20;

using Fields = std::vector<std::string>;

// Escaping ------------------------------------------------------------------

std::string escape(const std::string& raw) {
    std::string out;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(byte));
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char kind = field[++i];
        if (kind == 't') out += '\t';
        else if (kind == 'r') out += '\r';
        else if (kind == 'n') out += '\n';
        else if (kind == 'x' && i + 2 < field.size() && hex_digit(field[i + 1]) >= 0 &&
                 hex_digit(field[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(field[i + 1]) * 16 + hex_digit(field[i + 2]));
            i += 2;
        } else {
            out += kind;
        }
    }
    return out;
}

Fields split_request(const std::string& line) {
    Fields fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(unescape(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

// A failed command: the message goes back as the error line.
struct CommandError {
    std::string message;
};

// Argument and answer helpers --------------------------------------------------

std::string hex(ULONG_PTR value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string handle_text(HWND window) { return hex(reinterpret_cast<ULONG_PTR>(window)); }

std::string number(long long value) { return std::to_string(value); }

long long parse_number(const std::string& text) {
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || end == nullptr || *end != '\0') throw CommandError{"not a number: " + text};
    return value;
}

const std::string& arg(const Fields& request, std::size_t index) {
    if (index >= request.size()) throw CommandError{"missing argument " + number(static_cast<long long>(index))};
    return request[index];
}

HWND window_arg(const Fields& request, std::size_t index) {
    const auto value = static_cast<ULONG_PTR>(std::strtoull(arg(request, index).c_str(), nullptr, 0));
    return reinterpret_cast<HWND>(value);
}

HWND existing_window_arg(const Fields& request, std::size_t index) {
    HWND window = window_arg(request, index);
    if (!::IsWindow(window)) throw CommandError{"no such window " + arg(request, index)};
    return window;
}

int int_arg(const Fields& request, std::size_t index) { return static_cast<int>(parse_number(arg(request, index))); }

const char* null_if_empty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

std::string class_of(HWND window) {
    char name[256] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

// Text of any window, also of an EDIT in another process (GetWindowText
// would only return its caption there).
std::string text_of(HWND window) {
    DWORD_PTR length = 0;
    if (::SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length) == 0)
        throw CommandError{"WM_GETTEXTLENGTH timed out"};
    // The length may be counted in UTF-16 units on the far side: leave room
    // for the double-byte form.
    std::vector<char> buffer(static_cast<std::size_t>(length) * 2 + 2, '\0');
    DWORD_PTR copied = 0;
    if (::SendMessageTimeoutA(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                              SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied) == 0)
        throw CommandError{"WM_GETTEXT timed out"};
    return std::string(buffer.data(), std::strlen(buffer.data()));
}

// Screen pixels -------------------------------------------------------------------

// The pixels of a screen rectangle (or of a rendering), 0x00RRGGBB row by row.
class PixelCanvas {
public:
    PixelCanvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = ::CreateCompatibleDC(nullptr);
        bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        if (bitmap_ == nullptr) throw CommandError{"cannot create a bitmap"};
        previous_ = ::SelectObject(dc_, bitmap_);
    }
    ~PixelCanvas() {
        ::SelectObject(dc_, previous_);
        ::DeleteObject(bitmap_);
        ::DeleteDC(dc_);
    }
    PixelCanvas(const PixelCanvas&) = delete;
    PixelCanvas& operator=(const PixelCanvas&) = delete;

    HDC dc() const { return dc_; }
    void copy_from_screen(int x, int y) {
        HDC screen = ::GetDC(nullptr);
        ::BitBlt(dc_, 0, 0, width_, height_, screen, x, y, SRCCOPY);
        ::ReleaseDC(nullptr, screen);
        ::GdiFlush();
    }
    void fill(unsigned rgb) {
        ::GdiFlush();
        for (int i = 0; i < width_ * height_; ++i) pixels()[i] = rgb;
    }
    unsigned at(int x, int y) const { return pixels()[y * width_ + x] & 0xFFFFFFu; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    unsigned* pixels() const { return static_cast<unsigned*>(bits_); }

    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    void* bits_ = nullptr;
};

int channel_distance(unsigned a, unsigned b) {
    int largest = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int difference = std::abs(static_cast<int>((a >> shift) & 0xFFu) - static_cast<int>((b >> shift) & 0xFFu));
        if (difference > largest) largest = difference;
    }
    return largest;
}

// Which of the system's message-box icons the screen shows in `area`: the
// rendering of each candidate over the area's own background is compared
// with what is there.
std::string recognise_icon(const RECT& area) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return "none";
    PixelCanvas shown(width, height);
    shown.copy_from_screen(area.left, area.top);
    const unsigned background = shown.at(0, 0);

    struct Candidate {
        const char* name;
        LPCSTR id;
    };
    const Candidate candidates[] = {{"question", IDI_QUESTION},
                                    {"exclamation", IDI_EXCLAMATION},
                                    {"error", IDI_HAND},
                                    {"information", IDI_ASTERISK}};
    std::string best = "unknown";
    int best_mismatches = width * height / 20 + 1;  // more than 5% different is no match
    int differing_from_background = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (channel_distance(shown.at(x, y), background) > 16) ++differing_from_background;
    // Nothing drawn there (yet): the box has not painted its icon.
    if (differing_from_background == 0) return "pending";

    for (const Candidate& candidate : candidates) {
        HICON icon = ::LoadIconA(nullptr, candidate.id);
        PixelCanvas rendered(width, height);
        rendered.fill(background);
        ::DrawIconEx(rendered.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
        ::GdiFlush();
        int mismatches = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (channel_distance(shown.at(x, y), rendered.at(x, y)) > 24) ++mismatches;
        if (mismatches < best_mismatches) {
            best_mismatches = mismatches;
            best = candidate.name;
        }
    }
    return best;
}

// Commands ----------------------------------------------------------------------------

Fields cmd_ping(const Fields&) { return {"pong"}; }

// The code page, the computer name and the screen size of this session.
Fields cmd_system(const Fields&) {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size)) name[0] = '\0';
    return {number(::GetACP()), name, number(::GetSystemMetrics(SM_CXSCREEN)),
            number(::GetSystemMetrics(SM_CYSCREEN))};
}

// find-window CLASS [TITLE]: a top-level window, 0x0 when there is none.
Fields cmd_find_window(const Fields& request) {
    const std::string title = request.size() > 2 ? request[2] : std::string();
    HWND window = ::FindWindowA(null_if_empty(arg(request, 1)), request.size() > 2 ? title.c_str() : nullptr);
    return {handle_text(window)};
}

struct WindowListing {
    std::string class_name;
    Fields rows;
};

BOOL CALLBACK list_window(HWND window, LPARAM context) {
    auto* listing = reinterpret_cast<WindowListing*>(context);
    if (!listing->class_name.empty() && class_of(window) != listing->class_name) return TRUE;
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    listing->rows.push_back(handle_text(window) + "," + handle_text(::GetWindow(window, GW_OWNER)) + "," +
                            number(process) + "," + (::IsWindowVisible(window) ? "1" : "0"));
    return TRUE;
}

// windows [CLASS]: every top-level window (of that class) as
// "hwnd,owner,process,visible".
Fields cmd_windows(const Fields& request) {
    WindowListing listing{request.size() > 1 ? request[1] : std::string(), {}};
    ::EnumWindows(list_window, reinterpret_cast<LPARAM>(&listing));
    return listing.rows;
}

BOOL CALLBACK list_child(HWND child, LPARAM context) {
    auto* rows = reinterpret_cast<Fields*>(context);
    rows->push_back(handle_text(child) + "," + number(::GetDlgCtrlID(child)) + "," + class_of(child) + "," +
                    (::IsWindowVisible(child) ? "1" : "0"));
    return TRUE;
}

// children HWND: "hwnd,id,class,visible" for every descendant.
Fields cmd_children(const Fields& request) {
    Fields rows;
    ::EnumChildWindows(existing_window_arg(request, 1), list_child, reinterpret_cast<LPARAM>(&rows));
    return rows;
}

Fields cmd_child(const Fields& request) {
    return {handle_text(::GetDlgItem(existing_window_arg(request, 1), int_arg(request, 2)))};
}

Fields cmd_get_text(const Fields& request) { return {text_of(existing_window_arg(request, 1))}; }

Fields cmd_set_text(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    const std::string& text = arg(request, 2);
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                              kSendTimeoutMs, &result) == 0)
        throw CommandError{"WM_SETTEXT timed out"};
    return {number(static_cast<long long>(result))};
}

// type HWND TEXT: posts one WM_CHAR per byte, as the keyboard delivers
// single-byte characters to the focused field. Wine's byte-string edit
// control takes each byte of a double-byte character as a character of its
// own (measured: also with WM_IME_CHAR and with UTF-16 WM_CHAR), so Japanese
// goes in with set-text.
Fields cmd_type(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    for (const char c : arg(request, 2)) ::PostMessageA(window, WM_CHAR, static_cast<unsigned char>(c), 1);
    return {};
}

// click HWND: presses a button without waiting for what it starts.
Fields cmd_click(const Fields& request) {
    if (!::PostMessageA(existing_window_arg(request, 1), BM_CLICK, 0, 0)) throw CommandError{"PostMessage failed"};
    return {};
}

Fields cmd_post(const Fields& request) {
    const BOOL posted = ::PostMessageA(existing_window_arg(request, 1), static_cast<UINT>(parse_number(arg(request, 2))),
                                       static_cast<WPARAM>(parse_number(arg(request, 3))),
                                       static_cast<LPARAM>(parse_number(arg(request, 4))));
    if (!posted) throw CommandError{"PostMessage failed"};
    return {};
}

Fields cmd_send(const Fields& request) {
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutA(existing_window_arg(request, 1), static_cast<UINT>(parse_number(arg(request, 2))),
                              static_cast<WPARAM>(parse_number(arg(request, 3))),
                              static_cast<LPARAM>(parse_number(arg(request, 4))), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                              &result) == 0)
        throw CommandError{"SendMessage timed out"};
    return {number(static_cast<long long>(result))};
}

// state HWND: exists enabled visible read-only style class id.
Fields cmd_state(const Fields& request) {
    HWND window = window_arg(request, 1);
    if (!::IsWindow(window)) return {"0", "0", "0", "0", "0x0", "", "0"};
    const auto style = static_cast<ULONG_PTR>(::GetWindowLongPtrA(window, GWL_STYLE));
    return {"1",
            ::IsWindowEnabled(window) ? "1" : "0",
            ::IsWindowVisible(window) ? "1" : "0",
            (style & ES_READONLY) != 0 && class_of(window) == "Edit" ? "1" : "0",
            hex(style),
            class_of(window),
            number(::GetDlgCtrlID(window))};
}

// rect HWND: the window's rectangle on the screen.
Fields cmd_rect(const Fields& request) {
    RECT rect;
    ::GetWindowRect(existing_window_arg(request, 1), &rect);
    return {number(rect.left), number(rect.top), number(rect.right), number(rect.bottom)};
}

// client HWND: the client area's top left on the screen, and its size.
Fields cmd_client(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    POINT origin = {0, 0};
    ::ClientToScreen(window, &origin);
    RECT client;
    ::GetClientRect(window, &client);
    return {number(origin.x), number(origin.y), number(client.right), number(client.bottom)};
}

// focus HWND: the focus, active and capture windows of that window's thread.
Fields cmd_focus(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info))
        throw CommandError{"GetGUIThreadInfo failed"};
    return {handle_text(info.hwndFocus), handle_text(info.hwndActive), handle_text(info.hwndCapture)};
}

// region HWND: the window region's kind (none, empty, simple, complex) and
// bounding box in window coordinates.
Fields cmd_region(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    const int kind = ::GetWindowRgn(window, region);
    RECT box = {0, 0, 0, 0};
    if (kind != ERROR) ::GetRgnBox(region, &box);
    ::DeleteObject(region);
    const char* kind_name = kind == NULLREGION ? "empty" : kind == SIMPLEREGION ? "simple"
                            : kind == COMPLEXREGION ? "complex" : "none";
    return {kind_name, number(box.left), number(box.top), number(box.right), number(box.bottom)};
}

// region-is-ellipse HWND L T R B: whether the window region covers exactly
// the pixels of the ellipse CreateEllipticRgn(L, T, R, B) makes; then the
// bounding box of the pixels where they differ.
Fields cmd_region_is_ellipse(const Fields& request) {
    HWND window = existing_window_arg(request, 1);
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    HRGN ellipse = ::CreateEllipticRgn(int_arg(request, 2), int_arg(request, 3), int_arg(request, 4),
                                       int_arg(request, 5));
    HRGN difference = ::CreateRectRgn(0, 0, 0, 0);
    int kind = ERROR;
    RECT box = {0, 0, 0, 0};
    if (::GetWindowRgn(window, region) != ERROR) {
        kind = ::CombineRgn(difference, region, ellipse, RGN_XOR);
        ::GetRgnBox(difference, &box);
    }
    ::DeleteObject(region);
    ::DeleteObject(ellipse);
    ::DeleteObject(difference);
    return {kind == NULLREGION ? "1" : "0", number(box.left), number(box.top), number(box.right),
            number(box.bottom)};
}

struct BoxButton {
    int id;
    const char* name;
};

constexpr BoxButton kBoxButtons[] = {{IDOK, "ok"},       {IDCANCEL, "cancel"}, {IDABORT, "abort"},
                                     {IDRETRY, "retry"}, {IDIGNORE, "ignore"}, {IDYES, "yes"},
                                     {IDNO, "no"},       {IDHELP, "help"}};

struct IconSearch {
    HWND icon = nullptr;
};

BOOL CALLBACK find_icon_static(HWND child, LPARAM context) {
    const auto style = static_cast<ULONG_PTR>(::GetWindowLongPtrA(child, GWL_STYLE));
    if (class_of(child) == "Static" && (style & SS_TYPEMASK) == SS_ICON && ::IsWindowVisible(child)) {
        reinterpret_cast<IconSearch*>(context)->icon = child;
        return FALSE;
    }
    return TRUE;
}

// box HWND: a message box as the user sees it: caption, text, the visible
// buttons ("ok,cancel") and the icon: question, exclamation, error,
// information, none, unknown (an icon that is none of these) or pending
// (the box has not painted it yet). Icons are told apart by their pixels on
// the screen: their handles mean nothing outside the box's process.
Fields cmd_box(const Fields& request) {
    HWND box = existing_window_arg(request, 1);
    if (class_of(box) != "#32770") throw CommandError{"not a dialog: " + class_of(box)};
    HWND text = ::GetDlgItem(box, 0xFFFF);
    std::string buttons;
    for (const BoxButton& button : kBoxButtons) {
        HWND handle = ::GetDlgItem(box, button.id);
        if (handle == nullptr || !::IsWindowVisible(handle)) continue;
        if (!buttons.empty()) buttons += ',';
        buttons += button.name;
    }
    IconSearch search;
    ::EnumChildWindows(box, find_icon_static, reinterpret_cast<LPARAM>(&search));
    std::string icon = "none";
    DWORD_PTR icon_handle = 0;
    if (search.icon != nullptr &&
        ::SendMessageTimeoutA(search.icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &icon_handle) != 0 &&
        icon_handle != 0) {
        RECT area;
        ::GetWindowRect(search.icon, &area);
        icon = recognise_icon(area);
    }
    return {text_of(box), text == nullptr ? std::string() : text_of(text), buttons, icon};
}

// answer-box HWND BUTTON: presses the box's button by name (ok, cancel...).
Fields cmd_answer_box(const Fields& request) {
    HWND box = existing_window_arg(request, 1);
    for (const BoxButton& button : kBoxButtons) {
        if (arg(request, 2) != button.name) continue;
        HWND handle = ::GetDlgItem(box, button.id);
        if (handle == nullptr || !::IsWindowVisible(handle)) throw CommandError{"the box has no such button"};
        ::PostMessageA(handle, BM_CLICK, 0, 0);
        return {};
    }
    throw CommandError{"unknown button " + arg(request, 2)};
}

void send_mouse(DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    ::SendInput(1, &input, sizeof input);
}

// mouse X Y left|right: moves the pointer to a screen point and clicks.
Fields cmd_mouse(const Fields& request) {
    const std::string& button = arg(request, 3);
    if (button != "left" && button != "right") throw CommandError{"unknown mouse button " + button};
    if (!::SetCursorPos(int_arg(request, 1), int_arg(request, 2))) throw CommandError{"SetCursorPos failed"};
    const bool left = button == "left";
    send_mouse(left ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_RIGHTDOWN);
    send_mouse(left ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_RIGHTUP);
    return {};
}

void move_pointer(int x, int y) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = x * 65535 / (::GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = y * 65535 / (::GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    ::SendInput(1, &input, sizeof input);
}

// drag X1 Y1 X2 Y2: presses the left button at one screen point, moves the
// pointer to the other in small steps and releases it there.
Fields cmd_drag(const Fields& request) {
    const int from_x = int_arg(request, 1), from_y = int_arg(request, 2);
    const int to_x = int_arg(request, 3), to_y = int_arg(request, 4);
    constexpr int kSteps = 10;
    move_pointer(from_x, from_y);
    send_mouse(MOUSEEVENTF_LEFTDOWN);
    for (int step = 1; step <= kSteps; ++step) {
        ::Sleep(15);
        move_pointer(from_x + (to_x - from_x) * step / kSteps, from_y + (to_y - from_y) * step / kSteps);
    }
    ::Sleep(15);
    send_mouse(MOUSEEVENTF_LEFTUP);
    return {};
}

// keys VK...: presses and releases each virtual key in turn, as the keyboard
// does, into whatever window has the keyboard focus.
Fields cmd_keys(const Fields& request) {
    if (request.size() < 2) throw CommandError{"no keys"};
    for (std::size_t i = 1; i < request.size(); ++i) {
        const auto key = static_cast<WORD>(int_arg(request, i));
        INPUT inputs[2]{};
        inputs[0].type = INPUT_KEYBOARD;
        inputs[0].ki.wVk = key;
        inputs[1] = inputs[0];
        inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
        if (::SendInput(2, inputs, sizeof inputs[0]) != 2) throw CommandError{"SendInput failed"};
    }
    return {};
}

// pointer X Y: moves the pointer to a screen point, as the mouse does.
Fields cmd_pointer(const Fields& request) {
    move_pointer(int_arg(request, 1), int_arg(request, 2));
    return {};
}

// button X Y left|right down|up: moves the pointer to a screen point and
// presses or releases a button there. With these a test can take a drag one
// step at a time and wait for the program between the steps, where `drag`
// would run ahead of a slow program.
Fields cmd_button(const Fields& request) {
    const std::string& button = arg(request, 3);
    const std::string& action = arg(request, 4);
    if (button != "left" && button != "right") throw CommandError{"unknown mouse button " + button};
    if (action != "down" && action != "up") throw CommandError{"unknown button action " + action};
    move_pointer(int_arg(request, 1), int_arg(request, 2));
    const bool left = button == "left";
    const bool down = action == "down";
    send_mouse(left ? (down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP)
                    : (down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP));
    return {};
}

// pixels X Y W H: the screen's pixels as RRGGBB hex, row by row, one field
// per row.
Fields cmd_pixels(const Fields& request) {
    const int width = int_arg(request, 3);
    const int height = int_arg(request, 4);
    if (width <= 0 || height <= 0 || width * height > 1 << 20) throw CommandError{"bad size"};
    PixelCanvas canvas(width, height);
    canvas.copy_from_screen(int_arg(request, 1), int_arg(request, 2));
    Fields rows;
    for (int y = 0; y < height; ++y) {
        std::string row;
        for (int x = 0; x < width; ++x) {
            char pixel[8];
            std::snprintf(pixel, sizeof pixel, "%06X", canvas.at(x, y));
            row += pixel;
        }
        rows.push_back(row);
    }
    return rows;
}

// process HWND: the Windows process and thread ids that own the window.
Fields cmd_process(const Fields& request) {
    DWORD process = 0;
    const DWORD thread = ::GetWindowThreadProcessId(existing_window_arg(request, 1), &process);
    return {number(process), number(thread)};
}

struct Command {
    const char* name;
    Fields (*run)(const Fields&);
};

constexpr Command kCommands[] = {
    {"ping", cmd_ping},
    {"system", cmd_system},
    {"find-window", cmd_find_window},
    {"windows", cmd_windows},
    {"children", cmd_children},
    {"child", cmd_child},
    {"get-text", cmd_get_text},
    {"set-text", cmd_set_text},
    {"type", cmd_type},
    {"click", cmd_click},
    {"post", cmd_post},
    {"send", cmd_send},
    {"state", cmd_state},
    {"rect", cmd_rect},
    {"client", cmd_client},
    {"focus", cmd_focus},
    {"region", cmd_region},
    {"region-is-ellipse", cmd_region_is_ellipse},
    {"box", cmd_box},
    {"answer-box", cmd_answer_box},
    {"mouse", cmd_mouse},
    {"drag", cmd_drag},
    {"keys", cmd_keys},
    {"pointer", cmd_pointer},
    {"button", cmd_button},
    {"pixels", cmd_pixels},
    {"process", cmd_process},
};

std::string answer(const Fields& request) {
    const std::string& name = request.at(0);
    for (const Command& command : kCommands) {
        if (name != command.name) continue;
        try {
            std::string line = "ok";
            for (const std::string& field : command.run(request)) line += "\t" + escape(field);
            return line;
        } catch (const CommandError& error) {
            return "error\t" + escape(error.message);
        }
    }
    return "error\tunknown command " + escape(name);
}

bool read_line(std::string* line) {
    line->clear();
    int c;
    while ((c = std::getchar()) != EOF) {
        if (c == '\n') return true;
        if (line->size() < static_cast<std::size_t>(kMaxLine)) line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

}  // namespace

int main() {
    // Exact bytes both ways: no CR LF translation on the pipes.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string line;
    while (read_line(&line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "quit") {
            std::fputs("ok\n", stdout);
            std::fflush(stdout);
            return 0;
        }
        std::fputs((answer(split_request(line)) + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
