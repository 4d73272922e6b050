#include "platform/qt/FormatDialog.h"

#include "platform/qt/Artwork.h"
#include "platform/qt/ScreenFit.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace platform::qt {

namespace {

QString CapacityText(Volumes& volumes, const std::string& root) {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (volumes.GetDiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters) ==
        FALSE) {
        return QStringLiteral("Unknown capacity");
    }
    const double bytes = static_cast<double>(sectorsPerCluster) * bytesPerSector * totalClusters;
    const double mb = bytes / (1024.0 * 1024.0);
    if (mb >= 1000.0) {
        return QStringLiteral("%1 GB").arg(mb / 1024.0, 0, 'f', 2);
    }
    return QStringLiteral("%1 MB").arg(mb, 0, 'f', 1);
}

QString FailureText(DWORD error) {
    switch (error) {
    case ERROR_NOT_READY:
        return QStringLiteral("The drive is not ready. Insert the card and try again.");
    case ERROR_ACCESS_DENIED:
        return QStringLiteral("Access to the drive was denied.");
    case ERROR_WRITE_FAULT:
        return QStringLiteral("The card could not be written.");
    case ERROR_SHARING_VIOLATION:
        return QStringLiteral("The card is in use by another program (a file manager or a terminal "
                              "open on it). Close it and try again.");
    case ERROR_NOT_SUPPORTED:
        return QStringLiteral("This system cannot make the file system chosen. Choose FAT.");
    default:
        return QStringLiteral("Error %1.").arg(error);
    }
}

QWidget* Labelled(const QString& text, QWidget* field, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* label = new QLabel(text, box);
    label->setBuddy(field);
    layout->addWidget(label);
    layout->addWidget(field);
    return box;
}

} // namespace

FormatDialog::FormatDialog(UINT driveNumber, Volumes& volumes, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      driveNumber_(driveNumber), volumes_(volumes) {
    root_ = std::string(1, static_cast<char>('A' + std::min<UINT>(driveNumber, 25))) + ":\\";
    setObjectName(QStringLiteral("formatDialog"));
    setWindowTitle(QStringLiteral("Format Removable Disk (%1:)").arg(QChar(QLatin1Char(root_[0]))));
    setWindowIcon(ApplicationIcon());
    setModal(false);

    capacity_ = new QComboBox(this);
    capacity_->addItem(CapacityText(volumes_, root_));
    fileSystem_ = new QComboBox(this);
    fileSystem_->setObjectName(QStringLiteral("fileSystem"));
    fileSystem_->addItems({QStringLiteral("FAT"), QStringLiteral("FAT32")});
    allocation_ = new QComboBox(this);
    allocation_->addItem(QStringLiteral("Default allocation size"));
    label_ = new QLineEdit(this);
    label_->setObjectName(QStringLiteral("volumeLabel"));
    label_->setMaxLength(11); // a FAT volume label holds 11 characters
    std::string current;
    DWORD serial = 0;
    if (volumes_.GetVolumeLabel(root_, &current, 255, &serial) != FALSE) {
        label_->setText(QString::fromStdString(current));
        serial_ = serial;
    }
    quick_ = new QCheckBox(QStringLiteral("&Quick Format"), this);
    quick_->setObjectName(QStringLiteral("quickFormat"));
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    start_ = new QPushButton(QStringLiteral("&Start"), this);
    start_->setObjectName(QStringLiteral("start"));
    start_->setDefault(true);
    close_ = new QPushButton(QStringLiteral("&Close"), this);
    close_->setObjectName(QStringLiteral("close"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);
    layout->addWidget(Labelled(QStringLiteral("Ca&pacity:"), capacity_, this));
    layout->addWidget(Labelled(QStringLiteral("&File system"), fileSystem_, this));
    layout->addWidget(Labelled(QStringLiteral("&Allocation unit size"), allocation_, this));
    layout->addWidget(Labelled(QStringLiteral("Volume &label"), label_, this));
    auto* options = new QGroupBox(QStringLiteral("Format &options"), this);
    auto* optionsLayout = new QVBoxLayout(options);
    optionsLayout->addWidget(quick_);
    layout->addWidget(options);
    layout->addWidget(progress_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(start_);
    buttons->addWidget(close_);
    layout->addLayout(buttons);
    // Wide enough for the title "Format Removable Disk (X:)" beside a title bar's icon and buttons.
    QFont titleFont = font();
    titleFont.setBold(true);
    setFixedWidth(std::max(260, QFontMetrics(titleFont).horizontalAdvance(windowTitle()) + 120));

    connect(start_, &QPushButton::clicked, this, &FormatDialog::Start);
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
}

FormatRequest FormatDialog::Request() const {
    FormatRequest request;
    request.fileSystem = fileSystem_->currentIndex() == 1 ? FormatRequest::FileSystemKind::Fat32
                                                          : FormatRequest::FileSystemKind::Fat;
    request.label = label_->text().toStdString();
    request.quick = quick_->isChecked();
    return request;
}

void FormatDialog::Start() {
    const QString title = windowTitle();
    const auto answer =
        QMessageBox::warning(this, title,
                             QStringLiteral("WARNING: Formatting will erase ALL data on this disk.\n"
                                            "To format the disk, click OK. To quit, click CANCEL."),
                             QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
    if (answer != QMessageBox::Ok) {
        return;
    }
    // The card may have been swapped for another while the dialog was open: the user chose to
    // erase the card it shows, not whatever is in the drive now.
    DWORD serial = 0;
    if (serial_ && (volumes_.GetVolumeLabel(root_, nullptr, 0, &serial) == FALSE || serial != *serial_)) {
        QMessageBox::critical(this, title,
                              QStringLiteral("The card in the drive has been replaced by another card since "
                                             "this dialog was opened. It has not been formatted.\n"
                                             "Close this dialog and start again."));
        return;
    }
    const FormatRequest request = Request();
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The format may take minutes while the window stays alive; it cannot be closed meanwhile.
    formatting_ = true;
    const DWORD error = volumes_.FormatDrive(driveNumber_, request);
    formatting_ = false;
    QApplication::restoreOverrideCursor();
    setEnabled(true);
    if (error == ERROR_SUCCESS) {
        progress_->setValue(100);
        // The new file system has a serial of its own: this card may be formatted again.
        if (volumes_.GetVolumeLabel(root_, nullptr, 0, &serial) != FALSE) {
            serial_ = serial;
        }
        QMessageBox::information(this, title, QStringLiteral("Format Complete."));
        capacity_->setItemText(0, CapacityText(volumes_, root_));
    } else {
        QMessageBox::critical(this, title,
                              QStringLiteral("The format could not be completed.\n") + FailureText(error));
    }
    progress_->setValue(0);
    close_->setFocus();
}

void FormatDialog::closeEvent(QCloseEvent* event) {
    if (formatting_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void FormatDialog::reject() {
    if (!formatting_) {
        QDialog::reject();
    }
}

void RunFormatDialog(UINT driveNumber, Volumes& volumes) {
    FormatDialog dialog(driveNumber, volumes);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    FitToScreen(dialog, nullptr);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    loop.exec();
}

} // namespace platform::qt
