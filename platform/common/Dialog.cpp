#include "platform/api/Dialog.h"

#include <stdexcept>

namespace platform {

void DataExchange::Text(int id, std::string& member) {
    TextControl& control = dlg_.TextItem(id);
    if (save_) {
        member = control.GetWindowText();
    } else {
        control.SetWindowText(member);
    }
}

void DataExchange::CBIndex(int id, int& member) {
    ComboBoxControl& combo = dlg_.ComboItem(id);
    if (save_) {
        member = combo.GetCurSel();
    } else {
        combo.SetCurSel(member);
    }
}

Dialog::Dialog(Ui& ui, const DialogTemplate& dialogTemplate) : ui_(ui), template_(dialogTemplate) {
    for (const ControlTemplate& t : dialogTemplate.controls) {
        std::unique_ptr<Control> control;
        switch (t.kind) {
        case ControlKind::ComboBox:
            control = std::make_unique<ComboBoxControl>(t.id);
            break;
        case ControlKind::PushButton: {
            auto button = std::make_unique<ButtonControl>(t.id, t.kind);
            button->SetWindowText(t.text);
            control = std::move(button);
            break;
        }
        default: {
            auto text = std::make_unique<TextControl>(t.id, t.kind);
            text->SetWindowText(t.text);
            control = std::move(text);
            break;
        }
        }
        control->ShowWindow(!t.hidden);
        ordered_.push_back(control.get());
        if (t.id != -1) {
            byId_[t.id] = control.get();
        }
        owned_.push_back(std::move(control));
    }
    GetSystemMenu(TRUE);
}

Dialog::~Dialog() = default;

INT_PTR Dialog::DoModal() {
    ended_ = false;
    result_ = 0;
    return ui_.RunModal(*this);
}

BOOL Dialog::InitDialog() {
    return OnInitDialog();
}

void Dialog::EndDialog(int result) {
    ended_ = true;
    result_ = result;
    ui_.DialogEnded(*this);
}

BOOL Dialog::UpdateData(BOOL saveAndValidate) {
    DataExchange dx(*this, saveAndValidate != FALSE);
    DoDataExchange(dx);
    return TRUE;
}

LRESULT Dialog::WindowProc(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return 0;
        }
    }
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
        OnCancel();
        return 0;
    }
    return 0;
}

Control* Dialog::GetDlgItem(int id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

// The accessors are used with the ids of the dialog's own template; a wrong id is a
// programming error that must not pass silently.
TextControl& Dialog::TextItem(int id) {
    auto* control = dynamic_cast<TextControl*>(GetDlgItem(id));
    if (control == nullptr) {
        throw std::logic_error("no text control with id " + std::to_string(id));
    }
    return *control;
}

ButtonControl& Dialog::ButtonItem(int id) {
    auto* control = dynamic_cast<ButtonControl*>(GetDlgItem(id));
    if (control == nullptr) {
        throw std::logic_error("no button with id " + std::to_string(id));
    }
    return *control;
}

ComboBoxControl& Dialog::ComboItem(int id) {
    auto* control = dynamic_cast<ComboBoxControl*>(GetDlgItem(id));
    if (control == nullptr) {
        throw std::logic_error("no combo box with id " + std::to_string(id));
    }
    return *control;
}

std::vector<MenuItem>* Dialog::GetSystemMenu(BOOL revert) {
    if (revert != FALSE) {
        systemMenu_ = {MenuItem{SC_CLOSE, "&Close\tAlt+F4", false}};
    }
    return &systemMenu_;
}

BOOL Dialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void Dialog::DoDataExchange(DataExchange& /*dx*/) {}

void Dialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void Dialog::OnCancel() {
    EndDialog(IDCANCEL);
}

} // namespace platform
