#pragma once

// The metadata reader: runs the metadata tool with "-t" and an image path and reads its lines of
// a tag name, a tab and a value.

#include <QString>

#include <map>
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

/// The metadata of the file at `path` as the tool at `toolPath` reports it; empty when the tool is
/// missing, fails to start, runs out of time or writes text that is not UTF-8.
Metadata readExifMetadata(const std::string& path, const QString& toolPath, int timeoutMs = kToolTimeoutMs);

/// Adds the tag of one output line to `map` (a later value replaces an earlier one); a line
/// without exactly one tab adds nothing.
void parseExifLine(const std::string& line, Metadata& map);

/// Every line of the tool's output through parseExifLine.
Metadata parseExifOutput(const std::string& text);

/// The rows of the details table, sorted by tag name (plain byte order).
std::vector<DetailRow> exifDetailRecords(const Metadata& map);

} // namespace app::Exif
