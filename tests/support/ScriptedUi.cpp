#include "tests/support/ScriptedUi.h"

#include "app/flashkeeper3dlg.h"

#include <gtest/gtest.h>

#include <utility>

namespace fktest {

FileAnswer ChoosePath(std::string path, Action before) {
    return FileAnswer{std::move(path), std::move(before)};
}
FileAnswer CancelFileDialog(Action before) {
    return FileAnswer{std::nullopt, std::move(before)};
}

ModalAnswer SelectItem(int index, Action before) {
    return ModalAnswer{index, ModalAnswer{}.comboId, IDOK, std::move(before)};
}
ModalAnswer PressOk(Action before) {
    return ModalAnswer{std::nullopt, ModalAnswer{}.comboId, IDOK, std::move(before)};
}
ModalAnswer PressCancel(Action before) {
    return ModalAnswer{std::nullopt, ModalAnswer{}.comboId, IDCANCEL, std::move(before)};
}

FormatAnswer FormatWith(platform::FormatRequest request, Action before) {
    return FormatAnswer{std::move(request), std::move(before)};
}
FormatAnswer CancelFormat(Action before) {
    return FormatAnswer{std::nullopt, std::move(before)};
}

ScriptedUi::ScriptedUi() = default;
ScriptedUi::~ScriptedUi() = default;

void ScriptedUi::AnswerMessage(int answer, Action before) {
    messageAnswers_.push_back(MessageAnswer{answer, std::move(before)});
}
void ScriptedUi::AnswerFile(FileAnswer answer) {
    fileAnswers_.push_back(std::move(answer));
}
void ScriptedUi::AnswerModal(ModalAnswer answer) {
    modalAnswers_.push_back(std::move(answer));
}
void ScriptedUi::AnswerFormat(FormatAnswer answer) {
    formatAnswers_.push_back(std::move(answer));
}

std::vector<std::string> ScriptedUi::MessageTexts() const {
    std::vector<std::string> texts;
    for (const ShownMessage& m : messages_) {
        texts.push_back(m.text);
    }
    return texts;
}

const std::vector<std::string>& ScriptedUi::StatusHistory(int part) const {
    return statusHistory_[part == 0 ? 0 : 1];
}

void ScriptedUi::ClearStatusHistory() {
    statusHistory_[0].clear();
    statusHistory_[1].clear();
}

void ScriptedUi::Run(const Action& action) {
    if (action) {
        action();
    }
}

void ScriptedUi::CaptureStatus() {
    if (statusBar_ == nullptr) {
        return;
    }
    for (int part = 0; part < 2; ++part) {
        const std::string text = statusBar_->GetText(part);
        std::vector<std::string>& history = statusHistory_[part];
        if (history.empty() || history.back() != text) {
            history.push_back(text);
        }
    }
    if (progressBar_ != nullptr && progressBar_->GetPos() != progress_.back().position) {
        progress_.push_back(ProgressEvent{ProgressEvent::Kind::Position, progressBar_->GetPos()});
        if (++progressSteps_ == actionStep_) {
            Run(std::exchange(progressAction_, {}));
        }
    }
}

void ScriptedUi::AtProgressStep(int step, Action action) {
    progressSteps_ = 0;
    actionStep_ = step;
    progressAction_ = std::move(action);
}

INT_PTR ScriptedUi::RunModal(platform::Dialog& dlg) {
    CaptureStatus();
    // The main window: the one named by SetMainWindow, or a CardUtilityDialog when none was named.
    if (mainWindow_ == nullptr && dynamic_cast<CardUtilityDialog*>(&dlg) != nullptr) {
        mainWindow_ = &dlg;
    }
    if (&dlg == mainWindow_) {
        // The main dialog stays open after its initialisation: the test drives it from here on.
        dlg.InitDialog();
        CaptureStatus();
        return dlg.IsEnded() ? dlg.Result() : 0;
    }

    dlg.InitDialog();
    ShownModal shown;
    shown.templateId = dlg.Template().id;
    shown.title = dlg.Template().title;
    if (dlg.IsEnded()) {
        shown.result = dlg.Result();
        modals_.push_back(shown);
        return dlg.Result();
    }
    if (modalAnswers_.empty()) {
        ADD_FAILURE() << "unexpected modal dialog \"" << shown.title << "\": no answer queued; cancelled";
        dlg.EndDialog(IDCANCEL);
        shown.result = IDCANCEL;
        modals_.push_back(shown);
        return IDCANCEL;
    }
    ModalAnswer answer = std::move(modalAnswers_.front());
    modalAnswers_.pop_front();

    auto* combo = dynamic_cast<platform::ComboBoxControl*>(dlg.GetDlgItem(answer.comboId));
    if (combo != nullptr) {
        shown.comboItems = combo->Items();
        shown.comboSelection = combo->GetCurSel();
    }
    Run(answer.before);
    if (answer.comboSelection) {
        if (combo == nullptr) {
            ADD_FAILURE() << "dialog \"" << shown.title << "\" has no combo box " << answer.comboId;
        } else {
            combo->SetCurSel(*answer.comboSelection);
        }
    }
    dlg.ClickButton(answer.button);
    if (!dlg.IsEnded()) {
        ADD_FAILURE() << "dialog \"" << shown.title << "\" did not end on button " << answer.button;
        dlg.EndDialog(answer.button);
    }
    shown.result = dlg.Result();
    modals_.push_back(shown);
    CaptureStatus();
    return dlg.Result();
}

void ScriptedUi::SetMainWindow(platform::Dialog* dlg) {
    if (dlg == nullptr) {
        CaptureStatus();
        statusBar_ = nullptr;
        progressBar_ = nullptr;
    }
    mainWindow_ = dlg;
}

void ScriptedUi::DialogEnded(platform::Dialog& dlg) {
    ended_.emplace_back(dlg.Template().id, dlg.Result());
}

int ScriptedUi::MessageBox(platform::Dialog* /*owner*/, std::string_view text, UINT type) {
    CaptureStatus();
    messages_.push_back(ShownMessage{std::string(text), platform::MessageBoxCaption, type});
    if (messageAnswers_.empty()) {
        if (type == MB_OK) {
            return IDOK;
        }
        ADD_FAILURE() << "unexpected question \"" << text << "\": no answer queued; answered "
                      << (type == MB_YESNO ? "No" : "Cancel");
        return type == MB_YESNO ? IDNO : IDCANCEL;
    }
    MessageAnswer answer = std::move(messageAnswers_.front());
    messageAnswers_.pop_front();
    Run(answer.before);
    CaptureStatus();
    return answer.answer;
}

BOOL ScriptedUi::FileDialog(bool save, platform::FileDialogRequest& request) {
    CaptureStatus();
    fileDialogs_.push_back(ShownFileDialog{save, request});
    if (fileAnswers_.empty()) {
        ADD_FAILURE() << "unexpected " << (save ? "save" : "open") << " dialog for " << request.filterPattern
                      << ": no answer queued; cancelled";
        return FALSE;
    }
    FileAnswer answer = std::move(fileAnswers_.front());
    fileAnswers_.pop_front();
    Run(answer.before);
    CaptureStatus();
    if (!answer.path) {
        return FALSE;
    }
    request.path = *answer.path;
    return TRUE;
}

BOOL ScriptedUi::GetOpenFileName(platform::Dialog* /*owner*/, platform::FileDialogRequest& request) {
    return FileDialog(false, request);
}

BOOL ScriptedUi::GetSaveFileName(platform::Dialog* /*owner*/, platform::FileDialogRequest& request) {
    return FileDialog(true, request);
}

void ScriptedUi::FormatDriveDialog(UINT driveNumber, platform::Volumes& volumes) {
    CaptureStatus();
    ShownFormat shown;
    shown.driveNumber = driveNumber;
    if (formatAnswers_.empty()) {
        ADD_FAILURE() << "unexpected format dialog for drive " << driveNumber << ": no answer queued; closed";
        formats_.push_back(shown);
        return;
    }
    FormatAnswer answer = std::move(formatAnswers_.front());
    formatAnswers_.pop_front();
    Run(answer.before);
    if (answer.request) {
        shown.formatted = true;
        shown.result = volumes.FormatDrive(driveNumber, *answer.request);
    }
    formats_.push_back(shown);
    CaptureStatus();
}

void ScriptedUi::BeginWaitCursor() {
    CaptureStatus();
    ++waitDepth_;
    ++waitBegins_;
}

void ScriptedUi::EndWaitCursor() {
    CaptureStatus();
    if (waitDepth_ == 0) {
        ADD_FAILURE() << "EndWaitCursor without BeginWaitCursor";
        return;
    }
    --waitDepth_;
}

void ScriptedUi::UpdateWindow(platform::Dialog& /*dlg*/) {
    ++repaints_;
    CaptureStatus();
}

platform::Rect ScriptedUi::GetClientRect(platform::Dialog& /*dlg*/) {
    return clientRect_;
}

bool ScriptedUi::ChildCreated(platform::Dialog& /*dlg*/, platform::Control& control) {
    if (auto* bar = dynamic_cast<platform::StatusBarControl*>(&control)) {
        if (!childCreationFails_) {
            statusBar_ = bar;
        }
    } else if (auto* progress = dynamic_cast<platform::ProgressBarControl*>(&control)) {
        if (!childCreationFails_) {
            CaptureStatus();
            progressBar_ = progress;
            progress_.push_back(ProgressEvent{ProgressEvent::Kind::Created, progress->GetPos()});
        }
    }
    return !childCreationFails_;
}

void ScriptedUi::ChildDestroyed(platform::Dialog& /*dlg*/, platform::Control& control) {
    if (&control == progressBar_) {
        CaptureStatus();
        progress_.push_back(ProgressEvent{ProgressEvent::Kind::Destroyed, progressBar_->GetPos()});
        progressBar_ = nullptr;
    } else if (&control == statusBar_) {
        CaptureStatus();
        statusBar_ = nullptr;
    }
}

} // namespace fktest
