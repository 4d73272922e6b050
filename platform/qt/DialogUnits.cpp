#include "platform/qt/DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace platform::qt {

int MulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1; // as the Windows function does for a zero divisor
    }
    const long long product = static_cast<long long>(a) * b;
    const long long half = std::llabs(static_cast<long long>(c)) / 2;
    const bool negative = (product < 0) != (c < 0);
    const long long magnitude = (std::llabs(product) + half) / std::llabs(static_cast<long long>(c));
    return static_cast<int>(negative ? -magnitude : magnitude);
}

QFont DialogFont(const std::string& templateFamily, int points) {
    const QStringList available = QFontDatabase::families();
    const QString wanted = QString::fromStdString(templateFamily);
    const QStringList candidates{wanted, QStringLiteral("DejaVu Sans Condensed"),
                                 QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
    const auto found = std::find_if(candidates.begin(), candidates.end(), [&](const QString& family) {
        return !family.isEmpty() && available.contains(family, Qt::CaseInsensitive);
    });
    QFont font(found != candidates.end() ? *found : QStringLiteral("Sans Serif"), points);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

BaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    BaseUnits units;
    units.x = (width / 26 + 1) / 2;
    units.y = metrics.height();
    if (units.x <= 0 || units.y <= 0) {
        return BaseUnits{}; // a font without metrics: keep the classic 6 x 13
    }
    return units;
}

QRect MapDialogRect(int x, int y, int cx, int cy, BaseUnits units) {
    return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4),
                 MulDiv(cy, units.y, 8));
}

QSize DialogClientSize(const DialogTemplate& t, BaseUnits units) {
    return QSize(MulDiv(t.cx, units.x, 4), MulDiv(t.cy, units.y, 8));
}

} // namespace platform::qt
