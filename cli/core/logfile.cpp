// SPDX-License-Identifier: MIT
#include "logfile.h"
#include "system.h"

#include <QDateTime>

namespace Cli {

bool openOutput(QFile &file, const QString &path, QIODevice::OpenMode mode, QString *error)
{
    file.setFileName(path);
    bool fifo = false;
    const bool opened = System::openFifo(file, path, mode, error, &fifo);
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
    if (!m_file.isOpen())
        return;
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const QByteArray bytes = (time + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
    writeOutput(m_file, bytes, onFailure);
}

void writeOutput(QFile &file, const QByteArray &bytes,
                 const std::function<void(const QString &)> &onFailure)
{
    if (file.write(bytes) == bytes.size() && file.flush())
        return;
    const QString reason = file.errorString();
    file.close();
    if (onFailure)
        onFailure(reason);
}

} // namespace Cli
