// confserver: the conference server's panel. A borderless elliptical window
// with a picture background on which the operator types the port, starts the
// relay, watches the participant count and stops the server.
//
// The window procedure only dispatches; each message has one small handler.
// All networking is RelayServer's: the window hands it the start and stop
// commands and every socket event, and RelayServer reports back through the
// RelayView that this file implements.
#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <cstring>

#include "port_number.h"
#include "protocol.h"
#include "relay_server.h"
#include "resource.h"
#include "ui_texts.h"
#include "win32_ui.h"

namespace {

constexpr UINT WM_CONF_SOCKET = conf::kConfSocketMessage;

constexpr int kPanelWidth = 183;
constexpr int kPanelHeight = 164;
constexpr COLORREF kLabelColour = RGB(0, 255, 255);
constexpr COLORREF kWaitingColour = RGB(255, 0, 0);
constexpr COLORREF kRunningColour = RGB(0, 0, 255);
constexpr COLORREF kClassBackground = RGB(200, 200, 200);
constexpr int kPaintFontHeight = 10;
constexpr RECT kStatusBox = {65, 25, 120, 39};
constexpr POINT kStatusTextAt = {78, 26};
// Long enough for any port with leading blanks; a longer text is no port.
constexpr int kPortTextCapacity = 64;

// In creation order.
constexpr conf::win32::ChildControl kChildControls[] = {
    {IDC_LISTEN_PORT, "EDIT", "", 54, 55, 50, 20, 0},
    {IDC_COUNT, "EDIT", "", 54, 93, 50, 20, 0},
    {IDC_START, "BUTTON", conf::ui::kStart, 118, 55, 40, 20, 0},
    {IDC_STOP, "BUTTON", conf::ui::kStop, 118, 93, 40, 20, 0},
};

struct PaintedText {
    const char* text;
    int x, y;
};

constexpr PaintedText kPaintedTexts[] = {
    {conf::ui::kLabelPort, 54, 43},      {conf::ui::kLabelPortUnit, 106, 57},
    {conf::ui::kLabelCount, 54, 81},     {conf::ui::kLabelCountUnit, 106, 95},
    {conf::ui::kLabelServerUse, 60, 120},
};

// Everything the program keeps between messages.
struct ServerPanel {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    conf::win32::WindowPicture picture;
    HWND port_field = nullptr;
    HWND count_field = nullptr;
    HWND start_button = nullptr;
    HWND stop_button = nullptr;
};

ServerPanel g_panel;

// RelayServer's reports, counts and socket registration, on this window.
class PanelRelayView final : public conf::RelayView {
public:
    void show_report(const char* text, const char* caption, conf::ReportOwner owner) override {
        ::MessageBoxA(owner == conf::ReportOwner::Window ? g_panel.window : nullptr, text, caption, MB_OK);
    }

    void show_count(std::uint32_t count) override {
        ::SetDlgItemInt(g_panel.window, IDC_COUNT, count, FALSE);
    }

    bool register_read_events(conf::net::SocketHandle socket) override {
        const int result = ::WSAAsyncSelect(static_cast<SOCKET>(socket), g_panel.window, WM_CONF_SOCKET, FD_READ);
        // Winsock 1.1 stacks may answer "would block" although the
        // registration took effect.
        return result != SOCKET_ERROR || ::WSAGetLastError() == WSAEWOULDBLOCK;
    }
};

PanelRelayView g_relay_view;
conf::RelayServer g_relay(g_relay_view);

void create_children(HWND window) {
    HWND* const handles[] = {&g_panel.port_field, &g_panel.count_field, &g_panel.start_button,
                             &g_panel.stop_button};
    static_assert(sizeof handles / sizeof handles[0] == sizeof kChildControls / sizeof kChildControls[0],
                  "one handle per child control");
    for (std::size_t i = 0; i < sizeof kChildControls / sizeof kChildControls[0]; ++i)
        *handles[i] = conf::win32::create_child_control(g_panel.instance, window, kChildControls[i]);
}

void draw_text(HDC dc, int x, int y, const char* text) {
    ::TextOutA(dc, x, y, text, static_cast<int>(std::strlen(text)));
}

void draw_status_box(HDC dc) {
    ::Rectangle(dc, kStatusBox.left, kStatusBox.top, kStatusBox.right, kStatusBox.bottom);
    ::SetBkMode(dc, TRANSPARENT);
    if (g_relay.running()) {
        ::SetTextColor(dc, kRunningColour);
        draw_text(dc, kStatusTextAt.x, kStatusTextAt.y, conf::ui::kStatusRunning);
    } else {
        ::SetTextColor(dc, kWaitingColour);
        draw_text(dc, kStatusTextAt.x, kStatusTextAt.y, conf::ui::kStatusWaiting);
    }
}

// The port field read as GetDlgItemInt reads an unsigned number; false for
// anything that is not a port from 1 to 65535.
bool read_listen_port(std::uint16_t* port) {
    char text[kPortTextCapacity];
    if (::GetWindowTextLengthA(g_panel.port_field) >= kPortTextCapacity) return false;
    const int length = ::GetWindowTextA(g_panel.port_field, text, kPortTextCapacity);
    return conf::parse_port(std::string_view(text, static_cast<std::size_t>(length < 0 ? 0 : length)), port);
}

void show_running_state(HWND window) {
    ::EnableWindow(g_panel.start_button, FALSE);
    ::SendMessageA(g_panel.port_field, EM_SETREADONLY, TRUE, 0);
    ::SetWindowTextA(window, conf::ui::kServerTitleRunning);
    ::InvalidateRect(window, nullptr, FALSE);
}

// Message handlers ------------------------------------------------------------

LRESULT on_create(HWND window) {
    g_panel.window = window;
    g_relay.initialise_networking();
    g_panel.picture = conf::win32::load_window_picture(g_panel.instance, window, "BITMAP1");
    create_children(window);
    HRGN ellipse = ::CreateEllipticRgn(0, 0, kPanelWidth, kPanelHeight);
    ::SetWindowTextA(g_panel.count_field, "0");
    ::SetWindowRgn(window, ellipse, TRUE);
    return 0;
}

LRESULT on_paint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    HFONT font = ::CreateFontA(kPaintFontHeight, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                               conf::ui::kPaintFontFace);
    HGDIOBJ previous_font = ::SelectObject(dc, font);
    conf::win32::paint_window_picture(dc, g_panel.picture);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, kLabelColour);
    for (const PaintedText& label : kPaintedTexts) draw_text(dc, label.x, label.y, label.text);
    draw_status_box(dc);
    ::SelectObject(dc, previous_font);
    ::EndPaint(window, &paint);
    ::DeleteObject(font);
    return 0;
}

// The panel has no caption bar: a press anywhere on it drags it.
LRESULT on_left_button_down(HWND window) {
    ::SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    return 0;
}

LRESULT on_right_button_down(HWND window, LPARAM position) {
    HMENU menu = ::LoadMenuA(g_panel.instance, "SUBMENU1");
    if (menu == nullptr) return 0;
    POINT at = {static_cast<LONG>(LOWORD(position)), static_cast<LONG>(HIWORD(position))};
    ::ClientToScreen(window, &at);
    ::TrackPopupMenu(::GetSubMenu(menu, 0), 0, at.x, at.y, 0, window, nullptr);
    ::DestroyMenu(menu);
    return 0;
}

void on_stop_command(HWND window) {
    const int answer = ::MessageBoxA(window, conf::ui::kStopQuestion, conf::ui::kCaptionError,
                                     MB_OKCANCEL | MB_ICONQUESTION);
    // A second stop pressed while the question was open may already have
    // ended everything.
    if (answer == IDCANCEL || !::IsWindow(window)) return;
    g_relay.stop();
    conf::win32::release_window_picture(&g_panel.picture);
    ::DestroyWindow(window);
}

void on_start_command(HWND window) {
    std::uint16_t port = 0;
    if (!read_listen_port(&port)) {
        ::MessageBoxA(window, conf::ui::kPortInvalid, conf::ui::kCaptionSystem, MB_OK);
        ::SetFocus(g_panel.port_field);
        return;
    }
    // RelayServer refuses a second start while its socket is open, without a
    // report; the panel then stays as it is.
    if (!g_relay.start(port)) return;
    show_running_state(window);
}

LRESULT on_command(HWND window, WPARAM command) {
    switch (LOWORD(command)) {
    case IDC_STOP:
    case IDCANCEL:
        on_stop_command(window);
        break;
    case IDC_START:
        on_start_command(window);
        break;
    case IDC_COUNT:
        // The count is for reading only: whatever the field reports, the
        // focus goes back to the panel.
        ::SetFocus(window);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT on_socket_event(LPARAM event) {
    g_relay.on_socket_event(static_cast<std::uintptr_t>(event));
    return 0;
}

LRESULT on_destroy() {
    ::PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK panel_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        return on_create(window);
    case WM_PAINT:
        return on_paint(window);
    case WM_LBUTTONDOWN:
        return on_left_button_down(window);
    case WM_RBUTTONDOWN:
        return on_right_button_down(window, lparam);
    case WM_COMMAND:
        return on_command(window, wparam);
    case WM_CONF_SOCKET:
        return on_socket_event(lparam);
    case WM_DESTROY:
        return on_destroy();
    default:
        return ::DefWindowProcA(window, message, wparam, lparam);
    }
}

bool register_panel_class() {
    WNDCLASSA panel_class{};
    panel_class.style = CS_HREDRAW | CS_VREDRAW;
    panel_class.lpfnWndProc = panel_procedure;
    panel_class.hInstance = g_panel.instance;
    panel_class.hIcon = ::LoadIconA(g_panel.instance, "ICON1");
    panel_class.hCursor = conf::win32::shared_arrow_cursor();
    panel_class.hbrBackground = ::CreateSolidBrush(kClassBackground);
    panel_class.lpszClassName = conf::ui::kCaptionSystem;
    return ::RegisterClassA(&panel_class) != 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    g_panel.instance = instance;
    if (!register_panel_class()) return 1;
    HWND window = ::CreateWindowExA(0, conf::ui::kCaptionSystem, "", WS_POPUP, 0, 0, kPanelWidth, kPanelHeight,
                                    nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ::ShowWindow(window, show_command);
    ::UpdateWindow(window);
    return conf::win32::run_message_loop();
}
