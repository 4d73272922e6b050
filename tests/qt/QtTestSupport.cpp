#include "tests/qt/QtTestSupport.h"

#include "platform/api/LastError.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>

namespace fkqt {

BOOL DeniedFiles::Deny() {
    platform::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

platform::Handle DeniedFiles::CreateFile(std::string_view, DWORD, DWORD, DWORD, DWORD) {
    Deny();
    return platform::InvalidHandle;
}

DWORD DeniedFiles::GetFileAttributes(std::string_view) {
    Deny();
    return INVALID_FILE_ATTRIBUTES;
}

platform::Handle DeniedFiles::FindFirstFile(std::string_view, platform::FindData*) {
    Deny();
    return platform::InvalidHandle;
}

BOOL RecordingVolumes::GetVolumeLabel(std::string_view, std::string* out, DWORD, DWORD* serialOut) {
    if (out != nullptr) {
        *out = label;
    }
    if (serialOut != nullptr) {
        *serialOut = serial;
    }
    return TRUE;
}

BOOL RecordingVolumes::GetDiskFreeSpace(std::string_view, DWORD* spc, DWORD* bps, DWORD* freeClusters,
                                        DWORD* total) {
    *spc = 4;
    *bps = 512;
    *freeClusters = 31000;
    *total = 31264;
    return TRUE;
}

DWORD RecordingVolumes::FormatDrive(UINT driveNumber, const platform::FormatRequest& request) {
    formats.emplace_back(driveNumber, request);
    return formatResult;
}

LRESULT RecordingDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    messages.emplace_back(message, wParam);
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        auto it = onCommand.find(LOWORD(wParam));
        if (it != onCommand.end()) {
            it->second();
            return 0;
        }
    }
    return Dialog::WindowProc(message, wParam, lParam);
}

bool RecordingDialog::Received(UINT message, WPARAM wParam) const {
    for (const auto& [m, w] : messages) {
        if (m == message && w == wParam) {
            return true;
        }
    }
    return false;
}

BOOL RecordingDialog::OnInitDialog() {
    const BOOL result = Dialog::OnInitDialog();
    if (onInit) {
        onInit(*this);
    }
    return result;
}

namespace {

void Poll(std::function<QWidget*()> find, std::function<void(QWidget*)> action, const QString& what) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    auto tick = std::make_shared<std::function<void()>>();
    *tick = [find = std::move(find), action = std::move(action), what, timer, tick]() {
        if (QWidget* w = find()) {
            // Acted on once it has the keyboard, as a user meets it.
            if (QApplication::activeWindow() != w) {
                w->activateWindow();
                if (!QTest::qWaitForWindowActive(w, 1000)) {
                    ADD_FAILURE() << "window never became active: " << what.toStdString();
                }
            }
            action(w);
            *tick = nullptr; // breaks the cycle of the shared function
            return;
        }
        if (timer->elapsed() > 5000) {
            ADD_FAILURE() << "window never appeared: " << what.toStdString();
            // Close whatever modal window is up so that the test does not hang.
            if (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            } else if (QWidget* active = QApplication::activeWindow()) {
                active->close();
            }
            *tick = nullptr;
            return;
        }
        QTimer::singleShot(10, *tick);
    };
    QTimer::singleShot(0, *tick);
}

} // namespace

void OnModal(const QString& objectName, std::function<void(QWidget*)> action) {
    Poll(
        [objectName]() -> QWidget* {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != nullptr) {
                return modal->isVisible() && modal->objectName() == objectName ? modal : nullptr;
            }
            // The program's first dialog runs without modality (nothing is behind it).
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && !objectName.isEmpty() && w->objectName() == objectName) {
                    return w;
                }
            }
            return nullptr;
        },
        std::move(action), objectName);
}

void OnWindow(const QString& objectName, std::function<void(QWidget*)> action) {
    Poll(
        [objectName]() -> QWidget* {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->objectName() == objectName) {
                    return w;
                }
            }
            return nullptr;
        },
        std::move(action), objectName);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void Key(QWidget* widget, int key, Qt::KeyboardModifiers modifiers) {
    // Through the shortcut map and the focus widget, as a real key press goes.
    QWidget* window = widget->window();
    if (QApplication::activeWindow() != window) {
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window, 1000)) {
            ADD_FAILURE() << "window not active for a key press";
        }
    }
    QWidget* target = widget->focusWidget() != nullptr ? widget->focusWidget() : widget;
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
}

QString ScreenshotDir() {
    const QString dir = QStringLiteral(FK_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    return dir;
}

} // namespace fkqt
