#include "app/ImageObject.h"

#include "ci/core/Console.h"
#include "ci/io/Codec.h"
#include "platform/FilePath.h"

#include <QVariantMap>

#include <optional>
#include <regex>

namespace app {

namespace {

std::optional<qint64> decimalInteger(const std::string& text) {
    static const std::regex pattern("^[+-]?[0-9]+$");
    if (!std::regex_match(text, pattern))
        return std::nullopt;
    try {
        return std::stoll(text);
    } catch (...) {
        return std::nullopt;
    }
}

QString lastPathComponent(const QString& path) {
    QString p = path;
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    const auto slash = p.lastIndexOf('/');
    return slash < 0 ? p : p.mid(slash + 1);
}

} // namespace

QString ImageObject::deletingPathExtension(const QString& name) {
    const auto dot = name.lastIndexOf('.');
    return dot > 0 ? name.left(dot) : name;
}

QString ImageObject::pathExtension(const QString& name) {
    const auto dot = name.lastIndexOf('.');
    return dot > 0 ? name.mid(dot + 1) : QString();
}

namespace {

/// The file of `url` looked at once, for both its record and its metadata; nothing when its name
/// is no path that can be opened.
Exif::LookPtr lookAtUrl(const QUrl& url) {
    const QString path = platform::localPath(url);
    return platform::isValidPath(path) ? Exif::lookAt(platform::pathBytes(path)) : nullptr;
}

} // namespace

std::shared_ptr<ImageObject> ImageObject::make(const QUrl& url, const QString& toolPath) {
    const Exif::LookPtr look = lookAtUrl(url);
    auto record = look ? open(url, nullptr, {}, look.get()) : nullptr;
    if (!record)
        return nullptr;
    return complete(std::move(record), Exif::readExifMetadata(*look, toolPath));
}

std::shared_ptr<ImageObject> ImageObject::make(const QUrl& url, Exif::Reader& reader) {
    const Exif::LookPtr look = lookAtUrl(url);
    auto record = look ? open(url, nullptr, {}, look.get()) : nullptr;
    if (!record)
        return nullptr;
    return complete(std::move(record), reader.read(look));
}

std::shared_ptr<ImageObject> ImageObject::open(const QUrl& url, std::string* why,
                                               const std::function<void()>& headerAccepted,
                                               const ci::io::PictureFile* looked) {
    std::shared_ptr<ImageObject> record(new ImageObject());
    record->url_ = url;
    // Names are bytes: one that is not UTF-8 is kept as it is, so the file can be opened again.
    record->path_ = platform::localPath(url);
    record->filename_ = lastPathComponent(record->path_);
    record->filenameWithoutExtension_ = deletingPathExtension(record->filename_);
    // A NUL would end the name early, and another file would be read.
    if (!platform::isValidPath(record->path_))
        return nullptr;

    // Only a regular file is an image: the probe refuses anything else before the metadata tool
    // could be started on a pipe or a device and wait on it. The header gives the size; the data
    // is looked through so that a damaged file is turned away here, as a decode would, without
    // the time and memory of one.
    const std::string path = platform::pathBytes(record->path_);
    // Read through a description of the program's own: the look's is the metadata tool's too.
    const auto file = looked ? looked->reopen() : ci::io::PictureFile::open(path);
    if (!file) {
        if (why)
            *why = file.error();
        return nullptr;
    }
    const auto probe = ci::io::probeFile(file.value(), ci::io::ProbeDepth::Data, headerAccepted);
    if (!probe) {
        if (why)
            *why = probe.error();
        return nullptr;
    }
    record->pxWidth_ = probe->width;
    record->pxHeight_ = probe->height;
    record->identity_ = file->identity();
    record->sortableFilesize_ = file->size();
    return record;
}

std::shared_ptr<ImageObject> ImageObject::complete(std::shared_ptr<ImageObject> record,
                                                   const Exif::Metadata& metadata) {
    auto value = [&](const char* key) -> const std::string* {
        auto it = metadata.find(key);
        return it == metadata.end() ? nullptr : &it->second;
    };

    bool sized = false;
    if (const auto* size = value("Image Size")) {
        const auto* w = value("Image Width");
        const auto* h = value("Image Height");
        const auto width = w ? decimalInteger(*w) : std::nullopt;
        const auto height = h ? decimalInteger(*h) : std::nullopt;
        // Metadata the tool could not state plainly must not reject an image we can read.
        if (width && height) {
            record->dimensions_ = QString::fromStdString(*size);
            record->pxWidth_ = *width;
            record->pxHeight_ = *height;
            sized = true;
        }
    }
    if (!sized)
        record->dimensions_ = QString("%1x%2").arg(record->pxWidth_).arg(record->pxHeight_);
    record->sortableDimensions_ = record->pxWidth_ * record->pxHeight_;

    // The size of the file that was read, not of whatever its name leads to by now.
    const auto* fileSize = value("File Size");
    record->filesize_ =
        fileSize ? QString::fromStdString(*fileSize) : QString::number(record->sortableFilesize_);

    const auto* fileType = value("File Type");
    record->filetype_ = fileType ? QString::fromStdString(*fileType) : pathExtension(record->filename_);
    record->details_ = Exif::exifDetailRecords(metadata);
    return record;
}

QVariantList ImageObject::detailsList() const {
    QVariantList list;
    for (const auto& row : details_) {
        QVariantMap map;
        map["dKey"] = QString::fromStdString(row.dKey);
        map["dVal"] = QString::fromStdString(row.dVal);
        list.push_back(map);
    }
    return list;
}

} // namespace app
