#include "app/Exif.h"

#include "app/ExifTool.h"
#include "app/services/SystemServices.h"
#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "platform/FilePath.h"
#include "sandbox/Sandbox.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#ifndef GW_CONFINED_BUILD_PATH
#define GW_CONFINED_BUILD_PATH ""
#endif

namespace app::Exif {

namespace {

std::string trimmed(const std::string& s) {
    const char* ws = " \t\n\r\f\v";
    const auto first = s.find_first_not_of(ws);
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

constexpr const char* kLauncherName = "gw_confined";

/// The launcher: beside the program, then where the build put it; empty when in neither place.
const QString& launcherPath() {
    static const QString path = [] {
        QStringList candidates;
        char exe[PATH_MAX];
        if (const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1); n > 0) {
            exe[n] = '\0';
            candidates << QFileInfo(QFile::decodeName(exe)).dir().filePath(kLauncherName);
        }
        candidates << QStringLiteral(GW_CONFINED_BUILD_PATH);
        for (const QString& candidate : candidates) {
            const QFileInfo info(candidate);
            if (!candidate.isEmpty() && info.isFile() && info.isExecutable())
                return candidate;
        }
        ci::console(std::string("readExifMetadata: ⛔️ ") + kLauncherName +
                    " was not found beside the program: no metadata is read");
        return QString();
    }();
    return path;
}

/// Whether the launcher can confine the tool on this system: where the program has Landlock, so has
/// the launcher; else the launcher is asked, once, and where it cannot, the console says why.
bool canConfine(const QString& launcher) {
    static const bool can = [&] {
        if (sandbox::landlockVersion() > 0)
            return true;
        const auto answer = runProcess(launcher, {"--check"}, kToolTimeoutMs, 4096);
        if (!answer || answer->exitCode != 126)
            return true;
        ci::console(
            "readExifMetadata: ⛔️ no metadata is read: the metadata tool cannot be confined here (" +
            trimmed(answer->standardOutput.toStdString()) + ")");
        return false;
    }();
    return can;
}

} // namespace

void parseExifLine(const std::string& line, Metadata& map) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos || line.find('\t', tab + 1) != std::string::npos)
        return;
    map[trimmed(line.substr(0, tab))] = trimmed(line.substr(tab + 1));
}

Metadata parseExifOutput(const std::string& text) {
    Metadata map;
    size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parseExifLine(text.substr(start, end - start), map);
        start = end + 1;
    }
    return map;
}

std::optional<QString> toolArgument(const std::string& path) {
    if (!platform::isValidPath(path))
        return std::nullopt;
    // An absolute path never starts with "-", so no file name can pass for one of the tool's options.
    const QString absolute = platform::absolutePath(platform::decodePath(QByteArray::fromStdString(path)));
    const QByteArray bytes = platform::encodePath(absolute);
    // A name that is not UTF-8 cannot be handed to the tool as it is, and the tool would repeat it
    // in its output, which is then not UTF-8 either: such a file has no metadata.
    if (QString::fromUtf8(bytes).toUtf8() != bytes)
        return std::nullopt;
    return absolute;
}

Metadata readExifMetadata(const std::string& path, const QString& toolPath, int timeoutMs) {
    const LookPtr file = lookAt(path);
    return file ? readExifMetadata(*file, toolPath, timeoutMs) : Metadata{};
}

Metadata readExifMetadata(const ci::io::PictureFile& file, const QString& toolPath, int timeoutMs,
                          std::string* failure) {
    const auto absolute = toolArgument(file.path());
    if (!absolute)
        return {};
    // A run of its own: the second it starts in, and its time for the file. The file is handed
    // over where the tool's own descriptors leave room.
    const int cpu = 1 + kToolCpuSecondsPerFile;
    const std::vector<int> placed = placeToolFiles({file.descriptor()});
    if (placed.empty())
        return {};
    const int fd = placed.front();
    QStringList command = confinedCommand(toolPath, {}, cpu, cpu + 1, toolArguments(fd), {fd});
    if (command.isEmpty()) {
        // The console has said once why no tool can run.
        if (failure)
            *failure = toolFailureReason(ToolFailure::NotStarted);
        return {};
    }
    const QString launcher = command.takeFirst();
    const auto out = runProcess(launcher, command, timeoutMs, kMaxToolOutputBytes, {{file.descriptor(), fd}});
    if (!out)
        return failedRead(file.path(), ToolFailure::NoAnswer, timeoutMs, failure);
    if (out->overLimit)
        return failedRead(file.path(), ToolFailure::OutputTooLong, timeoutMs, failure);
    if (out->signal == SIGXCPU || out->signal == SIGKILL)
        return failedRead(file.path(), ToolFailure::OutOfTime, timeoutMs, failure);
    // The launcher's own refusals: no tool ran.
    if (out->signal == 0 && out->exitCode >= 125 && out->exitCode <= 127)
        return failedRead(file.path(), ToolFailure::NotStarted, timeoutMs, failure);
    return withNames(decodeToolOutput(out->standardOutput), *absolute);
}

QStringList confinedCommand(const QString& toolPath, const std::vector<std::string>& readable, int cpuSeconds,
                            int cpuCeiling, const QStringList& arguments,
                            const std::vector<int>& readableFiles) {
    const QString& launcher = launcherPath();
    const QString tool = toolPath.contains('/') ? toolPath : QStandardPaths::findExecutable(toolPath);
    if (launcher.isEmpty() || !QFileInfo(tool).isExecutable() || !canConfine(launcher))
        return {};
    QStringList command{launcher,
                        "--memory",
                        QString::number(kToolMemoryBytes),
                        "--cpu",
                        QString::number(cpuSeconds),
                        "--cpu-ceiling",
                        QString::number(cpuCeiling)};
    for (const std::string& path : readable)
        if (!path.empty())
            command << "--read" << QString::fromStdString(path);
    for (const int fd : readableFiles)
        command << "--read-fd" << QString::number(fd);
    return command << "--" << QFileInfo(tool).absoluteFilePath() << arguments;
}

QStringList toolArguments(int fd) {
    return {"-t", "/proc/self/fd/" + QString::number(fd)};
}

Metadata withNames(Metadata map, const QString& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (auto it = map.find("File Name"); it != map.end())
        it->second = trimmed(path.mid(slash + 1).toStdString());
    if (auto it = map.find("Directory"); it != map.end())
        it->second = trimmed((slash == 0 ? QStringLiteral("/") : path.left(slash)).toStdString());
    return map;
}

namespace {

/// Windows-1252's characters for the bytes 0x80 to 0x9F (from 0xA0 it is Latin-1). The five it
/// leaves undefined show as dots, as the tool shows control characters.
constexpr char16_t windows1252[32] = {0x20AC, '.',    0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, '.',    0x017D, '.',
                                      '.',    0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, '.',    0x017E, 0x0178};

} // namespace

Metadata decodeToolOutput(const QByteArray& output) {
    try {
        std::string text;
        text.reserve(size_t(output.size()));
        const auto* bytes = reinterpret_cast<const uint8_t*>(output.constData());
        const size_t size = size_t(output.size());
        for (size_t i = 0; i < size;) {
            char32_t code = 0;
            if (const size_t length = size_t(platform::utf8Sequence(bytes + i, qsizetype(size - i), code))) {
                text.append(output.constData() + i, length);
                i += length;
                continue;
            }
            const uint8_t stray = bytes[i++];
            text += QString(QChar(stray < 0xA0 ? windows1252[stray - 0x80] : char16_t(stray))).toStdString();
        }
        return parseExifOutput(text);
    } catch (const std::exception& e) {
        ci::console("decodeToolOutput: ⛔️ the metadata tool's output could not be read: " +
                    ci::describeFailure(e));
    }
    return {};
}

std::string toolFailureReason(ToolFailure why, int timeoutMs) {
    switch (why) {
    case ToolFailure::OutputTooLong:
        return "the metadata tool wrote more than " + std::to_string(kMaxToolOutputBytes >> 20) +
               " MB about it";
    case ToolFailure::OutOfTime:
        return "the metadata tool took more than its CPU time on it";
    case ToolFailure::OutOfMemory:
        return "the metadata tool needed more than " + std::to_string(kToolMemoryBytes >> 20) +
               " MB of memory for it";
    case ToolFailure::NoAnswer:
        return "the metadata tool did not answer within " +
               QString::number(timeoutMs / 1000.0).toStdString() + " s";
    case ToolFailure::Ended:
        return "the metadata tool ended while it read it";
    case ToolFailure::NotStarted:
        return "the metadata tool could not be started";
    case ToolFailure::Unreadable:
        return "the file could no longer be read";
    }
    return {};
}

Metadata failedRead(const std::string& path, ToolFailure why, int timeoutMs, std::string* failure) {
    const std::string reason = toolFailureReason(why, timeoutMs);
    ci::console("readExifMetadata: ⛔️ " + path + ": " + reason + "; taken as having no metadata");
    if (failure)
        *failure = reason;
    return {};
}

std::vector<DetailRow> exifDetailRecords(const Metadata& map) {
    static const char* const skipped[] = {"ExifTool Version Number", "File Type", "File Size", "Image Size"};
    std::vector<DetailRow> rows;
    for (const auto& [key, value] : map) {
        if (std::find(std::begin(skipped), std::end(skipped), key) != std::end(skipped))
            continue;
        if (value.find("option to") != std::string::npos)
            continue;
        rows.push_back({key, value});
    }
    // std::map already orders by byte value, which is the plain comparison the table wants.
    return rows;
}

} // namespace app::Exif
