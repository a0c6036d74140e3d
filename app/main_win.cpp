// The toolkit's headers come first: they ask <windows.h> for the wide
// (UNICODE) Windows API that the toolkit itself is built with.
#include "app/tarsel_translator_app.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showMode)
{
    quietToolkit();
    return wxEntry(instance, previousInstance, commandLine, showMode);
}
