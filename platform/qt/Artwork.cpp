#include "platform/qt/Artwork.h"

#include "resources/Artwork.h"
#include "resources/Resources.h"

#include <map>

namespace platform::qt {

QPixmap BitmapPixmap(int id) {
    // Like the program-wide bitmap objects: made once, kept for the life of the program.
    static std::map<int, QPixmap> cache;
    auto it = cache.find(id);
    if (it == cache.end()) {
        const char* const* xpm = resources::ArtworkXpm(id);
        it = cache.emplace(id, xpm != nullptr ? QPixmap(xpm) : QPixmap()).first;
    }
    return it->second;
}

QIcon ApplicationIcon() {
    const QPixmap pixmap = BitmapPixmap(resources::IDR_MAINFRAME);
    return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

} // namespace platform::qt
