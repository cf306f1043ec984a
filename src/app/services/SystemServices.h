#pragma once

// Small desktop services of the controller: the user's data folder, the metadata tool and
// running a child process with a time limit.

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace app {

/// The user's data folder (for example ~/.local/share), where the support folder lives.
QString userDataFolder();

/// The metadata tool: "exif/exiftool" beside the executable, else "exiftool" on PATH; empty
/// when neither exists.
QString metadataToolPath();

struct ProcessOutput {
    QByteArray standardOutput;
    int exitCode = 0;
    /// The output went past the limit: the program was killed, the output holds what came first.
    bool overLimit = false;
    /// The signal that ended the program (exitCode is then -1); 0 when it exited.
    int signal = 0;
};

/// Runs `program` with `arguments`, reads its standard output to the end and waits at most
/// `timeoutMs` for it to finish. Nothing when it cannot start or runs out of time (it is killed).
/// An output longer than `outputLimit` bytes (when that is not negative) ends the program.
/// Standard error goes where the application's goes. `inherited` are descriptors the program gets,
/// each (ours, its number in the program). Safe on any thread.
std::optional<ProcessOutput> runProcess(const QString& program, const QStringList& arguments, int timeoutMs,
                                        qsizetype outputLimit = -1,
                                        const std::vector<std::pair<int, int>>& inherited = {});

} // namespace app
