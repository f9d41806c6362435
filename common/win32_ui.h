// Small pieces that both conference windows build on: the background
// picture held in a memory device context, child controls made from a
// table, the shared arrow cursor and the message loop. Windows only.
#pragma once

#include <windows.h>

namespace conf::win32 {

// A bitmap resource selected into a memory device context compatible with
// a window, kept for the window's whole life.
struct WindowPicture {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    BITMAP size{};
};

// A missing resource leaves the picture empty; painting it then draws nothing.
WindowPicture load_window_picture(HINSTANCE instance, HWND window, const char* resource_name);
void paint_window_picture(HDC target, const WindowPicture& picture);
void release_window_picture(WindowPicture* picture);

struct ChildControl {
    int id;
    const char* class_name;
    const char* text;
    int x, y, width, height;
    DWORD extra_style;  // beyond WS_CHILD | WS_VISIBLE
};

HWND create_child_control(HINSTANCE instance, HWND parent, const ChildControl& control);

HCURSOR shared_arrow_cursor();

// Runs until WM_QUIT (or a failed GetMessage); returns the last message's
// wParam as the program's exit code.
int run_message_loop();

}  // namespace conf::win32
