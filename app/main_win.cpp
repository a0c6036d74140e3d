#include <windows.h>

#include "app/tarsel_translator_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showMode) {
    quietToolkit();
    return wxEntry(instance, previousInstance, commandLine, showMode);
}
