#pragma once

// One entry of the image queue: the file's names and path, size and type texts, pixel size and
// metadata rows. Built once from a file and never changed afterwards, so workers and the window
// may share it.

#include "app/Exif.h"
#include "ci/io/PictureFile.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace app {

class ImageObject {
    Q_GADGET
    Q_PROPERTY(QUrl url READ url CONSTANT)
    Q_PROPERTY(QString filename READ filename CONSTANT)
    Q_PROPERTY(QString filenameWithoutExtension READ filenameWithoutExtension CONSTANT)
    Q_PROPERTY(QString path READ path CONSTANT)
    Q_PROPERTY(QString filesize READ filesize CONSTANT)
    Q_PROPERTY(QString filetype READ filetype CONSTANT)
    Q_PROPERTY(qint64 pxWidth READ pxWidth CONSTANT)
    Q_PROPERTY(qint64 pxHeight READ pxHeight CONSTANT)
    Q_PROPERTY(QString dimensions READ dimensions CONSTANT)
    Q_PROPERTY(QVariantList details READ detailsList CONSTANT)
    Q_PROPERTY(qint64 sortableFilesize READ sortableFilesize CONSTANT)
    Q_PROPERTY(qint64 sortableDimensions READ sortableDimensions CONSTANT)
  public:
    /// The record of the file at `url`, with metadata from the tool at `toolPath` (run for this
    /// file alone; none when empty); nullptr when the file cannot be opened as an image.
    static std::shared_ptr<ImageObject> make(const QUrl& url, const QString& toolPath);
    /// The same with the metadata from a reader that keeps its tool running.
    static std::shared_ptr<ImageObject> make(const QUrl& url, Exif::Reader& reader);

    /// The two halves of make(), for building many records at once. open() takes the names and
    /// the picture's upright size from the file, reading its header and looking through its data
    /// for damage without decoding it (any thread; nullptr when it is no image, or a damaged
    /// one, with the reason in `why`; `headerAccepted`, when given, is called once the header has
    /// been read and accepted, before the data is looked through; `looked`, when given, is
    /// the file as the caller looked at it, which is then read whatever the name leads to by now).
    /// complete() adds what the metadata and the file system say.
    static std::shared_ptr<ImageObject> open(const QUrl& url, std::string* why = nullptr,
                                             const std::function<void()>& headerAccepted = {},
                                             const ci::io::PictureFile* looked = nullptr);
    static std::shared_ptr<ImageObject> complete(std::shared_ptr<ImageObject> opened,
                                                 const Exif::Metadata& metadata);

    const QUrl& url() const { return url_; }
    const QString& filename() const { return filename_; }
    const QString& filenameWithoutExtension() const { return filenameWithoutExtension_; }
    const QString& path() const { return path_; }
    const QString& filesize() const { return filesize_; }
    const QString& filetype() const { return filetype_; }
    qint64 pxWidth() const { return pxWidth_; }
    qint64 pxHeight() const { return pxHeight_; }
    const QString& dimensions() const { return dimensions_; }
    const std::vector<Exif::DetailRow>& details() const { return details_; }
    QVariantList detailsList() const;
    qint64 sortableFilesize() const { return sortableFilesize_; }
    qint64 sortableDimensions() const { return sortableDimensions_; }
    /// The file that was read when it was added: a name that leads to another file later is no
    /// longer this image (see ci::io::PictureFile::openSame).
    const ci::io::FileIdentity& identity() const { return identity_; }

    /// The name without its last extension ("photo.tar.gz" gives "photo.tar").
    static QString deletingPathExtension(const QString& name);
    /// The last extension without the dot; empty for none (and for a name like ".profile").
    static QString pathExtension(const QString& name);

  private:
    ImageObject() = default;

    QUrl url_;
    QString filename_;
    QString filenameWithoutExtension_;
    QString path_;
    QString filesize_;
    QString filetype_;
    qint64 pxWidth_ = 0;
    qint64 pxHeight_ = 0;
    QString dimensions_;
    std::vector<Exif::DetailRow> details_;
    qint64 sortableFilesize_ = 0;
    qint64 sortableDimensions_ = 0;
    ci::io::FileIdentity identity_;
};

using ImageObjectPtr = std::shared_ptr<ImageObject>;
using ImageObjects = std::vector<ImageObjectPtr>;

} // namespace app

Q_DECLARE_METATYPE(app::ImageObjects)
