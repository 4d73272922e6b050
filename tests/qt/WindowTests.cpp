// The windows built from the templates: geometry, ids, visibility, focus and the keyboard.
#include "platform/qt/DialogUnits.h"
#include "platform/qt/DialogWindow.h"
#include "platform/qt/QtUi.h"
#include "resources/Resources.h"
#include "tests/qt/QtTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::qt;
using namespace fkqt;

namespace {

constexpr BaseUnits Classic{6, 13};

QWidget* Child(QDialog* window, int id) {
    return window->findChild<QWidget*>(QStringLiteral("id%1").arg(id));
}

} // namespace

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZeroLikeWindows) {
    EXPECT_EQ(MulDiv(45, 6, 4), 68);  // 67.5
    EXPECT_EQ(MulDiv(14, 13, 8), 23); // 22.75
    EXPECT_EQ(MulDiv(8, 13, 8), 13);
    EXPECT_EQ(MulDiv(-45, 6, 4), -68);
    EXPECT_EQ(MulDiv(1, 1, 0), -1);
}

// Every control of template 147 at its pixel rectangle, with its id and visibility; a button's
// bitmap; focus and tab order as the template orders the tab stops; Esc cancels.
TEST(MainTemplate, ControlsAtTheirRectanglesFocusAndTabOrder) {
    FakePlatform pc;
    QtUi ui(pc, Classic);
    RecordingDialog dlg(ui, resources::GetDialogTemplate(resources::IDD_CARDUTILITY_DIALOG));
    dlg.onInit = [](RecordingDialog& d) { d.ButtonItem(1014).SetBitmap(resources::IDB_BACKUP); };
    const DialogTemplate& t = dlg.Template();
    OnModal(QStringLiteral("dialog147"), [&](QWidget* w) {
        auto* window = static_cast<DialogWindow*>(w);
        EXPECT_EQ(window->size(), QSize(473, 345)); // 315 x 212 dialog units
        EXPECT_FALSE(static_cast<QPushButton*>(Child(window, 1014))->icon().isNull());
        for (std::size_t i = 0; i < t.controls.size(); ++i) {
            const ControlTemplate& c = t.controls[i];
            QWidget* widget = window->ControlWidget(i);
            SCOPED_TRACE(c.id == -1 ? c.text : std::to_string(c.id));
            const QRect expected = MapDialogRect(c.x, c.y, c.cx, c.cy, Classic);
            if (c.kind == ControlKind::ComboBox) {
                // The template height is the dropped list's.
                EXPECT_EQ(widget->pos(), expected.topLeft());
                EXPECT_EQ(widget->width(), expected.width());
            } else if (c.kind == ControlKind::Label && c.cy == 8) {
                // A one-line label may grow to the right to show all of its text.
                EXPECT_EQ(widget->pos(), expected.topLeft());
                EXPECT_EQ(widget->height(), expected.height());
                EXPECT_GE(widget->width(), expected.width());
                EXPECT_GE(widget->width(),
                          widget->fontMetrics().horizontalAdvance(QString::fromStdString(c.text)));
            } else {
                EXPECT_EQ(widget->geometry(), expected);
            }
            EXPECT_EQ(widget->isVisible(), !c.hidden);
            if (c.id != -1) {
                EXPECT_EQ(Child(window, c.id), widget);
            }
        }
        EXPECT_EQ(static_cast<QLineEdit*>(Child(window, 1064))->alignment() & Qt::AlignHCenter,
                  Qt::AlignHCenter);
        EXPECT_TRUE(static_cast<QLineEdit*>(Child(window, 1066))->isReadOnly());
        for (int id : {1014, 1016, 1005, 1017, 1025, 1}) {
            EXPECT_FALSE(static_cast<QPushButton*>(Child(window, id))->isDefault()) << id;
        }

        // A click at a button's place on the screen reaches the button, not the group box
        // around it or a label beside it.
        for (int id : {1025, 1014, 1016, 1005, 1017}) {
            QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                              Child(window, id)->geometry().center());
            EXPECT_TRUE(dlg.Received(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED))) << id;
        }
        for (int id : {1066, 1067}) { // read-only fields take a click too (focus only)
            EXPECT_EQ(window->childAt(Child(window, id)->geometry().center()), Child(window, id)) << id;
        }
        Child(window, 1014)->setFocus();

        const std::vector<int> tabOrder{1014, 1016, 1005, 1017, 1025, 1014};
        EXPECT_EQ(QApplication::focusWidget(), Child(window, 1014));
        for (std::size_t i = 1; i < tabOrder.size(); ++i) {
            Key(window, Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), Child(window, tabOrder[i])) << "after tab " << i;
        }
        Key(window, Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.Received(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)));
    EXPECT_EQ(ui.WindowOf(dlg), nullptr);
}

// Alt+Space opens the system menu. Enter goes to the focused push button; elsewhere (a
// read-only field clicked into) it is the hidden Exit command, IDOK, which ends the dialog.
TEST(MainTemplate, EnterPressesTheFocusedButtonElseExit) {
    FakePlatform pc;
    QtUi ui(pc, Classic);
    RecordingDialog dlg(ui, resources::GetDialogTemplate(resources::IDD_CARDUTILITY_DIALOG));
    int backupClicks = 0;
    dlg.onCommand[1014] = [&] { ++backupClicks; };
    OnModal(QStringLiteral("dialog147"), [&](QWidget* w) {
        auto* window = static_cast<QDialog*>(w);
        bool menuShown = false;
        OnWindow(QStringLiteral("systemMenu"), [&menuShown](QWidget* menu) {
            menuShown = true;
            menu->close();
        });
        Key(window, Qt::Key_Space, Qt::AltModifier);
        EXPECT_TRUE(menuShown);
        Key(window, Qt::Key_Return);
        EXPECT_EQ(backupClicks, 1);
        EXPECT_TRUE(ui.WindowOf(dlg)->isVisible());
        QTest::mouseClick(Child(window, 1066), Qt::LeftButton);
        EXPECT_EQ(QApplication::focusWidget(), Child(window, 1066));
        Key(window, Qt::Key_Enter, Qt::KeypadModifier);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(dlg.Received(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)));
}

// Template 148: OK is the default button, so Enter in the list is OK; choosing an item goes
// through the model and CBN_SELCHANGE.
TEST(DriveSelectionTemplate, ChoosingAnItemAndEnter) {
    FakePlatform pc;
    QtUi ui(pc, Classic);
    RecordingDialog dlg(ui, resources::GetDialogTemplate(resources::IDD_DRIVESELECTION));
    dlg.onInit = [](RecordingDialog& d) {
        d.ComboItem(1018).AddString("VOXCARD (E:)");
        d.ComboItem(1018).AddString("Removable Disk (G:)");
        d.ComboItem(1018).SetCurSel(0);
    };
    OnModal(QStringLiteral("dialog148"), [&](QWidget* w) {
        auto* window = static_cast<QDialog*>(w);
        auto* combo = static_cast<QComboBox*>(Child(window, 1018));
        EXPECT_EQ(combo->count(), 2);
        EXPECT_EQ(combo->currentText(), QStringLiteral("VOXCARD (E:)"));
        EXPECT_EQ(QApplication::focusWidget(), combo);
        EXPECT_TRUE(static_cast<QPushButton*>(Child(window, IDOK))->isDefault());
        EXPECT_FALSE(static_cast<QPushButton*>(Child(window, IDCANCEL))->isDefault());
        Key(window, Qt::Key_Down);
        EXPECT_EQ(dlg.ComboItem(1018).GetCurSel(), 1);
        EXPECT_TRUE(dlg.Received(WM_COMMAND, MAKEWPARAM(1018, CBN_SELCHANGE)));
        Key(window, Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
}

TEST(AboutTemplate, IconVersionAndDefaultOk) {
    FakePlatform pc;
    QtUi ui(pc, Classic);
    RecordingDialog dlg(ui, resources::GetDialogTemplate(resources::IDD_ABOUTBOX));
    OnModal(QStringLiteral("dialog100"), [&](QWidget* w) {
        auto* window = static_cast<QDialog*>(w);
        EXPECT_FALSE(window->windowIcon().isNull());
        bool versionShown = false;
        for (QLabel* label : window->findChildren<QLabel*>()) {
            versionShown = versionShown || label->text() == QStringLiteral("Version 1.2");
        }
        EXPECT_TRUE(versionShown);
        EXPECT_TRUE(static_cast<QPushButton*>(Child(window, IDOK))->isDefault());
        Key(window, Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
}

// In the fonts the program uses (not fixed base units), every label's text fits its rectangle:
// wrapped where the label has room for more than one line, on one line otherwise.
TEST(Labels, EveryTextFitsItsRectangleInTheDialogFont) {
    FakePlatform pc;
    QtUi ui(pc);
    int checked = 0;
    for (const int id :
         {resources::IDD_CARDUTILITY_DIALOG, resources::IDD_DRIVESELECTION, resources::IDD_ABOUTBOX}) {
        RecordingDialog dlg(ui, resources::GetDialogTemplate(id));
        OnModal(QStringLiteral("dialog%1").arg(id), [&](QWidget* w) {
            for (QLabel* label : w->findChildren<QLabel*>()) {
                if (label->text().isEmpty() || label->isHidden()) {
                    continue;
                }
                const QRect room = label->contentsRect();
                const QRect needed = label->fontMetrics().boundingRect(
                    room, Qt::AlignLeft | Qt::AlignTop | (label->wordWrap() ? Qt::TextWordWrap : 0),
                    label->text());
                EXPECT_TRUE(room.contains(needed))
                    << label->text().toStdString() << " needs " << needed.width() << "x" << needed.height()
                    << " in " << room.width() << "x" << room.height();
                ++checked;
            }
            static_cast<QDialog*>(w)->reject();
        });
        dlg.DoModal();
    }
    EXPECT_EQ(checked, 9); // the main dialog's eight labels and the About box's version
}

// A dialog that ends during its initialisation is never shown and returns its result.
TEST(RunModal, DialogEndedDuringInitialisationIsNotShown) {
    FakePlatform pc;
    QtUi ui(pc, Classic);
    RecordingDialog dlg(ui, resources::GetDialogTemplate(resources::IDD_ABOUTBOX));
    bool shown = false;
    dlg.onInit = [&](RecordingDialog& d) {
        d.EndDialog(IDOK);
        // Anything that would show the window now must not.
        d.UpdateWindow();
        shown = ui.WindowOf(d) != nullptr && ui.WindowOf(d)->isVisible();
    };
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_FALSE(shown);
}

// Status bar along the bottom, parts at the edges the logic sets; the progress bar at its rect,
// shown at once by UpdateWindow without an event loop, and gone after ChildDestroyed.
class RunTimeChildren : public ::testing::TestWithParam<std::pair<int, std::pair<int, int>>> {};

TEST_P(RunTimeChildren, StatusBarPartsAndProgressBar) {
    const int width = GetParam().first;
    DialogTemplate t;
    t.id = 900;
    t.title = "children";
    t.cx = width;
    t.cy = 300;
    FakePlatform pc;
    QtUi ui(pc, BaseUnits{4, 8}); // one dialog unit is one pixel
    RecordingDialog dlg(ui, t);
    StatusBarControl bar(1068);
    ProgressBarControl progress(1068, Rect{width * 26 / 100, 285, width * 999 / 1000, 299});
    dlg.onInit = [&](RecordingDialog& d) {
        Rect r = d.GetClientRect();
        EXPECT_EQ(r.Width(), width);
        r.top = r.bottom - 25;
        bar.MarkCreated(1068, r);
        ASSERT_TRUE(ui.ChildCreated(d, bar));
        bar.SetMinHeight(25);
        bar.SetParts({width / 4, (width / 3) * 3});
        bar.SetText(0, "Ready");
    };
    OnModal(QStringLiteral("dialog900"), [&](QWidget* w) {
        auto* window = static_cast<DialogWindow*>(w);
        auto* barWidget = window->findChild<StatusBarWidget*>();
        ASSERT_NE(barWidget, nullptr);
        EXPECT_EQ(barWidget->geometry(), QRect(0, 300 - 25, width, 25));
        EXPECT_EQ(barWidget->PartRect(0).right() + 1, GetParam().second.first);
        EXPECT_EQ(barWidget->PartRect(1).left(), GetParam().second.first);
        EXPECT_EQ(barWidget->PartRect(1).right() + 1, GetParam().second.second);

        ASSERT_TRUE(ui.ChildCreated(dlg, progress));
        auto* progressWidget = window->findChild<QProgressBar*>();
        ASSERT_NE(progressWidget, nullptr);
        EXPECT_EQ(progressWidget->geometry().left(), width * 26 / 100);
        EXPECT_EQ(progressWidget->geometry().top(), 285);
        progress.SetStep(1);
        progress.StepIt();
        progress.StepIt();
        dlg.UpdateWindow();
        EXPECT_EQ(progressWidget->value(), 2);
        if (width == 400) {
            progress.SetPos(40);
            bar.SetText(1, "E:\\VM\\MSG\\0001.MSG");
            dlg.UpdateWindow();
            EXPECT_TRUE(window->grab().save(ScreenshotDir() + QStringLiteral("/status-and-progress.png")));
        }
        ui.ChildDestroyed(dlg, progress);
        EXPECT_EQ(window->findChild<QProgressBar*>(), nullptr);
        dlg.EndDialog(IDOK);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
}

INSTANTIATE_TEST_SUITE_P(ClientWidths, RunTimeChildren,
                         ::testing::Values(std::make_pair(400, std::make_pair(100, 399)),
                                           std::make_pair(401, std::make_pair(100, 399)),
                                           std::make_pair(402, std::make_pair(100, 402))));
