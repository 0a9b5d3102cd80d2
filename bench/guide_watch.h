#pragma once

// What the in-process harnesses share: the wait for a painted guide, read
// from the X server as the user sees it, and the memory hand-shake with the
// driver (bench/bench.py measures the process tree while the harness waits).

#include <cstdio>
#include <iostream>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "painted.h"

namespace bench {

// Pause after a guide is painted before the next switch.
constexpr int SettleMs = 700;

inline QImage screenImage(QWidget *widget)
{
    QWidget *top = widget->window();
    const QPoint at = widget->mapTo(top, QPoint(0, 0));
    return top->screen()
        ->grabWindow(top->winId(), at.x(), at.y(), widget->width(), widget->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

inline Pixels pixels(const QImage &image)
{
    return Pixels(image.constBits(), image.width(), image.height(), int(image.bytesPerLine()));
}

// Runs the event loop until the widget shows a painted guide that differs
// from `before` (when given) in enough pixels to be another guide. Returns
// the nanoseconds from `since` to the grab that showed it, or -1.
inline qint64 waitPainted(QWidget *widget, const QElapsedTimer &since, const QImage &before = {},
                          int timeoutMs = 20000, QImage *shown = nullptr)
{
    constexpr int PollMs = 8;
    // The channel number, title and programme names differ between guides.
    constexpr int OtherGuide = 150;
    while (since.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(PollMs, &loop, &QEventLoop::quit);
        loop.exec();
        const qint64 at = since.nsecsElapsed();
        const QImage image = screenImage(widget);
        const GuideCheck check = checkGuide(pixels(image));
        if (!check.painted)
            continue;
        if (!before.isNull() && headDifference(pixels(image), check, pixels(before)) < OtherGuide)
            continue;
        if (shown)
            *shown = image;
        return at;
    }
    return -1;
}

// Says what state the process is in and waits until the driver has measured it.
inline void measure(const char *label)
{
    std::printf("MEASURE %s\n", label);
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
}

inline void report(const char *key, double value)
{
    std::printf("%s %.3f\n", key, value);
    std::fflush(stdout);
}

} // namespace bench
