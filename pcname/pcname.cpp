// pcname: shows the name of the computer it runs on in a message box.
#include <windows.h>

#include "ui_texts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // The icon is there for the shell to show beside the program; the box
    // itself carries none, so the handle is not needed.
    static_cast<void>(LoadIconA(instance, "ICON1"));

    // Starts empty: if the name cannot be read the box shows nothing rather
    // than whatever the buffer held before.
    char name[1024] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) {
        name[0] = '\0';
    }

    MessageBoxA(nullptr, name, conf::ui::kComputerNameCaption, MB_OK);
    return 0;
}
