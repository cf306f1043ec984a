#pragma once

// The metadata reader: runs the metadata tool with "-t" and an image path, and reads its lines of a
// tag name, a tab and a value. The tool parses the file's bytes, which may be an attacker's, with a
// large parser of its own, so it always runs confined (src/confined/Confined.cpp): it can read the
// files it is asked about and nothing beyond what it needs itself, write nothing, start nothing, and
// has a bound on its memory and on its CPU time per file.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "app/ExifGrant.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app::Exif {

using Metadata = std::map<std::string, std::string>;

/// One row of the details table: "dKey" and "dVal".
struct DetailRow {
    std::string dKey;
    std::string dVal;
    bool operator==(const DetailRow&) const = default;
};

/// How long a read waits for the tool before giving up on it: for a tool run once per file, its
/// start and its work; for one kept running, its start.
inline constexpr int kToolTimeoutMs = 15000;

/// How much of the tool's output about one file is read. A photo's tags take a few kilobytes; a
/// file that makes the tool write more (a text of gigabytes in it) is taken as having no metadata.
inline constexpr qsizetype kMaxToolOutputBytes = qsizetype(4) << 20;

/// The tool's address space: a photo takes it some tens of megabytes.
inline constexpr uint64_t kToolMemoryBytes = uint64_t(1) << 30;
/// CPU seconds the tool is given for one file, beyond the second it is in: a photo takes it a few
/// milliseconds.
inline constexpr int kToolCpuSecondsPerFile = 1;
/// CPU seconds a tool kept running may use in all; it is started again before it gets there.
inline constexpr int kToolCpuCeilingSeconds = 600;
/// How long the tool kept running has for one file once it has started: its CPU time for the file
/// and a little more, not counting the time it waits for a processor on a busy machine. A tool that
/// stalls uses no CPU time, and must not hold up the files after.
inline constexpr int kToolFileDeadlineMs = kToolCpuSecondsPerFile * 1000 + 100;
/// How long one file may keep the tool however busy the machine: the time it waits for a processor
/// is added to kToolFileDeadlineMs up to here, and no further (a tool that yields its processor
/// again and again is always waiting for one).
inline constexpr int kToolFileWallMs = 3000;

/// The metadata of the file at `path` as the tool at `toolPath` reports it; empty when the path is
/// no regular file, the tool is missing, fails to start, runs out of time, goes past its limits
/// (the reason on the console) or writes more than kMaxToolOutputBytes.
Metadata readExifMetadata(const std::string& path, const QString& toolPath, int timeoutMs = kToolTimeoutMs);
/// The same for a file looked at: the tool is given the look's descriptor and reads that file,
/// whatever its name leads to by now. Why it gave no metadata, when it failed, in `failure`.
Metadata readExifMetadata(const ci::io::PictureFile& file, const QString& toolPath,
                          int timeoutMs = kToolTimeoutMs, std::string* failure = nullptr);

/// The command (program first) that runs the tool at `toolPath` with `arguments`, confined: it can
/// read `readable` (files, or folders and what they hold, and what it needs itself) and the files
/// open on its descriptors `readableFiles` (which it must inherit), has kToolMemoryBytes of address
/// space and a soft and a hard limit of `cpuSeconds` and `cpuCeiling` seconds of CPU time. Empty
/// when the launcher or the tool cannot be found, or the launcher cannot confine the tool here (the
/// console says once why): the tool is never run unconfined.
QStringList confinedCommand(const QString& toolPath, const std::vector<std::string>& readable, int cpuSeconds,
                            int cpuCeiling, const QStringList& arguments,
                            const std::vector<int>& readableFiles = {});

/// Adds the tag of one output line to `map` (a later value replaces an earlier one); a line
/// without exactly one tab adds nothing.
void parseExifLine(const std::string& line, Metadata& map);

/// Every line of the tool's output through parseExifLine.
Metadata parseExifOutput(const std::string& text);

/// The file's path as the tool would name it: absolute; nothing for a name that is not UTF-8 (such
/// a file has no metadata).
std::optional<QString> toolArgument(const std::string& path);

/// The tool's arguments for the file it holds open on its descriptor `fd`: "-t" and that descriptor's
/// name, which leads to the file it was given whatever the file's own name leads to.
QStringList toolArguments(int fd);

/// `map`, a tool's answer about the file by its descriptor, with the file's name and folder as the
/// file is named at `path` (a toolArgument()), as the tool would have said them.
Metadata withNames(Metadata map, const QString& path);

/// The tool's output as read: the parsed lines, or an empty map when it cannot be read (the reason
/// on the console). Each valid UTF-8 sequence is read as UTF-8 and every other byte as
/// Windows-1252 (texts that older software wrote in Windows-1252 or Latin-1, which the tool passes
/// on as they are), its five undefined bytes as dots, as the tool writes control characters. Never
/// throws.
Metadata decodeToolOutput(const QByteArray& output);

/// Why the tool gave a file no metadata.
enum class ToolFailure {
    OutputTooLong, ///< it wrote more than kMaxToolOutputBytes about it
    OutOfTime,     ///< it went past its CPU time for the file
    OutOfMemory,   ///< it needed more than kToolMemoryBytes
    NoAnswer,      ///< it did not answer within the time limit
    Ended,         ///< it ended while it read the file
    NotStarted,    ///< no tool could be started for it
    Unreadable,    ///< the file could no longer be read, to be handed to the tool
};

/// Why, as a clause ("the metadata tool did not answer within 1.1 s").
std::string toolFailureReason(ToolFailure why, int timeoutMs = kToolTimeoutMs);

/// What a read of `path` gives when the tool failed on it: an empty map, with the reason on the
/// console and in `failure`.
Metadata failedRead(const std::string& path, ToolFailure why, int timeoutMs = kToolTimeoutMs,
                    std::string* failure = nullptr);

/// The metadata tool kept running between reads ("-stay_open True -@ -"), so that a read costs the
/// tool's work on one file instead of its start-up. One process answers the reads one after
/// another, from a thread of the reader's own. It lists no folder, and can read only files that the
/// caller has asked about or announced with prepare() (files it has looked at and checked as
/// pictures, and will ask about), each by the descriptor of the look, never by a name: what it can
/// read is fixed when it starts, so a file it cannot read starts a new tool, able to read that file
/// and those announced since. The next tool is started ahead, for the files announced meanwhile, in
/// time to be ready when the present one has answered about its own. A tool has timeoutMs to
/// start; then, for each file, its soft CPU limit is set to what it has used plus
/// kToolCpuSecondsPerFile and the second it is in, and it has kToolFileDeadlineMs to answer, and
/// more while it waits for a processor (up to kToolFileWallMs in all) or for its file's data to
/// come in from a slow medium (Timing::fileDeadline). A tool that has died before it is asked is
/// started again; one that goes past its limits, does not answer in time, writes more than
/// kMaxToolOutputBytes or dies while it reads a file is ended, and that file has no metadata (the
/// reason on the console) and is not tried again. The next file has a new tool (one is started
/// ahead while a file keeps the tool long). A tool that cannot work this way (it ends before its
/// first answer) is run once per read as readExifMetadata() does. The reader ends its tools when
/// stopped or destroyed, and the tools also end when the application does, however it ends.
class Reader {
  public:
    explicit Reader(QString toolPath, int timeoutMs = kToolTimeoutMs);
    /// Stops the tool.
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// The metadata of the file at `path`, as readExifMetadata() gives it; waits for the reads
    /// asked for before. Any thread.
    Metadata read(const std::string& path);
    /// The same for a file looked at; why the tool gave it no metadata, when it failed on it (see
    /// toolFailureReason()), in `failure`.
    Metadata read(const LookPtr& file, std::string* failure = nullptr);
    /// Announces `files`, looked at and checked as pictures by the caller, who is about to read
    /// them, so that a tool able to read them is started before they are read: now when none runs,
    /// else ahead of the present one's end. Nothing that is not announced or asked about is ever
    /// given to the tool. Any thread; returns at once.
    void prepare(const std::vector<LookPtr>& files = {});
    /// Takes back files announced with prepare() that will not be read after all (their data
    /// proved damaged), so that no tool is started for them alone. Any thread; returns at once.
    void withdraw(const std::vector<LookPtr>& files);
    /// Ends the tool (a read that waits for it gives an empty map) and waits until it has gone.
    /// Later reads give empty maps. Any thread but the reader's own.
    void stop();
    /// The process id of the tool that answers the reads while it runs, else 0.
    int processId() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// The rows of the details table, sorted by tag name (plain byte order).
std::vector<DetailRow> exifDetailRecords(const Metadata& map);

} // namespace app::Exif
