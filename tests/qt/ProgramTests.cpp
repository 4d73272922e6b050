// The real program in the Qt view on the demo PC: a technician's session driven by clicks and
// keys, with the file dialog and the questions answered here. Screenshots of the windows go to
// <build>/screenshots for review.
#include "app/flashkeeper3dlg.h"
#include "platform/qt/QtUi.h"
#include "platform/sim/SimulatedPc.h"
#include "tests/qt/QtTestSupport.h"
#include "tools/simpc/DemoPc.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::qt;
using fkqt::Key;
using fkqt::OnModal;
using fkqt::OnWindow;

namespace {

void Shoot(QWidget* window, const QString& name) {
    const QString path = fkqt::ScreenshotDir() + QLatin1Char('/') + name + QStringLiteral(".png");
    EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
}

QString Field(QWidget* window, int id) {
    return static_cast<QLineEdit*>(window->findChild<QWidget*>(QStringLiteral("id%1").arg(id)))->text();
}

QPushButton* Button(QWidget* window, int id) {
    return static_cast<QPushButton*>(window->findChild<QWidget*>(QStringLiteral("id%1").arg(id)));
}

class DemoPc : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        folder = temp.path().toStdString() + "/pc";
        std::string warning;
        std::string error;
        ASSERT_TRUE(simpc::CreateDemoPc(folder, FK_INSTALLATION_DIR "/PromptUpdateVer1_2.vhp",
                                        FK_INSTALLATION_DIR "/InitializedFileStruct.vhb", &warning, &error))
            << error;
        EXPECT_EQ(warning, "");
        pc = OpenSimulatedPc(folder, &error);
        ASSERT_NE(pc, nullptr) << error;
    }
    QTemporaryDir temp;
    std::string folder;
    std::unique_ptr<SimulatedPc> pc;
};

} // namespace

// Select the demo card, back it up through the save dialog, restore it through the open
// dialog, look at the About box, and leave with Esc. Every step goes through the widgets.
TEST_F(DemoPc, SelectBackUpRestoreAboutAndExitByMouseAndKeyboard) {
    QtUi ui(*pc);
    CardUtilityDialog dlg(ui, *pc);
    ui.SetMainWindow(&dlg);
    QString backupHostPath;
    OnModal(QStringLiteral("dialog147"), [&](QWidget* window) {
        EXPECT_EQ(Field(window, ControlId::Status), QStringLiteral("Card Not Selected"));
        EXPECT_EQ(Field(window, ControlId::Device), QString());
        EXPECT_FALSE(Button(window, ControlId::Backup)->icon().isNull()); // its bitmap

        // Select: the selection dialog lists the card; Enter takes it.
        OnModal(QStringLiteral("dialog148"), [&](QWidget* selection) {
            auto* list = selection->findChild<QComboBox*>(QStringLiteral("id1018"));
            ASSERT_GE(list->count(), 1);
            EXPECT_EQ(list->itemText(0), QStringLiteral("VOXCARD (E:)"));
            Shoot(selection, QStringLiteral("selection"));
            Key(selection, Qt::Key_Return);
        });
        QTest::mouseClick(Button(window, ControlId::Select), Qt::LeftButton);
        EXPECT_EQ(Field(window, ControlId::Device), QStringLiteral("VOXCARD (E:)"));
        EXPECT_NE(Field(window, ControlId::Status), QStringLiteral("Card Not Selected"));
        EXPECT_NE(Field(window, ControlId::Type), QString());
        Shoot(window, QStringLiteral("main"));

        // Backup: the save dialog opens in the Backup folder; the answer is typed there.
        OnModal(QStringLiteral("saveDialog"), [&](QWidget* w) {
            auto* save = static_cast<QFileDialog*>(w);
            EXPECT_EQ(QFileInfo(save->directory().absolutePath()).fileName().toLower(),
                      QStringLiteral("backup"));
            backupHostPath = save->directory().absolutePath() + QStringLiteral("/monday.vhb");
            save->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("monday"));
            OnModal(QStringLiteral("messageBox"), [&](QWidget* box) {
                EXPECT_EQ(static_cast<QMessageBox*>(box)->text(), QStringLiteral("Backup Complete."));
                EXPECT_EQ(box->windowTitle(), QStringLiteral("flashkeeper3"));
                Shoot(box, QStringLiteral("message"));
                Key(box, Qt::Key_Return);
            });
            static_cast<QDialog*>(save)->accept();
        });
        Button(window, ControlId::Backup)->setFocus();
        Key(window, Qt::Key_Space); // the focused button pressed by the keyboard
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(dlg.statusBar.GetText(0), "Ready");

        // Restore it: the open dialog takes the file just written; the versions are equal, so
        // no question comes before "Restore Complete.".
        QString restoreAnswer;
        OnModal(QStringLiteral("openDialog"), [&](QWidget* w) {
            auto* open = static_cast<QFileDialog*>(w);
            open->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                ->setText(QStringLiteral("monday.vhb"));
            OnModal(QStringLiteral("messageBox"), [&](QWidget* box) {
                restoreAnswer = static_cast<QMessageBox*>(box)->text();
                Key(box, Qt::Key_Return);
            });
            static_cast<QDialog*>(open)->accept();
        });
        QTest::mouseClick(Button(window, ControlId::Restore), Qt::LeftButton);
        EXPECT_EQ(restoreAnswer, QStringLiteral("Restore Complete."));
        EXPECT_TRUE(Field(window, ControlId::PromptVersion).startsWith(QStringLiteral("1.10")));
        EXPECT_EQ(window->findChild<QProgressBar*>(), nullptr); // gone after the extraction

        // About from the system menu, then back to the unchanged main dialog.
        OnWindow(QStringLiteral("systemMenu"), [&](QWidget* m) {
            auto* menu = static_cast<QMenu*>(m);
            OnModal(QStringLiteral("dialog100"), [&](QWidget* about) {
                Shoot(about, QStringLiteral("about"));
                Key(about, Qt::Key_Escape);
            });
            menu->actions().back()->trigger();
            menu->close();
        });
        Key(window, Qt::Key_Space, Qt::AltModifier);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(Field(window, ControlId::Device), QStringLiteral("VOXCARD (E:)"));

        Key(window, Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    ui.SetMainWindow(nullptr);
    ASSERT_FALSE(backupHostPath.isEmpty());
    const QFileInfo archive(backupHostPath);
    ASSERT_TRUE(archive.exists()) << backupHostPath.toStdString();
    EXPECT_GT(archive.size(), 1024);
    EXPECT_EQ(archive.size() % 1024, 0);
}
