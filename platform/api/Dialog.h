// Base of the program's dialogs: control models made from a template, the data exchange
// between members and controls, message routing, the modal run and the system menu. It keeps
// the rules of a Windows dialog class: collecting from the controls overwrites every bound
// member, and an out-of-range combo selection reads back as -1.
#pragma once

#include "platform/api/Controls.h"
#include "platform/api/Templates.h"
#include "platform/api/Ui.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class Dialog;

// One run of the data exchange, in one direction.
class DataExchange {
public:
    DataExchange(Dialog& dlg, bool saveAndValidate) : dlg_(dlg), save_(saveAndValidate) {}
    // Text of an edit (or any text control) <-> member.
    void Text(int id, std::string& member);
    // Current selection index of a combo box <-> member (-1 when nothing is selected).
    void CBIndex(int id, int& member);

private:
    Dialog& dlg_;
    bool save_;
};

class Dialog {
public:
    Dialog(Ui& ui, const DialogTemplate& dialogTemplate);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog modally through the Ui; returns IDOK, IDCANCEL or another EndDialog result.
    INT_PTR DoModal();
    // Called by the Ui when the modal run starts: runs OnInitDialog.
    BOOL InitDialog();
    // Ends the modal run with a result.
    void EndDialog(int result);
    bool IsEnded() const { return ended_; }
    int Result() const { return result_; }

    // Moves values between members and controls: TRUE collects from the controls into the
    // members, FALSE shows the members in the controls.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // Every message of the window goes through here (clicks arrive as WM_COMMAND with the
    // control id and BN_CLICKED / CBN_SELCHANGE). The base handles IDOK and IDCANCEL.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Convenience for views and tests: a click on a button.
    void ClickButton(int id) { WindowProc(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), BN_CLICKED), 0); }

    const DialogTemplate& Template() const { return template_; }
    Control* GetDlgItem(int id);
    TextControl& TextItem(int id);
    ButtonControl& ButtonItem(int id);
    ComboBoxControl& ComboItem(int id);
    // Controls made from the template, in template order (static controls have id -1).
    const std::vector<Control*>& Controls() const { return ordered_; }

    // The window's system menu; revert restores the standard entries.
    std::vector<MenuItem>* GetSystemMenu(BOOL revert);

    // Run-time children (status bar, progress bar) appear through the Ui.
    Ui& GetUi() { return ui_; }
    void UpdateWindow() { ui_.UpdateWindow(*this); }
    Rect GetClientRect() { return ui_.GetClientRect(*this); }

protected:
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(DataExchange& dx);
    virtual void OnOK();
    virtual void OnCancel();

private:
    Ui& ui_;
    const DialogTemplate& template_;
    std::vector<std::unique_ptr<Control>> owned_;
    std::vector<Control*> ordered_;
    std::map<int, Control*> byId_;
    std::vector<MenuItem> systemMenu_;
    bool ended_ = false;
    int result_ = 0;
};

} // namespace platform
