#include "platform/BusyCursor.h"

#include <xcb/xcb.h>

#include <QCursor>
#include <QGuiApplication>

namespace platform {

namespace {

// The blocked thread runs no event loop, so the cursor request would sit in
// the X connection's buffer until the wait is over: send it now.
void flushDisplay()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app)
        return;
    if (auto *x11 = app->nativeInterface<QNativeInterface::QX11Application>())
        xcb_flush(x11->connection());
}

} // namespace

BusyCursor::BusyCursor()
{
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        flushDisplay();
        m_active = true;
    }
}

BusyCursor::~BusyCursor()
{
    if (m_active) {
        QGuiApplication::restoreOverrideCursor();
        flushDisplay();
    }
}

} // namespace platform
