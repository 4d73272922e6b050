// CardUtilityApp: the application object. Its initialisation runs the main dialog modally and
// returns false, so the program ends when the dialog closes.
#pragma once

#include "platform/api/Platform.h"
#include "platform/api/Ui.h"

class CardUtilityApp {
public:
    // Constructs the main dialog, makes it the main window, runs it modally and destroys it.
    // Always returns FALSE: there is no message loop after the dialog.
    BOOL InitInstance(platform::Ui& ui, platform::Platform& platform);
};

// The one application object of the program.
extern CardUtilityApp theApp;
