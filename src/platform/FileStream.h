#pragma once

#include "platform/Stream.h"

#include <QByteArray>
#include <QString>

namespace platform {

// A file opened the way the banner tick needs it, on POSIX calls.
class FileStream : public Stream
{
public:
    enum class Mode {
        // Read and write, exclusive (an advisory lock that others can see):
        // created when absent, emptied when present. A symbolic link is refused.
        // Failure: "ファイル "<full path>" を作成できません。<system text>"
        Create,
        // Read only. Failure: "ファイル "<full path>" は開けません。<system text>"
        OpenRead,
    };

    FileStream(const QString &fileName, Mode mode);
    ~FileStream() override;
    FileStream(const FileStream &) = delete;
    FileStream &operator=(const FileStream &) = delete;

    void Write(const char *data, std::size_t size) override;
    QByteArray ReadAll();
    // Closing twice is harmless; the destructor closes too.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The absolute path, as the error messages show it.
    const QString &FullPath() const { return m_fullPath; }

private:
    int m_fd = -1;
    QString m_fullPath;
};

} // namespace platform
