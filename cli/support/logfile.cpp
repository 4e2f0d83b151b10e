// SPDX-License-Identifier: MIT
#include "logfile.h"
#include "host.h"

#include <QDateTime>

#include <filesystem>

namespace Cli {

volatile std::sig_atomic_t outputFileWriting = 0;
volatile std::sig_atomic_t outputFilesStopped = 0;

namespace {

// Where writing to `path` lands: its links followed, also to a file that
// does not exist yet.
std::filesystem::path target(const QString &path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path p = fs::absolute(fs::path(path.toStdU16String()), error);
    for (int hops = 0; hops < 40 && fs::is_symlink(p, error); ++hops) {
        const fs::path next = fs::read_symlink(p, error);
        if (error)
            break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return fs::weakly_canonical(p, error).lexically_normal();
}

} // namespace

bool sameFile(const QString &a, const QString &b)
{
    std::error_code error;
    const std::filesystem::path pa = target(a), pb = target(b);
    if (std::filesystem::exists(pa, error) && std::filesystem::exists(pb, error))
        return std::filesystem::equivalent(pa, pb, error);
    return pa == pb;
}

bool openOutput(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    file.setFileName(path);
    bool fifo = false;
    const bool opened = Host::openFifo(file, path, mode, error, &fifo);
    if (fifo)
        return opened;
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | mode))
        return true;
    *error = file.errorString();
    return false;
}

bool Log::open(const QString &path, QString *error)
{
    return openOutput(m_file, path, QIODevice::Text, error);
}

void Log::line(const QString &text)
{
    if (!isOpen())
        return;
    const QString line =
        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + text;
    if (echo)
        echo(line);
    if (m_file.isOpen())
        writeOutput(m_file, (line + QLatin1Char('\n')).toUtf8(), onFailure);
}

void writeOutput(QFile &file, const QByteArray &bytes,
                 const std::function<void(const QString &)> &onFailure)
{
    outputFileWriting = 1;
    // Checked once the flag is up: a stop that comes later ends the run in
    // its handler, one that came before is seen here.
    if (outputFilesStopped) {
        outputFileWriting = 0;
        return;
    }
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    outputFileWriting = 0;
    if (written)
        return;
    const QString reason = file.errorString();
    file.close();
    if (onFailure)
        onFailure(reason);
}

} // namespace Cli
