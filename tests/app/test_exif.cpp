#include "AppTestSupport.h"

#include "app/Exif.h"
#include "app/ImageObject.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using app::ImageObject;
using app::Exif::DetailRow;
using app::Exif::Metadata;

namespace {

// A stand-in for the metadata tool that prints a fixed text whatever it is asked.
QString fakeTool(const QTemporaryDir& dir, const QString& output) {
    const QString textPath = dir.filePath("tool-output.txt");
    QFile text(textPath);
    text.open(QIODevice::WriteOnly);
    text.write(output.toUtf8());
    text.close();
    const QString path = dir.filePath("fake-exiftool");
    QFile script(path);
    script.open(QIODevice::WriteOnly);
    script.write(QString("#!/bin/sh\n[ \"$1\" = \"-t\" ] || exit 2\ncat '%1'\n").arg(textPath).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

TEST(Exif, ParsesLinesAndBuildsSortedDetails) {
    Metadata map;
    app::Exif::parseExifLine("ISO\t100", map);
    app::Exif::parseExifLine("  Aperture \t  2.8  ", map);
    app::Exif::parseExifLine("Two\ttabs\there", map);
    app::Exif::parseExifLine("no tab at all", map);
    app::Exif::parseExifLine("ISO\t200", map);
    app::Exif::parseExifLine("aperture\tlower", map);
    app::Exif::parseExifLine("Device Model\t", map);
    EXPECT_EQ(map.size(), 4u);
    EXPECT_EQ(map["Aperture"], "2.8");
    EXPECT_EQ(map["ISO"], "200");
    EXPECT_EQ(map["Device Model"], "");
    EXPECT_EQ(map.count("Two"), 0u);

    map["ExifTool Version Number"] = "12.57";
    map["File Type"] = "JPEG";
    map["File Size"] = "113 kB";
    map["Image Size"] = "640x427";
    map["Red Curve"] = "(Binary data 14 bytes, use -b option to extract)";
    const auto rows = app::Exif::exifDetailRecords(map);
    EXPECT_EQ(rows, (std::vector<DetailRow>{
                        {"Aperture", "2.8"}, {"Device Model", ""}, {"ISO", "200"}, {"aperture", "lower"}}));

    const auto parsed = app::Exif::parseExifOutput("A\t1\r\nB\t2\n\nC\t3");
    EXPECT_EQ(parsed, (Metadata{{"A", "1"}, {"B", "2"}, {"C", "3"}}));
}

TEST(Exif, RealToolOnTestPhotos) {
    const auto jpeg = app::Exif::readExifMetadata(gwtest::dataPath("rocket.jpg"), "/usr/bin/exiftool");
    ASSERT_FALSE(jpeg.empty());
    EXPECT_EQ(jpeg.at("Image Size"), "640x427");
    EXPECT_EQ(jpeg.at("Image Width"), "640");
    EXPECT_EQ(jpeg.at("File Type"), "JPEG");
    EXPECT_EQ(jpeg.at("File Name"), "rocket.jpg");

    auto record =
        ImageObject::make(QUrl::fromLocalFile(apptest::Harness::data("rocket.jpg")), "/usr/bin/exiftool");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->filename(), "rocket.jpg");
    EXPECT_EQ(record->filenameWithoutExtension(), "rocket");
    EXPECT_EQ(record->dimensions(), "640x427");
    EXPECT_EQ(record->pxWidth(), 640);
    EXPECT_EQ(record->pxHeight(), 427);
    EXPECT_EQ(record->sortableDimensions(), 640 * 427);
    EXPECT_EQ(record->filetype(), "JPEG");
    EXPECT_EQ(record->filesize(), QString::fromStdString(jpeg.at("File Size")));
    EXPECT_EQ(record->sortableFilesize(), QFileInfo(apptest::Harness::data("rocket.jpg")).size());
    ASSERT_FALSE(record->details().empty());
    for (size_t i = 1; i < record->details().size(); ++i)
        EXPECT_LT(record->details()[i - 1].dKey, record->details()[i].dKey);
    for (const auto& row : record->details()) {
        EXPECT_NE(row.dKey, "Image Size");
        EXPECT_NE(row.dKey, "File Type");
        EXPECT_EQ(row.dVal.find("option to"), std::string::npos);
    }
    EXPECT_EQ(record->detailsList().size(), qsizetype(record->details().size()));

    const auto png = app::Exif::readExifMetadata(gwtest::dataPath("coffee.png"), "/usr/bin/exiftool");
    EXPECT_EQ(png.at("Image Size"), "600x400");
}

TEST(Exif, MissingOrOddToolFallsBackOnTheImage) {
    QTemporaryDir dir;
    const QString png = dir.filePath("a.png");
    QFile::copy(apptest::Harness::data("coffee.png"), png);

    // No tool: everything from the image and the file system.
    auto plain = ImageObject::make(QUrl::fromLocalFile(png), dir.filePath("no-such-tool"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->dimensions(), "600x400");
    EXPECT_EQ(plain->filesize(), QString::number(QFileInfo(png).size()));
    EXPECT_EQ(plain->filetype(), "png");
    EXPECT_EQ(plain->filename(), "a.png");
    EXPECT_EQ(plain->filenameWithoutExtension(), "a");
    EXPECT_TRUE(plain->details().empty());

    // A tool stating an odd size: the readable image keeps its decoded size.
    auto odd = ImageObject::make(
        QUrl::fromLocalFile(png),
        fakeTool(dir, "Image Size\t1x1\nImage Width\t600 px\nImage Height\t400\nISO\t50\n"));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->dimensions(), "600x400");
    EXPECT_EQ(odd->pxWidth(), 600);
    ASSERT_EQ(odd->details().size(), 3u);

    // A tool's plain statement wins over the image.
    auto stated = ImageObject::make(
        QUrl::fromLocalFile(png),
        fakeTool(
            dir,
            "Image Size\t640x480\nImage Width\t+640\nImage Height\t480\nFile Size\t1 MB\nFile Type\tPNG\n"));
    ASSERT_TRUE(stated);
    EXPECT_EQ(stated->dimensions(), "640x480");
    EXPECT_EQ(stated->sortableDimensions(), 640 * 480);
    EXPECT_EQ(stated->filesize(), "1 MB");
    EXPECT_EQ(stated->filetype(), "PNG");
    EXPECT_TRUE(stated->details().size() == 2u); // Image Width and Image Height

    // Not an image, damaged image: no record.
    const QString text = dir.filePath("notes.png");
    QFile f(text);
    f.open(QIODevice::WriteOnly);
    f.write("just text");
    f.close();
    EXPECT_FALSE(ImageObject::make(QUrl::fromLocalFile(text), "/usr/bin/exiftool"));
    EXPECT_FALSE(
        ImageObject::make(QUrl::fromLocalFile(apptest::Harness::data("truncated.jpg")), "/usr/bin/exiftool"));

    EXPECT_EQ(ImageObject::deletingPathExtension("photo.tar.gz"), "photo.tar");
    EXPECT_EQ(ImageObject::deletingPathExtension(".profile"), ".profile");
    EXPECT_EQ(ImageObject::pathExtension("noext"), "");
}
