#include "platform/qt/DialogWindow.h"

#include "platform/qt/Artwork.h"
#include "platform/qt/QtUi.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <qdrawutil.h>

namespace platform::qt {

namespace {

constexpr int StatusBarHeight = 25;
const char* const ControlIdProperty = "fkControlId";

QString ToQ(const std::string& text) {
    return QString::fromStdString(text);
}

// Part of the picture above the caption, used when the button shows its text beside it.
QPixmap PictureWithoutCaption(const QPixmap& bitmap) {
    return bitmap.copy(QRect(5, 0, 32, 32));
}

} // namespace

StatusBarWidget::StatusBarWidget(const StatusBarControl& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("statusBar"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    TakeModel();
}

void StatusBarWidget::TakeModel() {
    edges_ = model_.Parts();
    texts_.clear();
    for (std::size_t i = 0; i < edges_.size(); ++i) {
        texts_.push_back(QString::fromStdString(model_.GetText(static_cast<int>(i))));
    }
    update();
}

QRect StatusBarWidget::PartRect(int part) const {
    if (part < 0 || static_cast<std::size_t>(part) >= edges_.size()) {
        return {};
    }
    // A part runs from the previous part's edge to its own right edge; -1 runs to the end.
    const auto i = static_cast<std::size_t>(part);
    const int left = i == 0 ? 0 : edges_[i - 1];
    const int right = edges_[i] < 0 ? width() : edges_[i];
    return QRect(QPoint(left, 2), QPoint(right - 1, height() - 1));
}

void StatusBarWidget::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    // The bar's own border: a line that parts it from the dialog above.
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(0, 1, width() - 1, 1);
    const int parts = static_cast<int>(edges_.size());
    for (int i = 0; i < parts; ++i) {
        QRect r = PartRect(i);
        if (r.width() <= 2) {
            continue;
        }
        // Parts are separated by a 2-pixel gap, as the classic bar draws them.
        r.adjust(i == 0 ? 0 : 2, 1, 0, -1);
        qDrawShadePanel(&painter, r, palette(), true, 1);
        const QString& text = texts_[static_cast<std::size_t>(i)];
        if (!text.isEmpty()) {
            painter.setPen(palette().color(QPalette::WindowText));
            const QRect textRect = r.adjusted(4, 1, -3, -1);
            painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                             fontMetrics().elidedText(text, Qt::ElideRight, textRect.width()));
        }
    }
}

DialogWindow::DialogWindow(Dialog& dlg, BaseUnits units, QtUi& ui, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      dlg_(dlg), units_(units), ui_(ui) {
    const DialogTemplate& t = dlg.Template();
    setObjectName(QStringLiteral("dialog%1").arg(t.id));
    setWindowTitle(ToQ(t.title));
    setFont(DialogFont(t.fontName, t.fontPoints));
    setFixedSize(DialogClientSize(t, units));
    setSizeGripEnabled(false);

    const std::vector<Control*>& models = dlg.Controls();
    widgets_.reserve(models.size());
    for (std::size_t i = 0; i < t.controls.size() && i < models.size(); ++i) {
        widgets_.push_back(CreateControl(t.controls[i], *models[i]));
    }
    // Frames go to the bottom of the stack: a group box made after the controls it surrounds
    // would otherwise lie above them. Tab order is the template order of the tab stops.
    QWidget* previous = nullptr;
    for (std::size_t i = 0; i < widgets_.size(); ++i) {
        if (t.controls[i].kind == ControlKind::GroupBox) {
            widgets_[i]->lower();
        }
        if (t.controls[i].tabStop) {
            if (previous != nullptr) {
                setTabOrder(previous, widgets_[i]);
            }
            previous = widgets_[i];
        }
    }

    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(menuKey, &QShortcut::activated, this, [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
    Sync();
}

QWidget* DialogWindow::CreateControl(const ControlTemplate& t, Control& model) {
    const QRect geometry = MapDialogRect(t.x, t.y, t.cx, t.cy, units_);
    QWidget* widget = nullptr;
    switch (t.kind) {
    case ControlKind::GroupBox:
        widget = new QGroupBox(ToQ(t.text), this);
        widget->setFocusPolicy(Qt::NoFocus);
        // A group box only frames: a click inside it reaches the control beneath, as a
        // Windows group box is transparent to the mouse.
        widget->setAttribute(Qt::WA_TransparentForMouseEvents);
        break;
    case ControlKind::Label: {
        auto* label = new QLabel(ToQ(t.text), this);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        // Static text never takes the mouse (a right click still opens the system menu).
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        widget = label;
        break;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(t.readOnly);
        edit->setAlignment(t.centered ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignVCenter));
        // Read-only edits have the face colour of the dialog, as classic ones do.
        if (t.readOnly) {
            QPalette p = edit->palette();
            p.setColor(QPalette::Base, p.color(QPalette::Window));
            edit->setPalette(p);
        }
        edit->setFocusPolicy(t.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        widget = edit;
        break;
    }
    case ControlKind::PushButton: {
        auto* button = new QPushButton(ToQ(t.text), this);
        button->setAutoDefault(false); // Enter is dispatched by the dialog (EnterCommandId)
        button->setDefault(t.defaultButton);
        button->setFocusPolicy(t.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        connect(button, &QPushButton::clicked, this,
                [this, id = t.id] { Route(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED)); });
        widget = button;
        break;
    }
    case ControlKind::ComboBox: {
        auto* combo = new QComboBox(this);
        combo->setFocusPolicy(t.tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        // The template height is the dropped list's; the closed box has the font's height.
        const int itemHeight = combo->fontMetrics().height() + 2;
        combo->setMaxVisibleItems(std::max(1, (geometry.height() - combo->sizeHint().height()) / itemHeight));
        auto* comboModel = static_cast<ComboBoxControl*>(&model);
        connect(combo, &QComboBox::activated, this, [this, comboModel, id = t.id](int index) {
            comboModel->SetCurSel(index);
            Route(WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE));
        });
        combo->setGeometry(geometry.x(), geometry.y(), geometry.width(), combo->sizeHint().height());
        widget = combo;
        break;
    }
    case ControlKind::Icon: {
        auto* icon = new QLabel(this);
        // An icon control takes the icon's own size at its position.
        icon->setPixmap(ApplicationIcon().pixmap(32, 32));
        icon->setGeometry(geometry.x(), geometry.y(), 32, 32);
        icon->setFocusPolicy(Qt::NoFocus);
        icon->setAttribute(Qt::WA_TransparentForMouseEvents);
        widget = icon;
        break;
    }
    }
    if (t.kind == ControlKind::Label && geometry.height() < 2 * widget->fontMetrics().height()) {
        // A one-line label: our stand-in font may be a few pixels wider than the template's, so
        // the label grows to its text instead of wrapping it out of sight.
        auto* label = static_cast<QLabel*>(widget);
        label->setWordWrap(false);
        const int textWidth = label->fontMetrics().horizontalAdvance(label->text()) + 1;
        widget->setGeometry(
            QRect(geometry.topLeft(), QSize(std::max(geometry.width(), textWidth), geometry.height())));
    } else if (t.kind != ControlKind::ComboBox && t.kind != ControlKind::Icon) {
        widget->setGeometry(geometry);
    }
    if (t.id != -1) {
        widget->setObjectName(QStringLiteral("id%1").arg(t.id));
        widget->setProperty(ControlIdProperty, t.id);
    }
    widget->setHidden(!model.IsVisible());
    return widget;
}

void DialogWindow::Sync() {
    const DialogTemplate& t = dlg_.Template();
    const std::vector<Control*>& models = dlg_.Controls();
    for (std::size_t i = 0; i < widgets_.size(); ++i) {
        SyncControl(t.controls[i], *models[i], widgets_[i]);
    }
    for (auto& [control, widget] : children_) {
        if (auto* bar = dynamic_cast<StatusBarControl*>(control)) {
            const int h = std::max({StatusBarHeight, bar->MinHeight(), bar->CreatedRect().Height()});
            widget->setGeometry(0, height() - h, width(), h);
            static_cast<StatusBarWidget*>(widget)->TakeModel();
        } else if (auto* progressModel = dynamic_cast<ProgressBarControl*>(control)) {
            auto* progress = static_cast<QProgressBar*>(widget);
            if (progress->minimum() != progressModel->Lower() ||
                progress->maximum() != progressModel->Upper()) {
                progress->setRange(progressModel->Lower(), progressModel->Upper());
            }
            progress->setValue(
                std::clamp(progressModel->GetPos(), progressModel->Lower(), progressModel->Upper()));
        }
        widget->setHidden(!control->IsVisible());
    }
}

void DialogWindow::SyncControl(const ControlTemplate& t, Control& model, QWidget* widget) {
    if (widget->isHidden() == model.IsVisible()) {
        widget->setHidden(!model.IsVisible());
    }
    switch (t.kind) {
    case ControlKind::GroupBox: {
        auto* box = static_cast<QGroupBox*>(widget);
        const QString text = ToQ(static_cast<TextControl&>(model).GetWindowText());
        if (box->title() != text) {
            box->setTitle(text);
        }
        break;
    }
    case ControlKind::Label: {
        auto* label = static_cast<QLabel*>(widget);
        const QString text = ToQ(static_cast<TextControl&>(model).GetWindowText());
        if (label->text() != text) {
            label->setText(text);
        }
        break;
    }
    case ControlKind::Edit: {
        auto* edit = static_cast<QLineEdit*>(widget);
        const QString text = ToQ(static_cast<TextControl&>(model).GetWindowText());
        if (edit->text() != text) {
            edit->setText(text);
            edit->setCursorPosition(0); // show the start of a long text, as the edit does
        }
        break;
    }
    case ControlKind::PushButton: {
        auto* button = static_cast<QPushButton*>(widget);
        const auto& buttonModel = static_cast<ButtonControl&>(model);
        SyncButtonImage(t, buttonModel, button);
        break;
    }
    case ControlKind::ComboBox: {
        auto* combo = static_cast<QComboBox*>(widget);
        const auto& comboModel = static_cast<ComboBoxControl&>(model);
        QStringList items;
        for (const std::string& item : comboModel.Items()) {
            items.push_back(ToQ(item));
        }
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i) {
            shown.push_back(combo->itemText(i));
        }
        const QSignalBlocker block(combo);
        if (shown != items) {
            combo->clear();
            combo->addItems(items);
        }
        if (combo->currentIndex() != comboModel.GetCurSel()) {
            combo->setCurrentIndex(comboModel.GetCurSel());
        }
        break;
    }
    case ControlKind::Icon:
        break;
    }
}

void DialogWindow::SyncButtonImage(const ControlTemplate& t, const ButtonControl& model,
                                   QPushButton* button) {
    const int bitmapId = model.GetBitmap();
    const QString text = ToQ(model.GetWindowText());
    const QVariant shownBitmap = button->property("fkBitmap");
    if (shownBitmap.isValid() && shownBitmap.toInt() == bitmapId &&
        button->property("fkText").toString() == text) {
        return;
    }
    button->setProperty("fkBitmap", bitmapId);
    button->setProperty("fkText", text);
    const QPixmap bitmap = bitmapId != 0 ? BitmapPixmap(bitmapId) : QPixmap();
    if (bitmap.isNull()) {
        button->setIcon(QIcon());
        button->setText(text);
        return;
    }
    if (t.bitmapButton) {
        // A bitmap-style button shows the picture alone, scaled down when it does not fit.
        const QSize room = button->size() - QSize(6, 6);
        const QPixmap shown = bitmap.width() > room.width() || bitmap.height() > room.height()
                                  ? bitmap.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                  : bitmap;
        button->setText(QString());
        button->setIcon(QIcon(shown));
        button->setIconSize(shown.size());
        button->setToolTip(text);
        return;
    }
    // A text button shows the picture beside its text, at the height the button has room for
    // (the caption in the picture would be unreadable at that size, so it is left off).
    const int side = std::max(8, std::min(button->height() - 6, 30));
    button->setIcon(QIcon(PictureWithoutCaption(bitmap)));
    button->setIconSize(QSize(side, side));
    button->setText(text);
}

void DialogWindow::FocusFirstTabStop() {
    const DialogTemplate& t = dlg_.Template();
    for (std::size_t i = 0; i < widgets_.size(); ++i) {
        if (t.controls[i].tabStop && !widgets_[i]->isHidden() && widgets_[i]->isEnabled()) {
            widgets_[i]->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void DialogWindow::EndFromModel(int result) {
    ending_ = true;
    QDialog::done(result);
}

bool DialogWindow::AddChild(Control& control) {
    if (children_.count(&control) != 0) {
        return true;
    }
    QWidget* widget = nullptr;
    if (auto* bar = dynamic_cast<StatusBarControl*>(&control)) {
        widget = new StatusBarWidget(*bar, this);
    } else if (auto* progressModel = dynamic_cast<ProgressBarControl*>(&control)) {
        auto* progress = new QProgressBar(this);
        progress->setTextVisible(false);
        // Smooth (PBS_SMOOTH): one continuous bar rather than the style's blocks.
        progress->setStyleSheet(
            QStringLiteral("QProgressBar { border: 1px solid palette(mid); background: palette(window); }"
                           "QProgressBar::chunk { background: palette(highlight); }"));
        const Rect& r = progressModel->GetRect();
        progress->setGeometry(r.left, r.top, r.Width(), r.Height());
        widget = progress;
    } else {
        return false; // only the status bar and the progress bar are created at run time
    }
    widget->setProperty(ControlIdProperty, control.Id());
    children_[&control] = widget;
    Sync(); // sizes a status bar, sets a progress range and position, shows or hides the widget
    widget->raise();
    return true;
}

void DialogWindow::RemoveChild(Control& control) {
    auto it = children_.find(&control);
    if (it == children_.end()) {
        return;
    }
    QWidget* widget = it->second;
    children_.erase(it);
    // Called by the logic, never from the widget's own handlers: it can go at once.
    delete widget;
}

void DialogWindow::Route(UINT message, WPARAM wParam, LPARAM lParam) {
    ui_.Route(*this, message, wParam, lParam);
}

int DialogWindow::EnterCommandId() const {
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button != nullptr && button->isVisible()) {
        const QVariant id = button->property(ControlIdProperty);
        if (id.isValid()) {
            return id.toInt();
        }
    }
    for (const ControlTemplate& t : dlg_.Template().controls) {
        if (t.kind == ControlKind::PushButton && t.defaultButton) {
            return t.id;
        }
    }
    return IDOK;
}

void DialogWindow::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        switch (event->key()) {
        case Qt::Key_Escape:
            Route(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            Route(WM_COMMAND, MAKEWPARAM(static_cast<UINT>(EnterCommandId()), BN_CLICKED));
            return;
        default:
            break;
        }
    }
    QDialog::keyPressEvent(event);
}

void DialogWindow::accept() {
    if (!ending_) {
        Route(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
    }
}

void DialogWindow::reject() {
    if (!ending_) {
        Route(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
    }
}

void DialogWindow::closeEvent(QCloseEvent* event) {
    if (ending_) {
        event->accept();
        return;
    }
    // The close box is the Cancel command; the logic decides whether the window goes. While
    // an operation is busy it is held off like any other input.
    event->ignore();
    if (!ui_.InputHeld()) {
        Route(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
    }
}

void DialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    // Reaches here for the dialog's background and for controls without a menu of their own.
    ShowSystemMenu(event->globalPos());
}

void DialogWindow::ShowSystemMenu(const QPoint& globalPos) {
    if (ui_.InputHeld()) {
        return;
    }
    std::vector<MenuItem>* items = dlg_.GetSystemMenu(FALSE);
    if (items == nullptr || items->empty()) {
        return;
    }
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("systemMenu"));
    for (const MenuItem& item : *items) {
        if (item.separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(ToQ(item.text));
        action->setData(static_cast<uint>(item.commandId));
    }
    // The command is sent after the menu has closed, as the system menu does.
    QAction* chosen = nullptr;
    connect(&menu, &QMenu::triggered, &menu, [&chosen](QAction* action) { chosen = action; });
    menu.exec(globalPos);
    if (chosen != nullptr) {
        Route(WM_SYSCOMMAND, chosen->data().toUInt(), 0);
    }
}

} // namespace platform::qt
