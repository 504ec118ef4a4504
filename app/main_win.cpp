#include "Module1Lines.h"
#include "win32/Form1.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    Module1Lines port;
    Form1 form(instance, port);
    if (!form.Create(showCommand))
        return 1;
    return form.Run();
}
