#include "platform/Application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QProxyStyle>
#include <QSet>

#include "platform/AnsiText.h"
#include "platform/Error.h"

namespace platform::Application {

namespace {

class HintStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        switch (hint) {
        case SH_ToolTip_WakeUpDelay:
            return HintPauseMs;
        case SH_ToolTip_FallAsleepDelay:
            // Within this time after a hint went away the next one shows at once.
            return HintHidePauseMs;
        default:
            return QProxyStyle::styleHint(hint, option, widget, returnData);
        }
    }
};

QString messageOf(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Error &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("不明なエラーが発生しました");
    }
}

QSet<const void *> &openReports()
{
    static QSet<const void *> sources;
    return sources;
}

} // namespace

QString TitleFromFileName(const QString &fileName)
{
    QString name = QFileInfo(fileName).fileName();
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    if (name.isEmpty())
        return name;
    return name.left(1) + name.mid(1).toLower();
}

QString Title()
{
    static const QString title = TitleFromFileName(QCoreApplication::applicationFilePath());
    return title;
}

void Initialize(QApplication &app)
{
    app.setStyle(new HintStyle(app.style()->name()));
    QApplication::setKeyboardInputInterval(TypeAheadIntervalMs);

    // The layouts name Windows faces; these are metric-compatible or close.
    const QString fallback = QStringLiteral("Noto Sans CJK JP");
    QFont::insertSubstitutions(PGothic, {QStringLiteral("IPAPGothic"), fallback});
    QFont::insertSubstitutions(Gothic, {QStringLiteral("IPAGothic"), fallback});
    QFont::insertSubstitutions(Pop, {QStringLiteral("RocknRoll One"), fallback});
}

QFont Font(const QString &family, int pixels)
{
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

void SetHint(QWidget *control, const QString &hint)
{
    control->setToolTip(hint);
    control->setToolTipDuration(HintHidePauseMs);
}

QString WithFullStop(const QString &message)
{
    if (message.isEmpty())
        return message;
    // The last character, a surrogate pair counting as one.
    qsizetype start = message.size() - 1;
    if (start > 0 && message.at(start).isLowSurrogate() && message.at(start - 1).isHighSurrogate())
        --start;
    const QByteArray bytes = AnsiText::FromUnicode(message.mid(start));
    if (!bytes.isEmpty() && static_cast<unsigned char>(bytes.at(0)) > '.')
        return message + u'.';
    return message;
}

void ShowException(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, Title(), WithFullStop(message), QMessageBox::Ok,
                    QApplication::activeWindow());
    // Server texts go in as they are: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

namespace detail {

void Report(std::exception_ptr error, Reports reports, const void *source) noexcept
{
    try {
        const QString message = messageOf(error);
        if (reports == Reports::OnePending) {
            // Ticks run inside an open report's own loop; one box per source is enough.
            if (openReports().contains(source))
                return;
            openReports().insert(source);
            struct Release {
                const void *source;
                ~Release() { openReports().remove(source); }
            } release{source};
            ShowException(message);
        } else {
            ShowException(message);
        }
    } catch (...) {
        // A report that cannot be shown must not take the program down.
    }
}

} // namespace detail

} // namespace platform::Application
