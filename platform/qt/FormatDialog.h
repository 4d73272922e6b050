// Our format dialog, standing in for the shell's: capacity, file system, allocation unit,
// volume label and quick format for one drive; Start formats through Volumes::FormatDrive.
#pragma once

#include "platform/api/Volumes.h"

#include <QDialog>

#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace platform::qt {

class FormatDialog : public QDialog {
    Q_OBJECT
public:
    FormatDialog(UINT driveNumber, Volumes& volumes, QWidget* parent = nullptr);

    // Formats with the chosen options after the user confirms; shows the outcome.
    void Start();
    // The request the controls describe.
    FormatRequest Request() const;

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    UINT driveNumber_;
    Volumes& volumes_;
    std::string root_;
    QComboBox* capacity_ = nullptr;
    QComboBox* fileSystem_ = nullptr;
    QComboBox* allocation_ = nullptr;
    QLineEdit* label_ = nullptr;
    QCheckBox* quick_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* close_ = nullptr;
    bool formatting_ = false;
    // The serial of the card the dialog shows (its label and capacity); nothing when unknown.
    std::optional<DWORD> serial_;
};

// Shows the format dialog without an owner and returns when the user closes it. It runs as a
// non-modal window in a local event loop, so the rest of the program stays usable meanwhile
// (as the shell's dialog without an owner leaves it).
void RunFormatDialog(UINT driveNumber, Volumes& volumes);

} // namespace platform::qt
