#include "platform/FileStream.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "platform/Error.h"

namespace platform {

using namespace Qt::StringLiterals;

namespace {

// Far beyond any banner; keeps a stray huge file from exhausting memory.
constexpr qsizetype MaxSize = qsizetype(1) << 30;

QString SystemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// "ファイル "<path>" <what>。<system text>"
[[noreturn]] void Fail(const QString &fullPath, const QString &what, int error)
{
    throw Error(u"ファイル \"" % fullPath % u"\" " % what % u"。" % SystemText(error));
}

} // namespace

FileStream::FileStream(const QString &fileName, Mode mode)
    // Shown as typed against the working folder: symbolic links stay unresolved.
    : m_fullPath(QDir::current().absoluteFilePath(fileName))
{
    const QByteArray path = QFile::encodeName(m_fullPath);
    if (mode == Mode::OpenRead) {
        do {
            m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0)
            Fail(m_fullPath, u"は開けません"_s, errno);
        return;
    }

    const QString cannotCreate = u"を作成できません"_s;
    // No O_TRUNC: a file that another instance holds must stay as it is, so it
    // is emptied only once the lock is ours.
    do {
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0)
        Fail(m_fullPath, cannotCreate, errno);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) < 0 || ::ftruncate(m_fd, 0) < 0) {
        const int error = errno;
        Close();
        Fail(m_fullPath, cannotCreate, error);
    }
}

FileStream::~FileStream()
{
    Close();
}

void FileStream::Write(const char *data, std::size_t size)
{
    if (m_fd < 0)
        Fail(m_fullPath, u"に書き込めません"_s, EBADF);
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            Fail(m_fullPath, u"に書き込めません"_s, errno);
        }
        data += written;
        size -= std::size_t(written);
    }
}

QByteArray FileStream::ReadAll()
{
    const QString cannotRead = u"を読み込めません"_s;
    if (m_fd < 0)
        Fail(m_fullPath, cannotRead, EBADF);

    QByteArray bytes;
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && st.st_size > 0 && st.st_size < MaxSize)
        bytes.reserve(qsizetype(st.st_size));

    // From the start whatever the position, so a Create stream reads back what it wrote.
    off_t offset = 0;
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t got = ::pread(m_fd, chunk, sizeof chunk, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            Fail(m_fullPath, cannotRead, errno);
        }
        if (got == 0)
            break;
        if (bytes.size() > MaxSize - got)
            Fail(m_fullPath, cannotRead, EFBIG);
        bytes.append(chunk, got);
        offset += got;
    }
    return bytes;
}

void FileStream::Close()
{
    if (m_fd < 0)
        return;
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    ::close(m_fd);
    m_fd = -1;
}

} // namespace platform
