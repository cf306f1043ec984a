#pragma once

// The metadata reader: runs the metadata tool with "-t", the tags the records use and an image
// path, and reads its lines of a tag name, a tab and a value.

#include <QByteArray>
#include <QString>
#include <QStringList>

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

/// How long a read waits for the tool before giving up on it.
inline constexpr int kToolTimeoutMs = 15000;

/// How much of the tool's output about one file is read. The tags asked for take a few kilobytes;
/// a file that makes the tool write more (a text of gigabytes in it) is taken as having no
/// metadata.
inline constexpr qsizetype kMaxToolOutputBytes = qsizetype(4) << 20;

/// The metadata of the file at `path` as the tool at `toolPath` reports it; empty when the tool is
/// missing, fails to start, runs out of time, writes more than kMaxToolOutputBytes or writes text
/// that is not UTF-8.
Metadata readExifMetadata(const std::string& path, const QString& toolPath, int timeoutMs = kToolTimeoutMs);

/// Adds the tag of one output line to `map` (a later value replaces an earlier one); a line
/// without exactly one tab adds nothing.
void parseExifLine(const std::string& line, Metadata& map);

/// Every line of the tool's output through parseExifLine.
Metadata parseExifOutput(const std::string& text);

/// The file's path as the tool is given it: absolute, so that no name passes for an option;
/// nothing for a name that is not UTF-8 (such a file has no metadata).
std::optional<QString> toolArgument(const std::string& path);

/// The tool's arguments for the file at `absolute` (a toolArgument()): "-t", the tags the records
/// use, and the path last.
QStringList toolArguments(const QString& absolute);

/// The tool's output as read: the parsed lines, or an empty map when it is not UTF-8 or cannot be
/// read (the reason on the console). Never throws.
Metadata decodeToolOutput(const QByteArray& output);

/// What a read of `path` gives when the tool writes more than kMaxToolOutputBytes: an empty map,
/// with the reason on the console.
Metadata outputTooLong(const std::string& path);

/// The metadata tool kept running between reads ("-stay_open True -@ -"), so that a read costs
/// the tool's work on one file instead of its start-up. One process answers the reads one after
/// another, from a thread of the reader's own. A tool that has died is started again by the next
/// read; one that does not answer a read within the time limit, or writes more than
/// kMaxToolOutputBytes for it, is killed (the read gives an empty map). A tool that cannot work
/// this way (it ends before its first answer) is run once per read as readExifMetadata() does.
/// The reader ends its tool when stopped or destroyed, and the tool also ends when the
/// application does, however it ends.
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
    /// Starts the tool now, unless it runs, so that the first read need not wait for it to
    /// start. Any thread; returns at once.
    void prepare();
    /// Ends the tool (a read that waits for it gives an empty map) and waits until it has gone.
    /// Later reads give empty maps. Any thread but the reader's own.
    void stop();
    /// The process id of the tool while it runs, else 0.
    int processId() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// The rows of the details table, sorted by tag name (plain byte order).
std::vector<DetailRow> exifDetailRecords(const Metadata& map);

} // namespace app::Exif
