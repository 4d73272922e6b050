// AboutDialog: the About box (template 100). It has no members and no handlers of its own:
// OK, Enter, Esc and the close box end it.
#pragma once

#include "platform/api/Dialog.h"

class AboutDialog : public platform::Dialog {
public:
    explicit AboutDialog(platform::Ui& ui);
};
