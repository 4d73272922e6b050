// Where the program's controls are, for the tests that drive it with the mouse: prints, as JSON,
// every template control's pixel rectangle in its dialog's client area (from the dialog units
// and the template font, as the program computes them), and the buttons of the message boxes
// and the format dialog measured from the window's edges (those windows are
// laid out by Qt; their size comes from the text, these offsets do not). Run it on the
// same display and fonts as the program.
#include "platform/api/Volumes.h"
#include "platform/qt/DialogUnits.h"
#include "platform/qt/FormatDialog.h"
#include "platform/qt/QtUi.h"
#include "resources/Resources.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>
#include <string>

namespace {

using namespace platform;

// Enough of a drive for the format dialog to lay itself out.
class NoVolumes : public Volumes {
public:
    DWORD GetLogicalDrives() override { return 0; }
    UINT GetDriveType(std::string_view) override { return DRIVE_NO_ROOT_DIR; }
    BOOL GetVolumeLabel(std::string_view, std::string*, DWORD, DWORD*) override { return FALSE; }
    BOOL GetDiskFreeSpace(std::string_view, DWORD*, DWORD*, DWORD*, DWORD*) override { return FALSE; }
    Handle FindFirstVolume(std::string*) override { return InvalidHandle; }
    BOOL FindNextVolume(Handle, std::string*) override { return FALSE; }
    BOOL FindVolumeClose(Handle) override { return TRUE; }
    BOOL QueryVolumeDiskExtents(std::string_view) override { return FALSE; }
    DWORD FormatDrive(UINT, const FormatRequest&) override { return ERROR_NOT_SUPPORTED; }
};

std::string Quoted(const QString& text) {
    std::string out = "\"";
    for (const char c : text.toStdString()) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// The buttons of a shown window: text and centre, horizontally from the window's middle and
// from its right edge (message boxes centre their buttons, the format dialog puts them right),
// vertically from its bottom edge.
std::string CornerButtons(QWidget* window) {
    window->show();
    QApplication::processEvents();
    std::string out = "{";
    bool first = true;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (!button->isVisible()) {
            continue;
        }
        const QPoint centre = button->mapTo(window, button->rect().center());
        QString name = button->text();
        name.remove(QLatin1Char('&'));
        out += (first ? "" : ", ") + Quoted(name) + ": [" + std::to_string(centre.x() - window->width() / 2) +
               ", " + std::to_string(window->width() - centre.x()) + ", " +
               std::to_string(window->height() - centre.y()) + "]";
        first = false;
    }
    window->hide();
    return out + "}";
}

void PrintTemplate(int id, bool last) {
    const DialogTemplate& t = resources::GetDialogTemplate(id);
    const qt::BaseUnits units = qt::BaseUnitsOf(qt::DialogFont(t.fontName, t.fontPoints));
    const QSize size = qt::DialogClientSize(t, units);
    std::printf("  \"%d\": {\"size\": [%d, %d], \"controls\": {", id, size.width(), size.height());
    bool first = true;
    for (const ControlTemplate& c : t.controls) {
        if (c.id == -1) {
            continue;
        }
        const QRect r = qt::MapDialogRect(c.x, c.y, c.cx, c.cy, units);
        std::printf("%s\"%d\": [%d, %d, %d, %d]", first ? "" : ", ", c.id, r.x(), r.y(), r.width(),
                    r.height());
        first = false;
    }
    std::printf("}}%s\n", last ? "" : ",");
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qt::QtUi::ApplyClassicLook();
    std::printf("{\n");
    PrintTemplate(resources::IDD_CARDUTILITY_DIALOG, false);
    PrintTemplate(resources::IDD_DRIVESELECTION, false);
    PrintTemplate(resources::IDD_ABOUTBOX, false);
    for (const auto& [name, type] : {std::pair{"MB_OK", MB_OK}, std::pair{"MB_YESNO", MB_YESNO},
                                     std::pair{"MB_YESNOCANCEL", MB_YESNOCANCEL}}) {
        const std::unique_ptr<QMessageBox> box = qt::MakeMessageBox(nullptr, "Some text.", type);
        std::printf("  \"%s\": %s,\n", name, CornerButtons(box.get()).c_str());
    }
    QMessageBox confirm(QMessageBox::Warning, QStringLiteral("Format"), QStringLiteral("Some text."),
                        QMessageBox::Ok | QMessageBox::Cancel);
    std::printf("  \"OKCANCEL\": %s,\n", CornerButtons(&confirm).c_str());
    QMessageBox done(QMessageBox::Information, QStringLiteral("Format"), QStringLiteral("Some text."),
                     QMessageBox::Ok);
    std::printf("  \"INFO\": %s,\n", CornerButtons(&done).c_str());
    NoVolumes volumes;
    qt::FormatDialog format(4, volumes);
    std::printf("  \"format\": %s\n}\n", CornerButtons(&format).c_str());
    return 0;
}
