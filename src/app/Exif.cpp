#include "app/Exif.h"

#include "app/services/SystemServices.h"
#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "platform/FilePath.h"

#include <QStringDecoder>

#include <algorithm>

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

/// The tags the records use: their size, type and name, and the facts of the picture that the
/// details table shows. Only these are asked for: the tool then leaves the rest of a file alone,
/// however much text it holds.
const char kTags[] = "FileName FileSize FileModifyDate FileType MIMEType ImageWidth ImageHeight ImageSize "
                     "Megapixels BitsPerSample BitDepth ColorType ColorComponents ColorSpace "
                     "ProfileDescription Orientation XResolution YResolution ResolutionUnit Compression Make "
                     "Model LensModel ExposureTime FNumber ISO FocalLength FocalLengthIn35mmFormat "
                     "ExposureProgram ExposureCompensation MeteringMode Flash WhiteBalance DateTimeOriginal "
                     "CreateDate ModifyDate GPSPosition GPSAltitude Aperture ShutterSpeed Artist Copyright "
                     "ImageDescription Software";

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
    const auto absolute = toolArgument(path);
    if (!absolute)
        return {};
    const auto out = runProcess(toolPath, toolArguments(*absolute), timeoutMs, kMaxToolOutputBytes);
    if (!out)
        return {};
    if (out->overLimit)
        return outputTooLong(path);
    return decodeToolOutput(out->standardOutput);
}

QStringList toolArguments(const QString& absolute) {
    QStringList arguments{"-t"};
    for (const QString& tag : QString(kTags).split(' '))
        arguments << '-' + tag;
    arguments << absolute;
    return arguments;
}

Metadata decodeToolOutput(const QByteArray& output) {
    try {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(output);
        if (decoder.hasError())
            return {};
        return parseExifOutput(text.toStdString());
    } catch (const std::exception& e) {
        ci::console("decodeToolOutput: ⛔️ the metadata tool's output could not be read: " +
                    ci::describeFailure(e));
    }
    return {};
}

Metadata outputTooLong(const std::string& path) {
    ci::console("readExifMetadata: ⛔️ " + path + ": the metadata tool wrote more than " +
                std::to_string(kMaxToolOutputBytes >> 20) + " MB about it; taken as having no metadata");
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
