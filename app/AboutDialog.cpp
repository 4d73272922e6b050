#include "app/AboutDialog.h"

#include "resources/Resources.h"

AboutDialog::AboutDialog(platform::Ui& ui)
    : platform::Dialog(ui, resources::GetDialogTemplate(resources::IDD_ABOUTBOX)) {}
