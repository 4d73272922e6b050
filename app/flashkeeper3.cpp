#include "app/flashkeeper3.h"

#include "app/flashkeeper3dlg.h"

CardUtilityApp theApp;

BOOL CardUtilityApp::InitInstance(platform::Ui& ui, platform::Platform& platform) {
    CardUtilityDialog dlg(ui, platform);
    ui.SetMainWindow(&dlg);
    // The result does not matter: the program ends when the dialog closes, however it closes.
    dlg.DoModal();
    ui.SetMainWindow(nullptr);
    return FALSE;
}
