#pragma once

#include <QString>

#include <exception>
#include <type_traits>
#include <utility>

class QApplication;
class QFont;
class QWidget;

namespace platform {

// What the application object derives and decides for the whole program:
// the title, the hint timing, and the default error handler that every
// window handler runs under.
namespace Application {

// The title from the executable's file name: cut at the first ".", the first
// character kept, the rest lower case ("KALU.exe" gives "Kalu").
QString TitleFromFileName(const QString &fileName);
// The title of this process, derived once from its executable.
QString Title();

// Hints come up after 500 ms, stay 2,500 ms, and the next one shows at once
// when the pointer moves straight to another control with a hint.
constexpr int HintPauseMs = 500;
constexpr int HintHidePauseMs = 2500;
// Type-ahead in lists: a key 500 ms or more after the previous one starts anew.
constexpr int TypeAheadIntervalMs = 500;

// Sets what the application object decides for every window: hint timing,
// type-ahead interval, and the installed faces that stand in for the ones the
// layouts name.
void Initialize(QApplication &app);
// The faces the layouts name; Initialize maps them onto installed ones.
inline const QString PGothic = QStringLiteral("ＭＳ Ｐゴシック");
inline const QString Gothic = QStringLiteral("ＭＳ ゴシック");
inline const QString Pop = QStringLiteral("ＤＦPOP1体W9");
// A layout's font: sizes there are character heights in pixels.
QFont Font(const QString &family, int pixels);

// Gives a control its hint, shown for HintHidePauseMs.
void SetHint(QWidget *control, const QString &hint);

// The report text: a "." is appended when the message is not empty and its
// last character, taken in CP932, has a first byte that sorts after ".".
QString WithFullStop(const QString &message);

// The default error handler: a modal box captioned with the title, the stop
// icon, one "OK" button. Returns when the user has closed it.
void ShowException(const QString &message);

enum class Reports {
    Always,
    // A periodic handler whose failure may last: while one of its reports is
    // open, further failures of the same handler are not shown again.
    OnePending,
};

// Runs one handler; an exception that leaves it is reported and the program
// carries on. Never throws.
template<class Handler>
void Dispatch(Handler &&handler, Reports reports = Reports::Always, const void *source = nullptr) noexcept;

namespace detail {
void Report(std::exception_ptr error, Reports reports, const void *source) noexcept;
}

template<class Handler>
void Dispatch(Handler &&handler, Reports reports, const void *source) noexcept
{
    try {
        std::forward<Handler>(handler)();
    } catch (...) {
        detail::Report(std::current_exception(), reports, source);
    }
}

// A slot for connect(): the member handler of a window run under Dispatch.
template<class Window>
auto Handler(Window *window, void (Window::*handler)())
{
    return [window, handler] { Dispatch([&] { (window->*handler)(); }); };
}

} // namespace Application
} // namespace platform
