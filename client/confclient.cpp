// confclient: the conference client's window. A borderless picture panel,
// centred on the screen, with the name, server and port fields, the join,
// send and exit buttons, the conversation log and the input field.
//
// The window procedure only dispatches; each message has one small handler.
// All networking is ClientCore's: the window hands it the join, send and exit
// commands and every socket event, and ClientCore works the controls through
// the ClientView that this file implements.
#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "client_core.h"
#include "client_ids.h"
#include "port_number.h"
#include "protocol.h"
#include "ui_texts.h"
#include "win32_ui.h"

namespace {

constexpr UINT WM_CONF_SOCKET = conf::kConfSocketMessage;
constexpr char kWindowClass[] = "MainWindow";

constexpr int kWindowWidth = 592;
constexpr int kWindowHeight = 446;
constexpr COLORREF kLabelColour = RGB(0, 255, 255);
// Long enough for any port with leading blanks; a longer text is no port.
constexpr std::size_t kPortTextLimit = 63;

// In creation order.
constexpr conf::win32::ChildControl kChildControls[] = {
    {IDC_SEND, "BUTTON", conf::ui::kSend, 40, 400, 80, 30, 0},
    {IDC_EXIT, "BUTTON", conf::ui::kExit, 470, 400, 80, 30, 0},
    {IDC_JOIN, "BUTTON", conf::ui::kJoin, 470, 48, 80, 30, 0},
    {IDC_INPUT, "EDIT", "", 40, 310, 510, 80, ES_MULTILINE | WS_HSCROLL},
    {IDC_LOG, "EDIT", "", 40, 80, 510, 200, ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL},
    {IDC_NAME, "EDIT", "", 116, 25, 140, 20, 0},
    {IDC_SERVER, "EDIT", "", 116, 52, 140, 20, 0},
    {IDC_PORT, "EDIT", "", 346, 52, 48, 20, 0},
};

struct PaintedText {
    const char* text;
    int x, y;
};

constexpr PaintedText kPaintedTexts[] = {
    {conf::ui::kLabelName, 40, 25},
    {conf::ui::kLabelServer, 40, 52},
    {conf::ui::kLabelServerPort, 260, 52},
};

// Everything the program keeps between messages.
struct ClientWindow {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    conf::win32::WindowPicture picture;
};

ClientWindow g_client;

// ClientCore's view of this window's controls.
class WindowClientView final : public conf::ClientView {
public:
    std::string field_text(int control, std::size_t max_bytes) override {
        std::string text(max_bytes + 1, '\0');
        const UINT length = ::GetDlgItemTextA(g_client.window, control, &text[0], static_cast<int>(max_bytes + 1));
        text.resize(length);
        return text;
    }

    // Read with the same rules as GetDlgItemInt for an unsigned number, but
    // strictly: "12ab" or "-1" are no port on any platform.
    bool field_unsigned(int control, std::uint32_t* value) override {
        if (::GetWindowTextLengthA(::GetDlgItem(g_client.window, control)) > static_cast<int>(kPortTextLimit))
            return false;
        return conf::parse_unsigned_decimal(field_text(control, kPortTextLimit), value);
    }

    void set_field_text(int control, const char* text) override {
        ::SetDlgItemTextA(g_client.window, control, text);
    }

    void enable_control(int control, bool enabled) override {
        ::EnableWindow(::GetDlgItem(g_client.window, control), enabled ? TRUE : FALSE);
    }

    void set_read_only(int control, bool read_only) override {
        ::SendDlgItemMessageA(g_client.window, control, EM_SETREADONLY, read_only ? TRUE : FALSE, 0);
    }

    void focus_control(int control) override { ::SetFocus(::GetDlgItem(g_client.window, control)); }

    int line_count(int control) override {
        return static_cast<int>(::SendDlgItemMessageA(g_client.window, control, EM_GETLINECOUNT, 0, 0));
    }

    void scroll_lines(int control, int lines) override {
        ::SendDlgItemMessageA(g_client.window, control, EM_LINESCROLL, 0, lines);
    }

    void show_report(const char* text, const char* caption) override {
        ::MessageBoxA(g_client.window, text, caption, MB_OK);
    }

    bool register_socket_events(conf::net::SocketHandle socket) override {
        const int result =
            ::WSAAsyncSelect(static_cast<SOCKET>(socket), g_client.window, WM_CONF_SOCKET, FD_READ | FD_WRITE);
        // Winsock 1.1 stacks may answer "would block" although the
        // registration took effect.
        return result != SOCKET_ERROR || ::WSAGetLastError() == WSAEWOULDBLOCK;
    }
};

WindowClientView g_client_view;
// The core holds the 64 KB conversation log: it lives for the whole program.
conf::ClientCore g_core(g_client_view);

void centre_on_screen(HWND window) {
    RECT frame;
    ::GetWindowRect(window, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::MoveWindow(window, x, y, width, height, TRUE);
}

// Message handlers ------------------------------------------------------------

LRESULT on_create(HWND window) {
    g_client.window = window;
    centre_on_screen(window);
    for (const conf::win32::ChildControl& control : kChildControls)
        conf::win32::create_child_control(g_client.instance, window, control);
    ::EnableWindow(::GetDlgItem(window, IDC_SEND), FALSE);
    g_client.picture = conf::win32::load_window_picture(g_client.instance, window, "BITMAP1");
    return 0;
}

LRESULT on_paint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    conf::win32::paint_window_picture(dc, g_client.picture);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, kLabelColour);
    for (const PaintedText& label : kPaintedTexts)
        ::TextOutA(dc, label.x, label.y, label.text, static_cast<int>(std::strlen(label.text)));
    ::EndPaint(window, &paint);
    return 0;
}

// The window has no caption bar: a press anywhere outside the controls
// drags it.
LRESULT on_left_button_down(HWND window) {
    ::SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
    return 0;
}

void on_exit_command(HWND window) {
    const int answer =
        ::MessageBoxA(window, conf::ui::kExitQuestion, conf::ui::kCaptionError, MB_OKCANCEL | MB_ICONQUESTION);
    // A second exit pressed while the question was open may already have
    // ended everything.
    if (answer == IDCANCEL || !::IsWindow(window)) return;
    g_core.leave();
    conf::win32::release_window_picture(&g_client.picture);
    ::DestroyWindow(window);
}

// The log is for reading only and never keeps the focus. Only a log that
// has actually taken the focus gives it up: the edit control also notifies
// when the program scrolls it for a new line, and that must not pull the
// focus out of the input field while the user is typing.
void on_log_notification(HWND window) {
    if (::GetFocus() == ::GetDlgItem(window, IDC_LOG)) ::SetFocus(window);
}

LRESULT on_command(HWND window, WPARAM command) {
    switch (LOWORD(command)) {
    case IDC_EXIT:
    case IDCANCEL:
        on_exit_command(window);
        break;
    case IDC_SEND:
        g_core.send();
        break;
    case IDC_JOIN:
        g_core.join();
        break;
    case IDC_LOG:
        on_log_notification(window);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT on_socket_event(LPARAM event) {
    g_core.on_socket_event(static_cast<std::uintptr_t>(event));
    return 0;
}

LRESULT on_destroy() {
    ::PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK client_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        return on_create(window);
    case WM_PAINT:
        return on_paint(window);
    case WM_LBUTTONDOWN:
        return on_left_button_down(window);
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

bool register_window_class() {
    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = client_procedure;
    window_class.hInstance = g_client.instance;
    window_class.hIcon = ::LoadIconA(g_client.instance, "ICON1");
    window_class.hCursor = conf::win32::shared_arrow_cursor();
    window_class.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
    window_class.lpszClassName = kWindowClass;
    return ::RegisterClassA(&window_class) != 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    g_client.instance = instance;
    if (!register_window_class()) return 1;
    HWND window = ::CreateWindowExA(0, kWindowClass, "", WS_POPUP, 0, 0, kWindowWidth, kWindowHeight, nullptr,
                                    nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ::ShowWindow(window, show_command);
    ::UpdateWindow(window);
    return conf::win32::run_message_loop();
}
