#include "win32_ui.h"

namespace conf::win32 {

WindowPicture load_window_picture(HINSTANCE instance, HWND window, const char* resource_name) {
    WindowPicture picture;
    HDC window_dc = ::GetDC(window);
    picture.dc = ::CreateCompatibleDC(window_dc);
    picture.bitmap = ::LoadBitmapA(instance, resource_name);
    if (picture.bitmap != nullptr) {
        ::SelectObject(picture.dc, picture.bitmap);
        ::GetObjectA(picture.bitmap, sizeof picture.size, &picture.size);
    }
    ::ReleaseDC(window, window_dc);
    return picture;
}

void paint_window_picture(HDC target, const WindowPicture& picture) {
    ::BitBlt(target, 0, 0, picture.size.bmWidth, picture.size.bmHeight, picture.dc, 0, 0, SRCCOPY);
}

void release_window_picture(WindowPicture* picture) {
    ::DeleteDC(picture->dc);
    ::DeleteObject(picture->bitmap);
    *picture = WindowPicture{};
}

HWND create_child_control(HINSTANCE instance, HWND parent, const ChildControl& control) {
    return ::CreateWindowExA(0, control.class_name, control.text, WS_CHILD | WS_VISIBLE | control.extra_style,
                             control.x, control.y, control.width, control.height, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
}

HCURSOR shared_arrow_cursor() {
    return static_cast<HCURSOR>(::LoadImageA(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
}

int run_message_loop() {
    MSG message{};
    BOOL got;
    while ((got = ::GetMessageA(&message, nullptr, 0, 0)) != 0 && got != -1) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace conf::win32
