// The program's pictures as XPM sources (resources/bitmaps/*.xpm): the application icon and
// the six button bitmaps, 16 colours each.
#pragma once

namespace resources {

// XPM data of the icon (IDR_MAINFRAME) or of a button bitmap (IDB_*); null for any other id.
const char* const* ArtworkXpm(int id);

} // namespace resources
