#pragma once

// Small desktop services of the controller: the user's data folder, the metadata tool and
// running a child process with a time limit.

#include <QString>
#include <QStringList>

#include <optional>

namespace app {

/// The user's data folder (for example ~/.local/share), where the support folder lives.
QString userDataFolder();

/// The metadata tool: "exif/exiftool" beside the executable, else "exiftool" on PATH; empty
/// when neither exists.
QString metadataToolPath();

struct ProcessOutput {
    QByteArray standardOutput;
    int exitCode = 0;
};

/// Runs `program` with `arguments`, reads its standard output to the end and waits at most
/// `timeoutMs` for it to finish. Nothing when it cannot start or runs out of time (it is killed).
/// Standard error goes where the application's goes. Safe on any thread.
std::optional<ProcessOutput> runProcess(const QString& program, const QStringList& arguments, int timeoutMs);

} // namespace app
