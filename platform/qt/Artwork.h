// The program's pictures as Qt images, made once from their XPM sources.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace platform::qt {

// A button bitmap by resource id (null pixmap for an unknown id).
QPixmap BitmapPixmap(int id);
// The application icon, resource 128.
QIcon ApplicationIcon();

} // namespace platform::qt
