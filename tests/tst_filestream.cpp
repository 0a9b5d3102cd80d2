#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "platform/Error.h"
#include "platform/FileStream.h"

using namespace Qt::StringLiterals;
using platform::FileStream;

class tst_FileStream : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void createMakesFileInWorkingFolder();
    void createEmptiesExistingFile();
    void secondCreateFailsAndLeavesFileAlone();
    void createAgainAfterClose();
    void createErrors_data();
    void createErrors();
    void writeFailureKeepsWhatWasWritten();
    void openReadMissingFile();
    void closeTwiceAndWriteAfterClose();

private:
    static QString SystemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
    static QByteArray Contents(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : "<missing>"_ba;
    }
    static void Put(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    // Each test runs in a fresh working folder.
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCurrent;
    QString m_cwd;
};

void tst_FileStream::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_cwd = QDir::currentPath();
}

void tst_FileStream::cleanup()
{
    QDir::setCurrent(m_oldCurrent);
    m_dir.reset();
}

void tst_FileStream::createMakesFileInWorkingFolder()
{
    const mode_t oldMask = ::umask(027);
    {
        FileStream file(u"kalumain.jpg"_s, FileStream::Mode::Create);
        QCOMPARE(file.FullPath(), m_cwd + u"/kalumain.jpg"_s);
        file.Write("abc", 3);
        file.Write("defg", 4);
        QCOMPARE(file.ReadAll(), "abcdefg"_ba);
    }
    ::umask(oldMask);

    QCOMPARE(Contents(u"kalumain.jpg"_s), "abcdefg"_ba);
    struct stat st {};
    QCOMPARE(::stat("kalumain.jpg", &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0640));

    FileStream reader(u"kalumain.jpg"_s, FileStream::Mode::OpenRead);
    QCOMPARE(reader.ReadAll(), "abcdefg"_ba);
}

void tst_FileStream::createEmptiesExistingFile()
{
    Put(u"kalumain.jpg"_s, QByteArray(100'000, 'x'));
    FileStream file(u"kalumain.jpg"_s, FileStream::Mode::Create);
    QCOMPARE(QFileInfo(u"kalumain.jpg"_s).size(), 0);
    file.Write("new", 3);
    file.Close();
    QCOMPARE(Contents(u"kalumain.jpg"_s), "new"_ba);
}

void tst_FileStream::secondCreateFailsAndLeavesFileAlone()
{
    FileStream holder(u"kalumain.jpg"_s, FileStream::Mode::Create);
    holder.Write("held", 4);
    try {
        FileStream second(u"kalumain.jpg"_s, FileStream::Mode::Create);
        QFAIL("a second exclusive open succeeded");
    } catch (const platform::Error &e) {
        QCOMPARE(e.message(), u"ファイル \""_s % m_cwd % u"/kalumain.jpg\" を作成できません。"_s
                                  % SystemText(EWOULDBLOCK));
    }
    QCOMPARE(Contents(u"kalumain.jpg"_s), "held"_ba);
}

void tst_FileStream::createAgainAfterClose()
{
    {
        FileStream first(u"kalumain.jpg"_s, FileStream::Mode::Create);
        first.Write("one", 3);
    } // the destructor releases the lock
    FileStream second(u"kalumain.jpg"_s, FileStream::Mode::Create);
    second.Write("two", 3);
    second.Close();
    FileStream third(u"kalumain.jpg"_s, FileStream::Mode::Create);
    QCOMPARE(third.ReadAll(), QByteArray());
}

void tst_FileStream::createErrors_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error");
    QTest::newRow("symbolic link") << u"kalumain.jpg"_s << ELOOP;
    QTest::newRow("a folder") << u"folder"_s << EISDIR;
    QTest::newRow("missing folder") << u"nowhere/kalumain.jpg"_s << ENOENT;
}

void tst_FileStream::createErrors()
{
    QFETCH(QString, name);
    QFETCH(int, error);
    Put(u"target"_s, "keep"_ba);
    QVERIFY(QFile::link(u"target"_s, u"kalumain.jpg"_s));
    QVERIFY(QDir().mkdir(u"folder"_s));

    try {
        FileStream file(name, FileStream::Mode::Create);
        QFAIL("no error");
    } catch (const platform::Error &e) {
        QCOMPARE(e.message(), u"ファイル \""_s % m_cwd % u'/' % name % u"\" を作成できません。"_s
                                  % SystemText(error));
    }
    QCOMPARE(Contents(u"target"_s), "keep"_ba);
}

void tst_FileStream::writeFailureKeepsWhatWasWritten()
{
    // A file size limit makes the kernel write part of the buffer, then refuse.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    QCOMPARE(::sigaction(SIGXFSZ, &ignore, &old), 0);
    rlimit oldLimit {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit limit = oldLimit;
    limit.rlim_cur = 1000;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    QString message;
    {
        FileStream file(u"kalumain.jpg"_s, FileStream::Mode::Create);
        try {
            file.Write(QByteArray(4000, 'z').constData(), 4000);
        } catch (const platform::Error &e) {
            message = e.message();
        }
    }
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::sigaction(SIGXFSZ, &old, nullptr);

    QCOMPARE(message, u"ファイル \""_s % m_cwd % u"/kalumain.jpg\" に書き込めません。"_s
                          % SystemText(EFBIG));
    QCOMPARE(Contents(u"kalumain.jpg"_s), QByteArray(1000, 'z'));
}

void tst_FileStream::openReadMissingFile()
{
    try {
        FileStream file(u"kalumain.jpg"_s, FileStream::Mode::OpenRead);
        QFAIL("no error");
    } catch (const platform::Error &e) {
        QCOMPARE(e.message(), u"ファイル \""_s % m_cwd % u"/kalumain.jpg\" は開けません。"_s
                                  % SystemText(ENOENT));
    }
}

void tst_FileStream::closeTwiceAndWriteAfterClose()
{
    FileStream file(u"kalumain.jpg"_s, FileStream::Mode::Create);
    QVERIFY(file.IsOpen());
    file.Close();
    file.Close();
    QVERIFY(!file.IsOpen());
    QVERIFY_THROWS_EXCEPTION(platform::Error, file.Write("x", 1));
}

QTEST_GUILESS_MAIN(tst_FileStream)
#include "tst_filestream.moc"
