// flashkeeper3 on Windows: everything the program does happens inside the main dialog's modal
// run; WinMain only sets up the platform and the view.
#include "app/flashkeeper3.h"
#include "platform/PlatformFactory.h"
#include "platform/win32/SysWindow.h"
#include "platform/win32/Win32Ui.h"

#include <memory>
#include <string>

// Declared here rather than through <windows.h>, which cannot meet our Windows-semantics types.
extern "C" int __stdcall WinMain(void* instance, void* previous, char* commandLine, int show);

extern "C" int __stdcall WinMain(void* /*instance*/, void* /*previous*/, char* /*commandLine*/,
                                 int /*show*/) {
    std::string error;
    std::unique_ptr<platform::Platform> platform = platform::CreatePlatformFromEnvironment(&error);
    if (platform == nullptr) {
        platform::win32::MessageBoxA(0, error.empty() ? "The platform could not be set up." : error,
                                     platform::MessageBoxCaption, MB_OK);
        return 1;
    }
    platform::win32::Win32Ui ui(*platform);
    // The application's initialisation runs the main dialog and returns FALSE: the program ends
    // when the dialog closes.
    theApp.InitInstance(ui, *platform);
    return 0;
}
