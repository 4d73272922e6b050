// Dialog units to pixels, as a Windows dialog computes them from its font.
#pragma once

#include "platform/api/Templates.h"

#include <QFont>
#include <QRect>

namespace platform::qt {

// Horizontal base unit: average character width; vertical: character height.
struct BaseUnits {
    int x = 6;
    int y = 13;
    friend bool operator==(const BaseUnits&, const BaseUnits&) = default;
};

// a * b / c rounded half away from zero, as the Windows MulDiv.
int MulDiv(int a, int b, int c);

// The font that stands in for a template font: the template's own family when the system has
// it, else the closest sans font with the same metrics ("MS Sans Serif" 8 has base units 6 x 13,
// which DejaVu Sans Condensed 8 matches at 96 dpi).
QFont DialogFont(const std::string& templateFamily, int points);

// Base units of a font the way Windows computes them: the width of the 52 letters divided by 26,
// halved with rounding; the height of the font.
BaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units converted to pixels.
QRect MapDialogRect(int x, int y, int cx, int cy, BaseUnits units);
// Client size of a template.
QSize DialogClientSize(const DialogTemplate& t, BaseUnits units);

} // namespace platform::qt
