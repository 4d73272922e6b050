// Windows that fit the screen. At a large scale factor on a small screen a dialog's natural size
// can exceed the screen, and one long word (a path) is wider than a message box.
#pragma once

#include <QChar>

class QFileDialog;
class QString;
class QWidget;

namespace platform::qt {

inline constexpr QChar ZeroWidthSpace(0x200B);

// Makes the window at most as large as the free area of its screen (the owner's, when it has
// one) less the frame the window manager puts around it, and moves it into that area if it was
// placed already.
void FitToScreen(QWidget& window, const QWidget* owner);

// The file dialog made to fit its screen, with its Size, Type and Date columns as wide as their
// values; the name column takes the rest.
void FitFileDialog(QFileDialog& dialog, const QWidget* owner);

// The text with a line break allowed inside words too long for a line (paths, long names): after
// each folder separator, and anywhere in a part between separators that is long itself. The
// breaks are zero-width spaces: the text looks the same, and a word-wrapped label keeps it
// within its width.
QString WithBreaksInLongWords(const QString& text);

} // namespace platform::qt
