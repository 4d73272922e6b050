#include "resources/Artwork.h"

#include "resources/Resources.h"

// The XPM sources are drawn by resources/bitmaps/draw_artwork.py.
namespace {
#include "resources/bitmaps/backup_140.xpm"
#include "resources/bitmaps/exit_135.xpm"
#include "resources/bitmaps/icon_128.xpm"
#include "resources/bitmaps/init_141.xpm"
#include "resources/bitmaps/read_137.xpm"
#include "resources/bitmaps/restore_139.xpm"
#include "resources/bitmaps/update_133.xpm"
} // namespace

namespace resources {

const char* const* ArtworkXpm(int id) {
    switch (id) {
    case IDR_MAINFRAME:
        return icon_128_xpm;
    case IDB_UPDATE:
        return update_133_xpm;
    case IDB_EXIT:
        return exit_135_xpm;
    case IDB_READ:
        return read_137_xpm;
    case IDB_RESTORE:
        return restore_139_xpm;
    case IDB_BACKUP:
        return backup_140_xpm;
    case IDB_INIT:
        return init_141_xpm;
    default:
        return nullptr;
    }
}

} // namespace resources
