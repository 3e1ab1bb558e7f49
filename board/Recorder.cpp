#include "Recorder.h"

#include "lang/Exceptions.h"
#include "os/SystemText.h"
#include "protocol/Recording.h"

#include <QDateTime>

#include <cerrno>

namespace board {

Recorder::Recorder(const std::string& path) : file_(path, std::ios::app | std::ios::binary)
{
    if (!file_)
        throw Exception("cannot record to " + path + ": " + SystemText(errno));
    // Each session of the board starts its times again; the remark says when it began.
    file_ << "# marqboard recording from "
          << QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString()
          << ": seconds since then, route, bytes\n"
          << std::flush;
}

void Recorder::Record(Route route, const std::string& bytes)
{
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start_;
    // Flushed at once: a board that is killed keeps what it took, and a reader sees it live.
    file_ << protocol::RecordingLine({since.count(), route == Route::Udp, bytes}) << '\n' << std::flush;
}

} // namespace board
