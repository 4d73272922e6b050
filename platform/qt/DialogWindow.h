// The window of one running dialog: a QDialog with a widget per template control at its pixel
// rectangle, the run-time children (status bar, progress bar), and the routing of user actions
// back to the dialog logic.
#pragma once

#include "platform/api/Dialog.h"
#include "platform/qt/DialogUnits.h"

#include <QDialog>
#include <QWidget>

#include <map>
#include <vector>

class QPushButton;

namespace platform::qt {

class QtUi;

// Status bar as a classic bordered bar of sunken parts; renders a StatusBarControl model.
class StatusBarWidget : public QWidget {
    Q_OBJECT
public:
    StatusBarWidget(const StatusBarControl& model, QWidget* parent);
    // Rectangle of part i in the bar's coordinates (empty for a part that does not exist).
    QRect PartRect(int part) const;
    // Copies the model's parts and texts for painting. Painting never reads the model itself:
    // an operation may be changing it on its own thread while the window repaints.
    void TakeModel();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const StatusBarControl& model_;
    std::vector<int> edges_;
    std::vector<QString> texts_;
};

class DialogWindow : public QDialog {
    Q_OBJECT
public:
    DialogWindow(Dialog& dlg, BaseUnits units, QtUi& ui, QWidget* parent);

    Dialog& Logic() { return dlg_; }
    // Widget of template control i (template order).
    QWidget* ControlWidget(std::size_t index) const { return widgets_.at(index); }

    // Shows every control model now.
    void Sync();
    // Gives the focus to the first visible tab stop, as a dialog does after its initialisation.
    void FocusFirstTabStop();
    // The dialog ended: close the window with its result.
    void EndFromModel(int result);

    bool AddChild(Control& control);
    void RemoveChild(Control& control);

    // Sends a message to the dialog logic, then syncs the windows with the models.
    void Route(UINT message, WPARAM wParam, LPARAM lParam = 0);
    // Opens the system menu at a global position.
    void ShowSystemMenu(const QPoint& globalPos);

    // Id of the push button that Enter activates: the focused push button, else the template's
    // default button, else IDOK.
    int EnterCommandId() const;

public slots:
    void accept() override;
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QWidget* CreateControl(const ControlTemplate& t, Control& model);
    void SyncControl(const ControlTemplate& t, Control& model, QWidget* widget);
    void SyncButtonImage(const ControlTemplate& t, const ButtonControl& model, QPushButton* button);

    Dialog& dlg_;
    BaseUnits units_;
    QtUi& ui_;
    std::vector<QWidget*> widgets_;
    std::map<Control*, QWidget*> children_;
    bool ending_ = false;
};

} // namespace platform::qt
