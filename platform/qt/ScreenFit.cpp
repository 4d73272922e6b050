#include "platform/qt/ScreenFit.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QScreen>
#include <QString>
#include <QTreeView>

#include <algorithm>

namespace platform::qt {

namespace {

// The window manager's frame, as a window already on the screen has it, and a pixel more on each
// side (at a scale factor the frame's device pixels round to fewer); before any window is shown,
// a title bar two lines of text high.
QMargins FrameOf(const QWidget* shown, const QWidget& window) {
    if (shown != nullptr && shown->isVisible()) {
        const QRect frame = shown->frameGeometry();
        const QRect client = shown->geometry();
        return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                        frame.right() - client.right(), frame.bottom() - client.bottom()) +
               1;
    }
    return {1, 2 * window.fontMetrics().height(), 1, 1};
}

bool IsSeparator(QChar c) {
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
}

} // namespace

void FitToScreen(QWidget& window, const QWidget* owner) {
    QScreen* screen = owner != nullptr ? owner->screen() : window.screen();
    if (screen == nullptr) {
        return;
    }
    const QRect available = screen->availableGeometry();
    const QMargins frame = FrameOf(owner != nullptr ? owner : &window, window);
    const QSize room = available.marginsRemoved(frame).size();
    const QSize wanted =
        window.isVisible() || window.testAttribute(Qt::WA_Resized) ? window.size() : window.sizeHint();
    const QSize fitted = wanted.boundedTo(room).expandedTo(window.minimumSize());
    if (fitted != window.size()) {
        window.resize(fitted);
    }
    // A window not placed yet is placed by the toolkit or the window manager, inside the area.
    if (window.isVisible() || window.testAttribute(Qt::WA_Moved)) {
        const QSize outer = fitted.grownBy(frame);
        const int x = std::clamp(window.x(), available.left(),
                                 std::max(available.left(), available.right() + 1 - outer.width()));
        const int y = std::clamp(window.y(), available.top(),
                                 std::max(available.top(), available.bottom() + 1 - outer.height()));
        window.move(x, y);
    }
}

void FitFileDialog(QFileDialog& dialog, const QWidget* owner) {
    if (auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView")); details != nullptr) {
        QHeaderView* header = details->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
    FitToScreen(dialog, owner);
}

QString WithBreaksInLongWords(const QString& text) {
    // Words up to this many characters fit any line a box has; a longer one is broken up, after
    // its separators and, in a part between separators longer than LongPart, anywhere.
    constexpr qsizetype LongWord = 30;
    constexpr qsizetype LongPart = 20;
    QString out;
    out.reserve(text.size() * 2);
    qsizetype i = 0;
    while (i < text.size()) {
        qsizetype end =
            std::find_if(text.begin() + i, text.end(), [](QChar c) { return c.isSpace(); }) - text.begin();
        if (end - i <= LongWord) {
            out += QStringView(text).mid(i, end - i);
        } else {
            for (qsizetype part = i; part < end;) {
                const qsizetype partEnd =
                    std::find_if(text.begin() + part, text.begin() + end, IsSeparator) - text.begin();
                const bool anywhere = partEnd - part > LongPart;
                for (qsizetype k = part; k < partEnd; ++k) {
                    out += text[k];
                    if (anywhere && k + 1 < partEnd) {
                        out += ZeroWidthSpace;
                    }
                }
                if (partEnd < end) {
                    out += text[partEnd];
                    out += ZeroWidthSpace;
                }
                part = partEnd + 1;
            }
        }
        while (end < text.size() && text[end].isSpace()) {
            out += text[end++];
        }
        i = end;
    }
    return out;
}

} // namespace platform::qt
