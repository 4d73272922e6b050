// ScriptedUi: a platform::Ui for tests. Every question (message box, file dialog, modal dialog,
// format dialog) is answered from its own queue and recorded; everything shown (status-bar texts,
// progress bar, wait cursor, repaints) is recorded too. Any answer can carry an action that runs
// just before it is given, e.g. pulling the card and delivering the device change, so that
// device changes arrive in the middle of an operation as they do on Windows.
//
// Unexpected questions fail the test (GoogleTest ADD_FAILURE), except an MB_OK message box,
// which is answered with IDOK: a scenario then checks the recorded texts.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/api/Ui.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fktest {

using Action = std::function<void()>;

// A message box as shown.
struct ShownMessage {
    std::string text;
    std::string caption;
    UINT buttons = MB_OK; // MB_OK, MB_YESNO, MB_YESNOCANCEL
};

struct MessageAnswer {
    int answer = IDOK; // IDOK, IDYES, IDNO, IDCANCEL
    Action before;
};

// Answer to an open or save dialog: a path (Windows or host form), or cancel.
struct FileAnswer {
    std::optional<std::string> path;
    Action before;
};
FileAnswer ChoosePath(std::string path, Action before = {});
FileAnswer CancelFileDialog(Action before = {});

struct ShownFileDialog {
    bool save = false;
    platform::FileDialogRequest request; // as the program filled it in
};

// Answer to a nested modal dialog (drive selection, About): optionally select an item of a combo
// box, then press a button (IDOK runs the dialog's OK processing, IDCANCEL its cancel).
struct ModalAnswer {
    std::optional<int> comboSelection; // index to select in the dialog's combo box
    int comboId = 1018;
    int button = IDOK;
    Action before;
};
// Drive selection: choose item i, then OK.
ModalAnswer SelectItem(int index, Action before = {});
// OK with whatever the dialog preselected.
ModalAnswer PressOk(Action before = {});
ModalAnswer PressCancel(Action before = {});

// Answer to the format dialog: format as asked, or close it without formatting.
struct FormatAnswer {
    std::optional<platform::FormatRequest> request;
    Action before;
};
FormatAnswer FormatWith(platform::FormatRequest request, Action before = {});
FormatAnswer CancelFormat(Action before = {});

struct ShownFormat {
    UINT driveNumber = 0;
    bool formatted = false; // the user asked for a format
    DWORD result = 0;       // what FormatDrive returned (when formatted)
};

struct ShownModal {
    int templateId = 0;
    std::string title;
    INT_PTR result = 0;
    std::vector<std::string> comboItems; // the combo box items when the answer was given
    int comboSelection = CB_ERR;         // the preselected item before the answer
};

// The progress bar's life: created, each new position seen at a repaint or a Ui call (an
// operation that repaints after every step shows every step), destroyed with its last position.
struct ProgressEvent {
    enum class Kind { Created, Position, Destroyed };
    Kind kind;
    int position = 0;
};

class ScriptedUi : public platform::Ui {
public:
    ScriptedUi();
    ~ScriptedUi() override;

    // --- answers ---
    void AnswerMessage(int answer, Action before = {});
    void AnswerFile(FileAnswer answer);
    void AnswerModal(ModalAnswer answer);
    void AnswerFormat(FormatAnswer answer);

    // Runs the action once, when the progress bar has moved the given number of times (an
    // operation in full swing, e.g. to pull the card in the middle of a restore).
    void AtProgressStep(int step, Action action);

    // --- configuration ---
    void SetClientRect(const platform::Rect& rect) { clientRect_ = rect; }
    void SetChildCreationFails(bool fails) { childCreationFails_ = fails; }

    // --- records ---
    const std::vector<ShownMessage>& Messages() const { return messages_; }
    std::vector<std::string> MessageTexts() const;
    const std::vector<ShownFileDialog>& FileDialogs() const { return fileDialogs_; }
    const std::vector<ShownModal>& Modals() const { return modals_; }
    const std::vector<ShownFormat>& Formats() const { return formats_; }
    // Each distinct text that part 0 / part 1 of the status bar showed, in order (a text is
    // recorded when it differs from the one before). Captured at every repaint and every Ui call.
    const std::vector<std::string>& StatusHistory(int part) const;
    void ClearStatusHistory();
    const std::vector<ProgressEvent>& ProgressEvents() const { return progress_; }
    bool ProgressBarExists() const { return progressBar_ != nullptr; }
    // The progress bar while it exists (null otherwise).
    const platform::ProgressBarControl* ProgressBar() const { return progressBar_; }
    int WaitCursorDepth() const { return waitDepth_; }
    int WaitCursorBegins() const { return waitBegins_; }
    int RepaintCount() const { return repaints_; }
    // Dialogs whose window closed (EndDialog), in order, with their results.
    const std::vector<std::pair<int, int>>& EndedDialogs() const { return ended_; }
    platform::Dialog* MainWindow() const { return mainWindow_; }
    // The status bar created by the main window (null before).

    // --- platform::Ui ---
    INT_PTR RunModal(platform::Dialog& dlg) override;
    void DialogEnded(platform::Dialog& dlg) override;
    // A ScriptedUi serves one main dialog at a time; clearing the main window forgets its
    // status bar and progress bar, which go away with it.
    void SetMainWindow(platform::Dialog* dlg) override;
    int MessageBox(platform::Dialog* owner, std::string_view text, UINT type) override;
    BOOL GetOpenFileName(platform::Dialog* owner, platform::FileDialogRequest& request) override;
    BOOL GetSaveFileName(platform::Dialog* owner, platform::FileDialogRequest& request) override;
    void FormatDriveDialog(UINT driveNumber, platform::Volumes& volumes) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void UpdateWindow(platform::Dialog& dlg) override;
    platform::Rect GetClientRect(platform::Dialog& dlg) override;
    bool ChildCreated(platform::Dialog& dlg, platform::Control& control) override;
    void ChildDestroyed(platform::Dialog& dlg, platform::Control& control) override;

private:
    BOOL FileDialog(bool save, platform::FileDialogRequest& request);
    void CaptureStatus();
    static void Run(const Action& action);

    std::deque<MessageAnswer> messageAnswers_;
    std::deque<FileAnswer> fileAnswers_;
    std::deque<ModalAnswer> modalAnswers_;
    std::deque<FormatAnswer> formatAnswers_;

    platform::Rect clientRect_{0, 0, 473, 318};
    bool childCreationFails_ = false;

    std::vector<ShownMessage> messages_;
    std::vector<ShownFileDialog> fileDialogs_;
    std::vector<ShownModal> modals_;
    std::vector<ShownFormat> formats_;
    std::vector<std::string> statusHistory_[2];
    std::vector<ProgressEvent> progress_;
    int progressSteps_ = 0;
    int actionStep_ = 0;
    Action progressAction_;
    platform::ProgressBarControl* progressBar_ = nullptr;
    platform::StatusBarControl* statusBar_ = nullptr;
    int waitDepth_ = 0;
    int waitBegins_ = 0;
    int repaints_ = 0;
    std::vector<std::pair<int, int>> ended_;
    platform::Dialog* mainWindow_ = nullptr;
};

} // namespace fktest
