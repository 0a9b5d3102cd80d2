#include "Unit2.h"

#include <algorithm>

#include <QBackingStore>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QRect>
#include <QRegion>
#include <QScreen>
#include <QWindow>

#include "Sites.h"
#include "platform/AnsiText.h"
#include "platform/Application.h"
#include "platform/Error.h"
#include "platform/HttpClient.h"
#include "platform/Picture.h"

using platform::Application::Dispatch;
using platform::Application::PGothic;
using platform::Application::Pop;

TForm2 *Form2 = nullptr;

namespace {

// The layout, in the order of the members.
const QString WindowCaption = QStringLiteral("Form2");
constexpr int WindowFontPixels = 12;

constexpr int BevelWidth = 5;

const QRect Image2Geometry(8, 56, 265, 217);
const QString StagePicture = QStringLiteral(":/stage.jpg");

const QRect Memo1Geometry(288, 32, 345, 273);
constexpr int Memo1FontPixels = 19;

const QPoint Label1Position(16, 0);
const QString Label1Text = QStringLiteral("ポルカミーナ応援隊_番組表閲覧プログラム v1.04");
constexpr int Label1FontPixels = 16;

const QPoint Label2Position(480, 8);
const QString Label2Text = QStringLiteral("Kalu Project 制作");
constexpr int Label2FontPixels = 12;

const QColor Green(0, 128, 0);

const QString MessagePath = QStringLiteral("/cm/kalu/kalumsg.txt");


// A white panel with a raised outer bevel: highlight on the top and left
// edges, shadow on the bottom and right, each ring one pixel in from the last.
// The shadow takes the top-right and bottom-left corner pixels.
class BevelPanel : public QFrame
{
public:
    explicit BevelPanel(QWidget *parent)
        : QFrame(parent)
    {
        setFrameShape(QFrame::NoFrame);
        QPalette white = palette();
        white.setColor(QPalette::Window, Qt::white);
        setPalette(white);
        setAutoFillBackground(true);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const QColor highlight = palette().color(QPalette::Light);
        const QColor shadow = palette().color(QPalette::Dark);
        for (int i = 0; i < BevelWidth; ++i) {
            const QRect ring = rect().adjusted(i, i, -i, -i);
            if (ring.width() <= 0 || ring.height() <= 0)
                break;
            painter.fillRect(ring.left(), ring.top(), ring.width() - 1, 1, highlight);
            painter.fillRect(ring.left(), ring.top(), 1, ring.height() - 1, highlight);
            painter.fillRect(ring.right(), ring.top(), 1, ring.height(), shadow);
            painter.fillRect(ring.left(), ring.bottom(), ring.width(), 1, shadow);
        }
    }
};

QLabel *MakeLabel(QWidget *parent, const char *name, QPoint position, const QString &text, int pixels)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(platform::Application::Font(Pop, pixels));
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, Green);
    colours.setColor(QPalette::Window, Qt::white);
    label->setPalette(colours);
    label->setAutoFillBackground(true);
    label->move(position);
    label->adjustSize();
    return label;
}

// Paints the window now and puts it on the screen. Before the event loop runs
// Qt has not seen the window's first expose and would put a plain repaint off
// until then, so the window is rendered into its backing store directly.
void PaintNow(QWidget *window)
{
    QBackingStore *store = window->backingStore();
    if (!store || !window->windowHandle())
        return;
    const QRegion all(window->rect());
    store->resize(window->size());
    store->beginPaint(all);
    window->render(store->paintDevice(), QPoint(), all, QWidget::DrawWindowBackground | QWidget::DrawChildren);
    store->endPaint();
    store->flush(all, window->windowHandle());
}

// The lines' size in the memo's terms: CP932 bytes, each break CR LF.
qsizetype MemoSize(const QStringList &lines)
{
    qsizetype size = lines.isEmpty() ? 0 : 2 * (lines.size() - 1);
    for (const QString &line : lines)
        size += platform::AnsiText::FromUnicode(line).size();
    return size;
}

} // namespace

TForm2::TForm2(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , IdHTTP1(std::make_unique<platform::HttpClient>())
{
    setObjectName(QStringLiteral("Form2"));
    // Only the main window's closing ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(WindowCaption);
    setFont(platform::Application::Font(PGothic, WindowFontPixels));
    QPalette window = palette();
    window.setColor(QPalette::Window, window.color(QPalette::Base));
    setPalette(window);
    setAutoFillBackground(true);
    resize(ClientWidth, ClientHeight);

    Panel1 = new BevelPanel(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, ClientWidth, ClientHeight);

    Image2 = new QLabel(Panel1);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(Image2Geometry);
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image2->setPixmap(QPixmap::fromImage(platform::Picture::LoadFromFile(StagePicture)));

    Memo1 = new QPlainTextEdit(Panel1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(Memo1Geometry);
    Memo1->setFont(platform::Application::Font(PGothic, Memo1FontPixels));
    Memo1->setFrameShape(QFrame::NoFrame);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setReadOnly(true);
    // Takes no input: no keys, no clicks, and no wheel scrolls the rest into view.
    Memo1->setEnabled(false);
    // Disabled for input only: the text keeps the window-text colour.
    QPalette memo = Memo1->palette();
    for (QPalette::ColorRole role : {QPalette::Text, QPalette::Base})
        memo.setColor(QPalette::Disabled, role, memo.color(QPalette::Active, role));
    Memo1->setPalette(memo);

    Label1 = MakeLabel(Panel1, "Label1", Label1Position, Label1Text, Label1FontPixels);
    Label2 = MakeLabel(Panel1, "Label2", Label2Position, Label2Text, Label2FontPixels);

    Dispatch([this] { FormCreate(); });
}

TForm2::~TForm2()
{
    if (Form2 == this)
        Form2 = nullptr;
}

void TForm2::FormCreate()
{
    SetMemoLines(platform::AnsiText::Lines(IdHTTP1->Get(AuthorSite + MessagePath)));
}

void TForm2::SetMemoLines(const QStringList &lines)
{
    if (MemoSize(lines) > MemoLimit)
        throw platform::Error(QStringLiteral("文字列の大きさがメモの制限を越えました"));
    Memo1->setPlainText(lines.join(u'\n'));
}

QPoint StartupWindowPosition(QSize desktop)
{
    return {std::max(0, (desktop.width() - TForm2::ClientWidth) / 2),
            std::max(0, (desktop.height() - TForm2::ClientHeight) / 2)};
}

QSize DesktopSize()
{
    QRect desktop;
    for (const QScreen *screen : QGuiApplication::screens())
        desktop = desktop.united(screen->geometry());
    return desktop.size();
}

TForm2 *ShowStartupWindow()
{
    Form2 = new TForm2;
    Form2->move(StartupWindowPosition(DesktopSize()));
    Form2->show();
    Form2->raise();
    Form2->activateWindow();
    PaintNow(Form2);
    return Form2;
}
