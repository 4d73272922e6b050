// The Ui services: message boxes, file dialogs, the format dialog, the wait cursor and the
// device-change poll.
#include "platform/qt/FormatDialog.h"
#include "platform/qt/QtUi.h"
#include "platform/qt/ScreenFit.h"
#include "platform/sim/SimulatedPc.h"
#include "resources/Resources.h"
#include "tests/qt/QtTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace platform;
using namespace platform::qt;
using namespace fkqt;

namespace {

QStringList ButtonTexts(QMessageBox* box) {
    QStringList texts;
    for (QAbstractButton* b : box->buttons()) {
        texts.push_back(b->text());
    }
    texts.sort();
    return texts;
}

// Answers the next message box by clicking the button with this text (or by a key), after
// checking its caption and text.
void AnswerBox(const QString& expectedText, std::function<void(QMessageBox*)> answer) {
    OnModal(QStringLiteral("messageBox"), [expectedText, answer](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("flashkeeper3"));
        EXPECT_EQ(box->text(), expectedText);
        answer(box);
    });
}

// Accepts a file dialog whose name field holds an existing file: the dialog must take it and close.
void AcceptExpectingClose(QFileDialog* dialog) {
    static_cast<QDialog*>(dialog)->accept();
    if (dialog->isVisible()) {
        ADD_FAILURE() << "the existing file was not taken";
        static_cast<QDialog*>(dialog)->reject();
    }
}

} // namespace

TEST(MessageBoxes, CaptionTextButtonsAndTheWindowsEscapeRules) {
    FakePlatform pc;
    QtUi ui(pc);
    const std::string text =
        "The VoxHarbor directory and associated files were not found.  Please re-install the application.";
    // OK only; Esc answers OK.
    AnswerBox(QString::fromStdString(text), [](QMessageBox* box) {
        EXPECT_EQ(ButtonTexts(box), QStringList{QStringLiteral("OK")});
        Key(box, Qt::Key_Escape);
    });
    EXPECT_EQ(ui.MessageBox(nullptr, text, MB_OK), IDOK);

    // Yes/No: Esc and the close box do nothing; No answers IDNO.
    AnswerBox(QStringLiteral("Continue?"), [](QMessageBox* box) {
        EXPECT_EQ(ButtonTexts(box), (QStringList{QStringLiteral("&No"), QStringLiteral("&Yes")}));
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
        Key(box, Qt::Key_Escape);
        box->close();
        EXPECT_TRUE(box->isVisible());
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(ui.MessageBox(nullptr, "Continue?", MB_YESNO), IDNO);
    AnswerBox(QStringLiteral("Continue?"), [](QMessageBox* box) { Key(box, Qt::Key_Return); });
    EXPECT_EQ(ui.MessageBox(nullptr, "Continue?", MB_YESNO), IDYES);

    // Yes/No/Cancel: Esc is Cancel.
    AnswerBox(QStringLiteral("Restore the prompts?"), [](QMessageBox* box) {
        EXPECT_EQ(box->buttons().size(), 3);
        Key(box, Qt::Key_Escape);
    });
    EXPECT_EQ(ui.MessageBox(nullptr, "Restore the prompts?", MB_YESNOCANCEL), IDCANCEL);
    AnswerBox(QStringLiteral("Restore the prompts?"),
              [](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
    EXPECT_EQ(ui.MessageBox(nullptr, "Restore the prompts?", MB_YESNOCANCEL), IDNO);
}

// A path longer than a line wraps inside the box, which fits the screen; the text is the
// program's own, with breaks that do not show.
TEST(MessageBoxes, LongPathWrapsInsideTheBox) {
    const QString text = QStringLiteral("The backup file C:\\ZEL\\VoxHarbor\\Backup\\") +
                         QString(251, QLatin1Char('B')) +
                         QStringLiteral(".vhb could not be created (error 206). The backup is not complete.");
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(nullptr, text.toStdString(), MB_OK);
    box->show();
    QApplication::processEvents();
    const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    ASSERT_NE(label, nullptr);
    // The narrowest the label can be (its longest unbreakable run) fits its width.
    EXPECT_LE(label->minimumSizeHint().width(), label->width());
    EXPECT_LE(label->heightForWidth(label->width()), label->height());
    EXPECT_LE(box->frameGeometry().width(), box->screen()->availableGeometry().width());
    EXPECT_EQ(QString(box->text()).remove(ZeroWidthSpace), text);
    EXPECT_EQ(WithBreaksInLongWords(QStringLiteral("Backup Complete.")), QStringLiteral("Backup Complete."));
}

// A message box asked during an operation shows the arrow although the wait cursor is on; the
// wait cursor comes back after it, and the cursor stack is balanced at the end.
TEST(WaitCursor, BalancedAndSuspendedWhileAsking) {
    FakePlatform pc;
    QtUi ui(pc);
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    ui.BeginWaitCursor();
    ui.BeginWaitCursor();
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    AnswerBox(QStringLiteral("Backup Complete."), [](QMessageBox* box) {
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::ArrowCursor);
        Key(box, Qt::Key_Return);
    });
    ui.MessageBox(nullptr, "Backup Complete.", MB_OK);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    ui.EndWaitCursor();
    ui.EndWaitCursor();
    ui.EndWaitCursor(); // one too many: ignored
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(ui.WaitCursorDepth(), 0);
}

class FileDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        // Each test starts as on a new machine: no column widths or folders kept by a dialog before.
        QSettings(QSettings::UserScope, QStringLiteral("QtProject")).remove(QStringLiteral("FileDialog"));
        ASSERT_TRUE(temp.isValid());
        ASSERT_TRUE(QDir(temp.path()).mkpath(QStringLiteral("ZEL/VoxHarbor/Backup")));
    }
    QString Backup() const { return temp.path() + QStringLiteral("/ZEL/VoxHarbor/Backup"); }
    QTemporaryDir temp;
};

TEST_F(FileDialogs, OverwritePromptOnlyWhenAskedAndCancelReturnsFalse) {
    FakePlatform pc;
    QtUi ui(pc);
    FileDialogRequest request;
    request.filterDescription = "VoxHarbor Greeting & Data Files (*.vhb)";
    request.filterPattern = "*.vhb";
    request.defaultExt = "vhb";
    request.flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    OnModal(QStringLiteral("saveDialog"), [&](QWidget* w) {
        auto* dialog = static_cast<QFileDialog*>(w);
        EXPECT_FALSE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
        static_cast<QDialog*>(dialog)->reject();
    });
    EXPECT_EQ(ui.GetSaveFileName(nullptr, request), FALSE);

    request.flags = OFN_HIDEREADONLY; // without the prompt an existing file is taken as it is
    QFile existing(Backup() + QStringLiteral("/old.vhb"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    OnModal(QStringLiteral("saveDialog"), [&](QWidget* w) {
        auto* dialog = static_cast<QFileDialog*>(w);
        EXPECT_TRUE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
        dialog->setDirectory(Backup());
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("old"));
        AcceptExpectingClose(dialog);
    });
    ASSERT_EQ(ui.GetSaveFileName(nullptr, request), TRUE);
    EXPECT_EQ(QDir(QString::fromStdString(request.path)).canonicalPath(),
              QDir(Backup() + QStringLiteral("/old.vhb")).canonicalPath());
}

// The file services find a name in any case: a name typed in another case is the file they
// would replace, so the dialog asks first; No keeps it open.
TEST_F(FileDialogs, ReplacingAFileOfTheNameInAnyCaseIsAskedFirst) {
    std::string error;
    // A simulated PC whose card E: is the temporary folder.
    QTemporaryDir pcFolder;
    platform::SimPcDescription description;
    platform::SimDriveConfig card;
    card.letter = 'E';
    card.folder = temp.path().toStdString();
    description.drives = {card};
    ASSERT_TRUE(platform::CreateSimulatedPcFolder(pcFolder.path().toStdString(), description, &error))
        << error;
    const auto pc = platform::OpenSimulatedPc(pcFolder.path().toStdString(), &error);
    ASSERT_NE(pc, nullptr) << error;
    QtUi ui(*pc);
    FileDialogRequest request;
    request.filterPattern = "*.vhb";
    request.defaultExt = "vhb";
    request.flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    QFile existing(Backup() + QStringLiteral("/SiteA.vhb"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    OnModal(QStringLiteral("saveDialog"), [&](QWidget* w) {
        auto* dialog = static_cast<QFileDialog*>(w);
        dialog->setDirectory(Backup());
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("sitea"));
        QString asked;
        const auto answer = [&asked](QMessageBox::StandardButton button) {
            OnModal(QString(), [&asked, button](QWidget* box) {
                asked = static_cast<QMessageBox*>(box)->text();
                static_cast<QMessageBox*>(box)->button(button)->click();
            });
        };
        answer(QMessageBox::No);
        static_cast<QDialog*>(dialog)->accept();
        EXPECT_EQ(asked, QStringLiteral("SiteA.vhb already exists.\nDo you want to replace it?"));
        EXPECT_TRUE(dialog->isVisible()) << "No must keep the dialog open";
        answer(QMessageBox::Yes);
        AcceptExpectingClose(dialog);
    });
    ASSERT_EQ(ui.GetSaveFileName(nullptr, request), TRUE);
    EXPECT_EQ(request.path, "E:\\ZEL\\VoxHarbor\\Backup\\sitea.vhb");
}

// The save dialog fits the screen and shows each file's size, type and date whole.
TEST_F(FileDialogs, FitTheScreenAndShowEveryColumnWhole) {
    FakePlatform pc;
    QtUi ui(pc);
    QFile backup(Backup() + QStringLiteral("/FRIDAY.vhb"));
    ASSERT_TRUE(backup.open(QIODevice::WriteOnly));
    backup.write(QByteArray(163840, 'x'));
    backup.close();
    FileDialogRequest request;
    request.filterPattern = "*.vhb";
    OnModal(QStringLiteral("saveDialog"), [&](QWidget* w) {
        auto* dialog = static_cast<QFileDialog*>(w);
        dialog->setDirectory(Backup());
        auto* details = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
        ASSERT_NE(details, nullptr);
        ASSERT_TRUE(WaitFor([&] { return details->model()->rowCount(details->rootIndex()) == 1; }));
        QApplication::processEvents();
        for (int column = 1; column < 4; ++column) {
            EXPECT_GE(details->header()->sectionSize(column),
                      static_cast<QAbstractItemView*>(details)->sizeHintForColumn(column))
                << "column " << column;
        }
        EXPECT_TRUE(dialog->screen()->availableGeometry().contains(dialog->frameGeometry()));
        static_cast<QDialog*>(dialog)->reject();
    });
    EXPECT_EQ(ui.GetSaveFileName(nullptr, request), FALSE);
}

TEST_F(FileDialogs, OpenTakesOnlyAnExistingFile) {
    FakePlatform pc;
    QtUi ui(pc);
    FileDialogRequest request;
    request.filterDescription = "ZEL VoxHarbor Greeting & Data Files (*.vhp)";
    request.filterPattern = "*.vhp";
    request.fileName = "*.vhp";
    request.flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST;
    QFile update(Backup() + QStringLiteral("/PromptUpdateVer1_2.vhp"));
    ASSERT_TRUE(update.open(QIODevice::WriteOnly));
    update.close();
    OnModal(QStringLiteral("openDialog"), [&](QWidget* w) {
        auto* dialog = static_cast<QFileDialog*>(w);
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
        dialog->setDirectory(Backup());
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        name->setText(QStringLiteral("missing.vhp"));
        bool warned = false;
        OnModal(QString(), [&](QWidget* box) {
            warned = qobject_cast<QMessageBox*>(box) != nullptr;
            box->close();
        });
        static_cast<QDialog*>(dialog)->accept();
        EXPECT_TRUE(warned);
        EXPECT_TRUE(dialog->isVisible()) << "a missing file was taken";
        name->setText(QStringLiteral("PromptUpdateVer1_2.vhp"));
        AcceptExpectingClose(dialog);
    });
    ASSERT_EQ(ui.GetOpenFileName(nullptr, request), TRUE);
    EXPECT_EQ(QFileInfo(QString::fromStdString(request.path)).fileName(),
              QStringLiteral("PromptUpdateVer1_2.vhp"));
}

// The format dialog: FAT preselected, Start asks first, formats through the platform, tells the
// outcome and stays open until Close; the rest of the program stays usable meanwhile.
TEST(FormatDialogTest, StartConfirmsFormatsReportsAndStaysOpen) {
    FakePlatform pc;
    QtUi ui(pc);
    pc.volumes.label = "OLDCARD";
    QStringList outcomes;
    OnWindow(QStringLiteral("formatDialog"), [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), QStringLiteral("Format Removable Disk (E:)"));
        EXPECT_FALSE(w->isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        auto* fs = w->findChild<QComboBox*>(QStringLiteral("fileSystem"));
        EXPECT_EQ(fs->currentText(), QStringLiteral("FAT"));
        EXPECT_EQ(w->findChild<QLineEdit*>(QStringLiteral("volumeLabel"))->text(), QStringLiteral("OLDCARD"));
        w->findChild<QLineEdit*>(QStringLiteral("volumeLabel"))->setText(QStringLiteral("VOXCARD"));
        auto* start = w->findChild<QPushButton*>(QStringLiteral("start"));
        // Cancel at the warning: nothing is formatted.
        OnModal(QString(),
                [&](QWidget* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::Cancel)->click(); });
        start->click();
        EXPECT_TRUE(pc.volumes.formats.empty());
        // OK at the warning, then the outcome is recorded and answered.
        auto startConfirmed = [&] {
            OnModal(QString(), [&](QWidget* box) {
                static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
                OnModal(QString(), [&](QWidget* result) {
                    outcomes.push_back(static_cast<QMessageBox*>(result)->text());
                    static_cast<QMessageBox*>(result)->accept();
                });
            });
            start->click();
        };
        startConfirmed();
        ASSERT_EQ(pc.volumes.formats.size(), 1u);
        EXPECT_TRUE(w->isVisible());
        // A failing format says so.
        pc.volumes.formatResult = ERROR_NOT_READY;
        startConfirmed();
        // Another card put into the drive while the dialog is open is not the one shown: refused.
        pc.volumes.formatResult = ERROR_SUCCESS;
        pc.volumes.serial = 0x5EA2CA2D;
        startConfirmed();
        w->findChild<QPushButton*>(QStringLiteral("close"))->click();
    });
    ui.FormatDriveDialog(4, pc.volumes);
    ASSERT_EQ(pc.volumes.formats.size(), 2u);
    EXPECT_EQ(pc.volumes.formats[0].first, 4u);
    EXPECT_EQ(pc.volumes.formats[0].second.fileSystem, FormatRequest::FileSystemKind::Fat);
    EXPECT_EQ(pc.volumes.formats[0].second.label, "VOXCARD");
    ASSERT_EQ(outcomes.size(), 3);
    EXPECT_EQ(outcomes[0], QStringLiteral("Format Complete."));
    EXPECT_TRUE(outcomes[1].startsWith(QStringLiteral("The format could not be completed.")));
    EXPECT_TRUE(outcomes[2].startsWith(QStringLiteral("The card in the drive has been replaced")));
}

// Device changes reach the main window's WindowProc from the event loop. A command to the main
// dialog runs on its own thread: the window's events go on meanwhile, user input to it is dropped
// rather than kept for later (with a wait cursor once that lasts), and a device change waits
// until the command shows a box.
TEST(Commands, WindowLivesInputIsDroppedDeviceChangesWaitForABox) {
    FakePlatform pc;
    QtUi ui(pc);
    ui.SetDevicePollInterval(10);
    RecordingDialog main(ui, resources::GetDialogTemplate(resources::IDD_CARDUTILITY_DIALOG));
    ui.SetMainWindow(&main);
    bool changeBeforeBox = true;
    main.onCommand[1014] = [&] {
        pc.devices.pending = {DBT_DEVICEARRIVAL};
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // long enough for a wait cursor
        ui.BeginWaitCursor();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        changeBeforeBox = main.Received(WM_DEVICECHANGE, DBT_DEVICEARRIVAL);
        ui.EndWaitCursor();
        ui.MessageBox(&main, "Backup Complete.", MB_OK);
    };
    OnModal(QStringLiteral("dialog147"), [&](QWidget* w) {
        pc.devices.pending = {DBT_DEVICEREMOVECOMPLETE};
        EXPECT_TRUE(WaitFor([&] { return main.Received(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE); }));
        int ticks = 0;
        bool busyCursorOfItsOwn = false;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            ++ticks;
            const QCursor* cursor = QApplication::overrideCursor();
            busyCursorOfItsOwn =
                busyCursorOfItsOwn ||
                (cursor != nullptr && cursor->shape() == Qt::WaitCursor && ui.WaitCursorDepth() == 0);
        });
        ticker.start(10);
        QTimer::singleShot(100, [&] { QTest::keyClick(w->focusWidget(), Qt::Key_Escape); });
        // Nor does anything that is not input reach the logic beside the busy command.
        QTimer::singleShot(150, [&] { static_cast<QDialog*>(w)->reject(); });
        AnswerBox(QStringLiteral("Backup Complete."), [&](QMessageBox* box) {
            EXPECT_TRUE(WaitFor([&] { return main.Received(WM_DEVICECHANGE, DBT_DEVICEARRIVAL); }));
            box->accept();
        });
        static_cast<QPushButton*>(w->findChild<QWidget*>(QStringLiteral("id1014")))->click();
        EXPECT_GE(ticks, 10);
        EXPECT_FALSE(changeBeforeBox);
        EXPECT_FALSE(main.Received(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED))); // the Esc, the reject
        EXPECT_EQ(ui.WaitCursorDepth(), 0);
        EXPECT_TRUE(busyCursorOfItsOwn); // the held window showed why
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        static_cast<QDialog*>(w)->close();
    });
    main.DoModal();
    ui.SetMainWindow(nullptr);
}
