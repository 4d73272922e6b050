#include "platform/qt/QtUi.h"

#include "platform/qt/Artwork.h"
#include "platform/qt/DialogWindow.h"
#include "platform/qt/FormatDialog.h"
#include "platform/qt/ScreenFit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QStyleFactory>
#include <QTimer>

namespace platform::qt {

namespace {

constexpr int DefaultPollMs = 500;
// Room a title bar takes besides its caption: the window icon, three buttons and the margins.
constexpr int CaptionRoom = 120;
// How long a command may hold the window off without a wait cursor before it gets one.
constexpr int BusyCursorDelayMs = 250;

// A message box with the Windows rules for Esc and the close box: an OK box and a Yes/No/Cancel
// box take Esc as OK / Cancel; a Yes/No box has no way out but its two buttons.
class WindowsMessageBox : public QMessageBox {
public:
    WindowsMessageBox(QWidget* parent, bool escapeAllowed)
        : QMessageBox(parent), escapeAllowed_(escapeAllowed) {
        if (!escapeAllowed_) {
            setWindowFlag(Qt::WindowCloseButtonHint, false);
        }
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!escapeAllowed_ && event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (!escapeAllowed_) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    bool escapeAllowed_;
};

// "Description (*.ext)" as Qt wants it; the description usually names the pattern already.
QString FilterOf(const FileDialogRequest& request) {
    const QString description = QString::fromStdString(request.filterDescription);
    const QString pattern = QString::fromStdString(request.filterPattern);
    if (pattern.isEmpty()) {
        return description.isEmpty() ? QStringLiteral("All Files (*)") : description;
    }
    if (description.endsWith(QStringLiteral("(") + pattern + QStringLiteral(")"))) {
        return description;
    }
    // Qt reads the patterns from the last parentheses: give them explicitly.
    return (description.isEmpty() ? pattern : description) + QStringLiteral(" (") + pattern +
           QStringLiteral(")");
}

} // namespace

class QtUi::ArrowWhileAsking {
public:
    explicit ArrowWhileAsking(const QtUi& ui) : active_(ui.waitDepth_ > 0) {
        if (active_) {
            QApplication::setOverrideCursor(Qt::ArrowCursor);
        }
    }
    ~ArrowWhileAsking() {
        if (active_) {
            QApplication::restoreOverrideCursor();
        }
    }
    ArrowWhileAsking(const ArrowWhileAsking&) = delete;
    ArrowWhileAsking& operator=(const ArrowWhileAsking&) = delete;

private:
    bool active_;
};

void QtUi::Route(DialogWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (runner_.InputHeld()) {
        // A command is busy on its own thread: user input is held off, and nothing else may run
        // the logic beside it either (device changes wait for the next poll).
        return;
    }
    Dialog& dlg = window.Logic();
    if (&dlg == mainWindow_ && message != WM_DEVICECHANGE) {
        runner_.Run([&] { dlg.WindowProc(message, wParam, lParam); });
    } else {
        // Device changes, and what reaches the dialogs and boxes a command shows, are handled at
        // once, as a window procedure called from a nested message loop would handle them.
        dlg.WindowProc(message, wParam, lParam);
    }
    SyncAll();
}

void QtUi::Wake() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            woken_ = true;
            if (wakeLoop_ != nullptr) {
                wakeLoop_->quit();
            }
        },
        Qt::QueuedConnection);
}

void QtUi::WaitForWake() {
    // Everything but user input to our windows (held off by eventFilter): paints, moves, the
    // desktop's liveness pings and the command's Ui calls.
    if (!std::exchange(woken_, false)) {
        QEventLoop loop;
        wakeLoop_ = &loop;
        loop.exec();
        wakeLoop_ = nullptr;
        woken_ = false;
    }
}

void QtUi::InputHeldChanged(bool held) {
    if (held) {
        // The command holds the window off again from now.
        busyCursorTimer_->start();
    } else {
        busyCursorTimer_->stop();
        ShowBusyCursor(false);
    }
}

void QtUi::ShowBusyCursor(bool show) {
    if (show == busyCursorShown_) {
        return;
    }
    busyCursorShown_ = show;
    if (show) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

bool QtUi::eventFilter(QObject* watched, QEvent* event) {
    // Keys are looked at once, where the window system delivers them (to the window), before
    // they are passed on to (and up from) the focused widget.
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        watched->isWindowType()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (event->type() == QEvent::KeyRelease) {
            lastRelease_ = {key->key(), key->timestamp()};
        } else if (key->isAutoRepeat() || lastRelease_ == std::pair(key->key(), key->timestamp())) {
            // A key held down repeats (the X server sends a release and a press of the same time
            // for each repeat) into whichever window has the focus, also into the main dialog once
            // the box that took its first press has closed: Enter and Esc act on a press only.
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Escape) {
                return true;
            }
        }
    }
    if (InputHeld()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            // The operation is busy (the wait cursor says so): the input is dropped rather than
            // kept for later, so that no click starts another operation once this one ends.
            return true;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

QtUi::QtUi(Platform& platform, std::optional<BaseUnits> baseUnits)
    : platform_(platform), baseUnits_(baseUnits) {
    QCoreApplication::instance()->installEventFilter(this);
    // A command that keeps the window waiting for a while without a wait cursor of its own gets
    // one, so that the dropped clicks have a visible reason; it goes when the command asks
    // something or sets its own cursor, and when it ends. The wait starts again after each of its
    // Ui calls.
    busyCursorTimer_ = new QTimer(this);
    busyCursorTimer_->setSingleShot(true);
    busyCursorTimer_->setInterval(BusyCursorDelayMs);
    connect(busyCursorTimer_, &QTimer::timeout, this,
            [this] { ShowBusyCursor(InputHeld() && waitDepth_ == 0); });
    pollTimer_ = new QTimer(this);
    pollTimer_->setInterval(DefaultPollMs);
    connect(pollTimer_, &QTimer::timeout, this, [this] { PollDevices(); });
    if (QApplication::windowIcon().isNull()) {
        QApplication::setWindowIcon(ApplicationIcon());
    }
}

QtUi::~QtUi() {
    while (waitDepth_ > 0) {
        EndWaitCursor();
    }
}

void QtUi::ApplyClassicLook() {
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows")); style != nullptr) {
        QApplication::setStyle(style);
    }
    QPalette p;
    const QColor face(0xd4, 0xd0, 0xc8);
    p.setColor(QPalette::Window, face);
    p.setColor(QPalette::Button, face);
    p.setColor(QPalette::Midlight, face);
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Mid, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Dark, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Shadow, QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, face);
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::WindowText, Qt::black);
    p.setColor(QPalette::ButtonText, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x0a, 0x24, 0x6a));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe1));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    QApplication::setPalette(p);
    QApplication::setFont(DialogFont("MS Sans Serif", 8));
}

DialogWindow* QtUi::WindowOf(const Dialog& dlg) const {
    for (const auto& [logic, window] : running_) {
        if (logic == &dlg) {
            return window.data();
        }
    }
    return nullptr;
}

INT_PTR QtUi::RunModal(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return RunModal(dlg); });
    }
    const DialogTemplate& t = dlg.Template();
    const BaseUnits units = baseUnits_ ? *baseUnits_ : BaseUnitsOf(DialogFont(t.fontName, t.fontPoints));
    // A dialog opened from another is owned by it: modal over it and centred on it.
    QWidget* owner = running_.empty() ? nullptr : running_.back().second.data();
    auto* window = new DialogWindow(dlg, units, *this, owner);
    window->setWindowIcon(ApplicationIcon());
    running_.emplace_back(&dlg, window);

    dlg.InitDialog();
    if (!dlg.IsEnded()) {
        window->Sync();
        const QRect area = owner != nullptr              ? owner->frameGeometry()
                           : window->screen() != nullptr ? window->screen()->availableGeometry()
                                                         : QRect();
        if (area.isValid()) {
            window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
            FitToScreen(*window, owner);
        }
        window->FocusFirstTabStop();
        if (owner != nullptr) {
            window->exec(); // modal over its owner, as a dialog with a parent is
        } else {
            // The first dialog has nothing to be modal over. Running it in a plain loop keeps
            // the windows that are opened without an owner (the format dialog) usable, which
            // an application-modal run would block.
            QEventLoop loop;
            connect(window, &QDialog::finished, &loop, &QEventLoop::quit);
            window->show();
            if (!dlg.IsEnded()) {
                loop.exec();
            }
        }
    }
    const INT_PTR result = dlg.IsEnded() ? dlg.Result() : IDCANCEL;
    std::erase_if(running_, [&dlg](const auto& entry) { return entry.first == &dlg; });
    // The logic may destroy the dialog as soon as this returns: the window goes first.
    delete window;
    return result;
}

void QtUi::DialogEnded(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { DialogEnded(dlg); });
    }
    if (DialogWindow* window = WindowOf(dlg)) {
        window->EndFromModel(dlg.Result());
    }
}

void QtUi::SetMainWindow(Dialog* dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { SetMainWindow(dlg); });
    }
    mainWindow_ = dlg;
    if (dlg != nullptr) {
        pollTimer_->start();
    } else {
        pollTimer_->stop();
    }
}

void QtUi::SetDevicePollInterval(int ms) {
    pollTimer_->setInterval(ms);
}

void QtUi::PollDevices() {
    // One poll at a time: a handler that opens a box runs a nested loop in which the timer fires.
    // Not while a command is busy on its own thread: the platform is then the command's; the
    // change is seen at the next poll after it, or in a box the command shows. Nor while a
    // platform call on this thread waits for its service with the events running.
    if (polling_ || mainWindow_ == nullptr || InputHeld() || BusyWhileWaiting::Active()) {
        return;
    }
    polling_ = true;
    const std::vector<UINT> events = platform_.Devices().Poll();
    for (UINT event : events) {
        // Delivered only while the main dialog's window exists, as a window message would be.
        DialogWindow* window = WindowOf(*mainWindow_);
        if (window == nullptr) {
            break;
        }
        window->Route(WM_DEVICECHANGE, event, 0);
    }
    polling_ = false;
}

void QtUi::SyncAll() {
    for (const auto& entry : running_) {
        if (DialogWindow* window = entry.second.data()) {
            window->Sync();
        }
    }
}

QWidget* QtUi::ParentFor(Dialog* owner) const {
    if (owner != nullptr) {
        if (DialogWindow* window = WindowOf(*owner)) {
            return window;
        }
    }
    return running_.empty() ? nullptr : running_.back().second.data();
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, std::string_view text, UINT type) {
    const UINT buttons = type & 0xF;
    auto made = std::make_unique<WindowsMessageBox>(parent, buttons != MB_YESNO);
    QMessageBox& box = *made;
    box.setObjectName(QStringLiteral("messageBox"));
    box.setWindowTitle(QString::fromLatin1(MessageBoxCaption));
    box.setTextFormat(Qt::PlainText);
    box.setText(WithBreaksInLongWords(QString::fromStdString(std::string(text))));
    box.setIcon(QMessageBox::NoIcon);
    QAbstractButton* first = nullptr;
    if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) {
        first = box.addButton(QMessageBox::Yes);
        box.addButton(QMessageBox::No);
        if (buttons == MB_YESNOCANCEL) {
            box.setEscapeButton(box.addButton(QMessageBox::Cancel));
        }
    } else {
        first = box.addButton(QMessageBox::Ok);
        box.setEscapeButton(first);
    }
    box.setDefaultButton(static_cast<QPushButton*>(first));
    // A short text makes a narrow box, whose title bar would cut the caption short: the box is
    // at least as wide as the caption in a bold title font, beside a title bar's icon and buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()); grid != nullptr) {
        QFont titleFont = box.font();
        titleFont.setBold(true);
        const int captionWidth = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle());
        grid->addItem(
            new QSpacerItem(captionWidth + CaptionRoom, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
            grid->rowCount(), 0, 1, grid->columnCount());
    }
    return made;
}

int QtUi::MessageBox(Dialog* owner, std::string_view text, UINT type) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return MessageBox(owner, text, type); });
    }
    SyncAll(); // what the logic has set so far is on screen behind the box
    ArrowWhileAsking arrow(*this);
    const UINT buttons = type & 0xF;
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(ParentFor(owner), text, type);
    box->exec();
    switch (box->standardButton(box->clickedButton())) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Ok:
        return IDOK;
    default:
        // No button was clicked (the box was closed by other means): the answer Esc would give.
        return buttons == MB_YESNOCANCEL ? IDCANCEL : buttons == MB_YESNO ? IDNO : IDOK;
    }
}

BOOL QtUi::GetOpenFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(owner, request, false);
}

BOOL QtUi::GetSaveFileName(Dialog* owner, FileDialogRequest& request) {
    return RunFileDialog(owner, request, true);
}

namespace {

// The save dialog asks before it replaces a file, as the file services find it: a name typed
// in another case names the same file there, although the folder's own listing has it apart.
class SaveAsDialog final : public QFileDialog {
public:
    SaveAsDialog(QWidget* parent, Platform& platform) : QFileDialog(parent), platform_(platform) {}

    void accept() override {
        const QStringList files = selectedFiles();
        if (acceptMode() == QFileDialog::AcceptSave && !testOption(QFileDialog::DontConfirmOverwrite) &&
            !files.isEmpty() && !QFileInfo::exists(files.front())) {
            // (A file of exactly that name is asked about by the dialog itself.)
            const std::string host = QDir::toNativeSeparators(files.front()).toStdString();
            const std::string windows = platform_.WindowsPathOf(host);
            FindData found;
            const Handle h = platform_.Files().FindFirstFile(windows.empty() ? host : windows, &found);
            if (h != InvalidHandle) {
                platform_.Files().FindClose(h);
                const QString text = tr("%1 already exists.\nDo you want to replace it?")
                                         .arg(QString::fromStdString(found.fileName));
                if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                    QMessageBox::warning(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                                         QMessageBox::No) != QMessageBox::Yes) {
                    return;
                }
            }
        }
        QFileDialog::accept();
    }

private:
    Platform& platform_;
};

} // namespace

BOOL QtUi::RunFileDialog(Dialog* owner, FileDialogRequest& request, bool save) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return RunFileDialog(owner, request, save); });
    }
    SyncAll();
    ArrowWhileAsking arrow(*this);
    SaveAsDialog dialog(ParentFor(owner), platform_);
    dialog.setObjectName(save ? QStringLiteral("saveDialog") : QStringLiteral("openDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowTitle(save ? QStringLiteral("Save As") : QStringLiteral("Open"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    const bool mustExist = !save && (request.flags & OFN_FILEMUSTEXIST) != 0;
    dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(FilterOf(request));
    if (save) {
        if (!request.defaultExt.empty()) {
            dialog.setDefaultSuffix(QString::fromStdString(request.defaultExt));
        }
        dialog.setOption(QFileDialog::DontConfirmOverwrite, (request.flags & OFN_OVERWRITEPROMPT) == 0);
    }
    const std::string hostDir =
        request.initialDir.empty() ? std::string() : platform_.HostPathOf(request.initialDir);
    if (!hostDir.empty() && QDir(QString::fromStdString(hostDir)).exists()) {
        dialog.setDirectory(QString::fromStdString(hostDir));
    }
    // A wildcard preset only repeats the filter, which the dialog shows already; a name is offered.
    const QString preset = QString::fromStdString(request.fileName);
    if (!preset.isEmpty() && !preset.contains(QLatin1Char('*')) && !preset.contains(QLatin1Char('?'))) {
        dialog.selectFile(preset);
    }
    FitFileDialog(dialog, dialog.parentWidget());
    if (dialog.exec() != QDialog::Accepted) {
        return FALSE;
    }
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) {
        return FALSE;
    }
    const std::string hostPath = QDir::toNativeSeparators(files.front()).toStdString();
    const std::string windowsPath = platform_.WindowsPathOf(hostPath);
    request.path = windowsPath.empty() ? hostPath : windowsPath;
    return TRUE;
}

void QtUi::FormatDriveDialog(UINT driveNumber, Volumes& volumes) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { FormatDriveDialog(driveNumber, volumes); });
    }
    SyncAll();
    ArrowWhileAsking arrow(*this);
    RunFormatDialog(driveNumber, volumes);
    SyncAll();
}

void QtUi::BeginWaitCursor() {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { BeginWaitCursor(); });
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++waitDepth_;
}

void QtUi::EndWaitCursor() {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { EndWaitCursor(); });
    }
    // An unbalanced end is ignored rather than popping a cursor someone else set.
    if (waitDepth_ == 0) {
        return;
    }
    --waitDepth_;
    QApplication::restoreOverrideCursor();
}

void QtUi::UpdateWindow(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { UpdateWindow(dlg); });
    }
    if (DialogWindow* window = WindowOf(dlg)) {
        window->Sync();
        window->repaint(); // paints now, without processing events
    }
}

Rect QtUi::GetClientRect(Dialog& dlg) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return GetClientRect(dlg); });
    }
    if (DialogWindow* window = WindowOf(dlg)) {
        return Rect{0, 0, window->width(), window->height()};
    }
    // Not on screen: the size its window would have.
    const DialogTemplate& t = dlg.Template();
    const BaseUnits units = baseUnits_ ? *baseUnits_ : BaseUnitsOf(DialogFont(t.fontName, t.fontPoints));
    const QSize size = DialogClientSize(t, units);
    return Rect{0, 0, size.width(), size.height()};
}

bool QtUi::ChildCreated(Dialog& dlg, Control& control) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { return ChildCreated(dlg, control); });
    }
    DialogWindow* window = WindowOf(dlg);
    return window != nullptr && window->AddChild(control);
}

void QtUi::ChildDestroyed(Dialog& dlg, Control& control) {
    if (!runner_.OnWindowThread()) {
        return runner_.Call([&] { ChildDestroyed(dlg, control); });
    }
    if (DialogWindow* window = WindowOf(dlg)) {
        window->RemoveChild(control);
        window->repaint();
    }
}

} // namespace platform::qt
