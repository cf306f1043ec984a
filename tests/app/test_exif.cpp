#include "AppTestSupport.h"

#include "app/Exif.h"
#include "app/ImageObject.h"
#include "app/services/SystemServices.h"
#include "support/TestFileSystem.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using app::ImageObject;
using app::Exif::DetailRow;
using app::Exif::Metadata;

namespace {

/// An executable script `name` in `dir`, run by `interpreter`; its path.
QString script(const QTemporaryDir& dir, const QString& name, const QString& body,
               const QString& interpreter = "/bin/sh") {
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(("#!" + interpreter + "\n" + body).toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// A stand-in for the metadata tool that prints a fixed text whatever it is asked. Confined, it can
// start no other program: the shell's own commands only.
QString fakeTool(const QTemporaryDir& dir, const QString& output) {
    return script(dir, "fake-exiftool",
                  QString("[ \"$1\" = \"-t\" ] || exit 2\nprintf '%s' '%1'\n").arg(output));
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
    // Every tag the tool knows, not only those that the records use.
    EXPECT_EQ(jpeg.at("Encoding Process"), "Baseline DCT, Huffman coding");
    EXPECT_EQ(jpeg.at("JFIF Version"), "1.01");

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

namespace {

/// The map without the file's access and change times, which a read itself may move.
Metadata withoutFileTimes(Metadata map) {
    for (auto it = map.begin(); it != map.end();)
        it = it->first.rfind("File ", 0) == 0 && it->first.find("Date/Time") != std::string::npos
                 ? map.erase(it)
                 : std::next(it);
    return map;
}

bool processRuns(int pid) {
    return pid > 0 && ::kill(pid, 0) == 0;
}

/// Whether the child `pid` has ended, and waits to be collected.
bool hasEnded(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

/// The tool's process once the reader has started it; 0 when it does not within seconds.
int waitForProcess(const app::Exif::Reader& reader) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reader.processId() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return reader.processId();
}

/// The files at `paths`, looked at as an import looks at them.
std::vector<app::Exif::LookPtr> looks(const std::vector<std::string>& paths) {
    std::vector<app::Exif::LookPtr> files;
    for (const std::string& path : paths)
        files.push_back(app::Exif::lookAt(path));
    return files;
}

/// A stand-in tool that starts and then never answers.
QString silentTool(const QTemporaryDir& dir) {
    return script(dir, "silent-tool", "while read -r line; do :; done\n");
}

} // namespace

TEST(Exif, KeptToolAnswersAsOneRunPerFile) {
    QTemporaryDir dir;
    // Names that an argument line could take for something else, or that cannot be one line.
    QStringList paths{QString::fromStdString(gwtest::dataPath("rocket.jpg")),
                      QString::fromStdString(gwtest::dataPath("coffee.png"))};
    for (const QString& name :
         {QStringLiteral("a$b@c\"d\\e #1.jpg"), QStringLiteral("  leading.png"), QStringLiteral("фото.jpg"),
          QStringLiteral("two\nlines.png"), QStringLiteral("-dash.jpg")}) {
        const QString path = dir.filePath(name);
        ASSERT_TRUE(QFile::copy(paths[name.endsWith("png") ? 1 : 0], path));
        paths << path;
    }

    // Prepared for files in two folders: one process can read them all.
    app::Exif::Reader reader("/usr/bin/exiftool");
    EXPECT_EQ(reader.processId(), 0);
    std::vector<std::string> files;
    for (const QString& path : paths)
        files.push_back(QFile::encodeName(path).toStdString());
    reader.prepare(looks(files));
    int pid = 0;
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        const std::string file = QFile::encodeName(path).toStdString();
        const Metadata kept = reader.read(file);
        ASSERT_FALSE(kept.empty());
        EXPECT_EQ(withoutFileTimes(kept),
                  withoutFileTimes(app::Exif::readExifMetadata(file, "/usr/bin/exiftool")));
        // One process answers them all.
        if (pid == 0)
            pid = reader.processId();
        EXPECT_EQ(reader.processId(), pid);
    }
    ASSERT_TRUE(processRuns(pid));
    // A file the tool cannot read gives what one run gives.
    EXPECT_EQ(withoutFileTimes(reader.read(dir.filePath("missing.jpg").toStdString())),
              withoutFileTimes(app::Exif::readExifMetadata(dir.filePath("missing.jpg").toStdString(),
                                                           "/usr/bin/exiftool")));

    // Several threads at once: each gets its own file's answer.
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                const QString& path = paths[(t + i) % paths.size()];
                const auto map = reader.read(QFile::encodeName(path).toStdString());
                if (map.at("Image Size") != (path.endsWith("png") ? "600x400" : "640x427") ||
                    (!path.contains('\n') &&
                     map.at("File Name") != QFileInfo(path).fileName().trimmed().toStdString()))
                    ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);

    // A tool that has died is started again for the next read.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    while (!hasEnded(pid))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto again = reader.read(QFile::encodeName(paths[0]).toStdString());
    EXPECT_EQ(again.at("Image Size"), "640x427");
    EXPECT_NE(reader.processId(), pid);
    EXPECT_TRUE(processRuns(reader.processId()));

    // A file it was not given starts it again, able to read that one as well.
    QTemporaryDir other;
    const std::string elsewhere = QFile::encodeName(other.filePath("elsewhere.png")).toStdString();
    ASSERT_TRUE(QFile::copy(paths[1], other.filePath("elsewhere.png")));
    pid = reader.processId();
    EXPECT_EQ(reader.read(elsewhere).at("File Name"), "elsewhere.png");
    EXPECT_NE(reader.processId(), pid);
    EXPECT_EQ(reader.read(files[0]).at("Image Size"), "640x427");

    // Stopped: the tool has gone (and been collected), reads give nothing.
    const int last = reader.processId();
    reader.stop();
    EXPECT_EQ(reader.processId(), 0);
    EXPECT_FALSE(processRuns(last));
    EXPECT_TRUE(reader.read(QFile::encodeName(paths[0]).toStdString()).empty());
    reader.prepare(); // nothing starts after the stop
    EXPECT_EQ(reader.processId(), 0);

    // Prepared: the tool starts without a read, and that process answers the first one; asked
    // again, nothing more starts.
    app::Exif::Reader prepared("/usr/bin/exiftool");
    prepared.prepare(looks({files[0]}));
    const int early = waitForProcess(prepared);
    ASSERT_NE(early, 0);
    prepared.prepare(looks({files[0]}));
    prepared.prepare();
    EXPECT_EQ(prepared.read(files[0]).at("Image Size"), "640x427");
    EXPECT_EQ(prepared.processId(), early);
    prepared.stop();
    EXPECT_FALSE(processRuns(early));
}

TEST(Exif, KeptToolThatHangsOrCannotStayOpen) {
    QTemporaryDir dir;
    const std::string png = gwtest::dataPath("coffee.png");

    // No answer within the limit: killed, an empty map; the next read starts it again.
    app::Exif::Reader silent(silentTool(dir), 300);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.read(png).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(silent.processId(), 0);

    // Stopping while a read waits for the tool ends the wait at once.
    app::Exif::Reader waiting(silentTool(dir), 60000);
    auto pending = std::async(std::launch::async, [&] { return waiting.read(png); });
    while (waiting.processId() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int pid = waiting.processId();
    const auto stopping = std::chrono::steady_clock::now();
    waiting.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
    EXPECT_TRUE(pending.get().empty());
    EXPECT_FALSE(processRuns(pid));

    // A tool that knows only "-t FILE" is run once per read.
    app::Exif::Reader plain(fakeTool(dir, "Image Size\t640x480\nISO\t50\n"));
    for (int i = 0; i < 2; ++i) {
        const auto map = plain.read(png);
        EXPECT_EQ(map, (Metadata{{"Image Size", "640x480"}, {"ISO", "50"}}));
    }
    EXPECT_EQ(plain.processId(), 0);

    // No tool at all.
    EXPECT_TRUE(app::Exif::Reader(dir.filePath("no-such-tool")).read(png).empty());
    EXPECT_TRUE(app::Exif::Reader("").read(png).empty());
}

TEST(Exif, TextsInLegacyEncodingsAreKeptLegible) {
    // Older software wrote a copyright sign or an accented name as Latin-1, which the tool passes on
    // as it is: every tag is kept (as many as the tool writes lines), and those texts read as they
    // were meant.
    const auto tagsOf = [](const std::string& photo) {
        const auto plain = app::runProcess("/usr/bin/exiftool", {"-t", QString::fromStdString(photo)}, 10000);
        return plain ? plain->standardOutput.count('\t') : -1;
    };
    const std::string photo = gwtest::dataPath("latin1-exif.jpg");
    const Metadata once = app::Exif::readExifMetadata(photo, "/usr/bin/exiftool");
    EXPECT_EQ(qsizetype(once.size()), tagsOf(photo));
    EXPECT_EQ(once.at("Copyright"), "\u00a9 Jos\u00e9");
    EXPECT_EQ(once.at("Artist"), "Jos\u00e9");
    EXPECT_EQ(once.at("Make"), "Glimmer Optics");
    EXPECT_EQ(once.at("Image Size"), "64x43");

    app::Exif::Reader reader("/usr/bin/exiftool");
    EXPECT_EQ(withoutFileTimes(reader.read(photo)), withoutFileTimes(once));
    const auto record = ImageObject::make(QUrl::fromLocalFile(QString::fromStdString(photo)), reader);
    ASSERT_TRUE(record);
    const auto& rows = record->details();
    EXPECT_NE(std::find(rows.begin(), rows.end(), DetailRow{"Copyright", "\u00a9 Jos\u00e9"}), rows.end());

    // UTF-8 with one stray Latin-1 byte keeps its UTF-8, and Windows-1252 its quotes, dash, euro
    // sign and caron.
    const std::string mixed = gwtest::dataPath("mixed-text-exif.jpg");
    const Metadata texts = reader.read(mixed);
    EXPECT_EQ(qsizetype(texts.size()), tagsOf(mixed));
    EXPECT_EQ(texts.at("Artist"), "Z\u00fcrich / Z\u00fcrich");
    EXPECT_EQ(texts.at("Copyright"), "Ren\u00e9 \u00a9 2024");
    EXPECT_EQ(texts.at("Image Description"), "\u201cPrague\u201d \u2013 \u0160koda \u20ac 25");
    EXPECT_EQ(texts.at("Make"), "Glimmer Optics");

    // Byte by byte: each valid UTF-8 sequence as UTF-8, every other byte as Windows-1252, the five
    // bytes it leaves undefined as dots, as the tool writes control characters; a sequence cut
    // short or too long a form is bytes of Windows-1252.
    EXPECT_EQ(app::Exif::decodeToolOutput("A\t\xc2\xa9 UTF-8\nB\t\xa9 Jos\xe9\x9b!\nC\t\xe2\x82\n"
                                          "D\t\x81\x8d\x8f\x90\x9d \xc0\xae\xed\xa0\x80\n"
                                          "E\t\xf0\x9f\x93\xb7 \x9f\xff\n"),
              (Metadata{{"A", "\u00a9 UTF-8"},
                        {"B", "\u00a9 Jos\u00e9\u203a!"},
                        {"C", "\u00e2\u201a"},
                        {"D", "..... \u00c0\u00ae\u00ed\u00a0\u20ac"},
                        {"E", "\U0001f4f7 \u0178\u00ff"}}));
}

TEST(Exif, ToolProcessOutputExitCodeFailureAndTimeLimit) {
    // All of a long output, and the exit code.
    auto big = app::runProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero; exit 3"}, 10000);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->standardOutput.size(), 300000);
    EXPECT_EQ(big->exitCode, 3);
    // A program that cannot start.
    EXPECT_FALSE(app::runProcess("/nonexistent/exiftool", {"-t", "x"}, 10000));
    EXPECT_FALSE(app::runProcess("", {}, 10000));

    // A tool that hangs is given up on and killed, not left behind.
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("pid");
    EXPECT_FALSE(
        app::runProcess("/bin/sh", {"-c", QString("echo $$ > '%1'; exec sleep 60").arg(pidFile)}, 1000));
    QFile file(pidFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong());
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0);
}

namespace {

uint32_t crc32(const QByteArray& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian(uint32_t v, int bytes = 4) {
    QByteArray out(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        out[i] = char(v >> (8 * (bytes - 1 - i)));
    return out;
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile out(path);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    return path;
}

/// A copy of coffee.png with a compressed text chunk that inflates to `megabytes` MB: one
/// megabyte compressed on its own (a full flush), its kilobyte repeated.
QString pngWithLargeText(const QTemporaryDir& dir, const QString& name, int megabytes) {
    const QByteArray text(1 << 20, 'A');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    QByteArray block(qsizetype(deflateBound(&z, uLong(text.size()))) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef*>(block.data());
    z.avail_out = uInt(block.size());
    deflate(&z, Z_FULL_FLUSH);
    block.truncate(block.size() - qsizetype(z.avail_out));
    deflateEnd(&z);
    const uLong blockSum = adler32(1, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size()));
    uLong sum = 1;
    QByteArray stream("\x78\xda", 2); // the zlib header, then the blocks and an empty last one
    for (int i = 0; i < megabytes; ++i) {
        stream += block;
        sum = adler32_combine(sum, blockSum, text.size());
    }
    stream += QByteArray("\x03\x00", 2) + bigEndian(uint32_t(sum));

    QFile in(apptest::Harness::data("coffee.png"));
    EXPECT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray png = in.readAll();
    const QByteArray typed = "zTXtComment" + QByteArray(2, '\0') + stream;
    png.insert(33, bigEndian(uint32_t(typed.size() - 4)) + typed + bigEndian(crc32(typed))); // after IHDR
    return writeFile(dir, name, png);
}

/// A copy of rocket.jpg whose XMP nests `depth` elements: the tool's parser takes a time that
/// grows with the square of the depth, seconds at a few thousand.
QString jpegWithNestedXmp(const QTemporaryDir& dir, int depth) {
    QFile in(apptest::Harness::data("rocket.jpg"));
    EXPECT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray jpeg = in.readAll();
    const QByteArray xmp = "http://ns.adobe.com/xap/1.0/" + QByteArray(1, '\0') +
                           "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                           "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
                           "rdf:about='' xmlns:n='n'>" +
                           QByteArray("<n:a>").repeated(depth) + "v" + QByteArray("</n:a>").repeated(depth) +
                           "</rdf:Description></rdf:RDF></x:xmpmeta>";
    jpeg.insert(2, "\xff\xe1" + bigEndian(uint32_t(xmp.size() + 2), 2) + xmp); // after the start
    return writeFile(dir, "nested.jpg", jpeg);
}

} // namespace

TEST(Exif, TheToolIsBoundedPerFile) {
    QTemporaryDir dir;
    const std::string photo = gwtest::dataPath("rocket.jpg");
    // Tens of megabytes of text that the tool writes out whole; a text whose reading needs more
    // memory than the tool has; a parse that takes more CPU time than it has for a file.
    const QString talkative = pngWithLargeText(dir, "talkative.png", 48);
    // Inflating a gigabyte takes the tool about a second: on a slow or busy machine its CPU time may
    // run out before its memory does, and either bound ends it.
    const struct {
        std::string path;
        std::string why, orWhy;
    } files[] = {
        {QFile::encodeName(talkative).toStdString(), "wrote more than 4 MB about it", ""},
        {QFile::encodeName(pngWithLargeText(dir, "huge.png", 1024)).toStdString(),
         "needed more than 1024 MB of memory for it", "took more than its CPU time on it"},
        {QFile::encodeName(jpegWithNestedXmp(dir, 4000)).toStdString(), "took more than its CPU time on it",
         ""},
    };
    gwtest::ConsoleCapture console;
    app::Exif::Reader reader("/usr/bin/exiftool");
    reader.prepare(looks({files[0].path, files[1].path, files[2].path, photo}));
    for (const auto& file : files) {
        SCOPED_TRACE(file.path);
        // Each ends within a few seconds, gives no metadata, says why, is not tried again; the next
        // file has its metadata.
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(reader.read(file.path).empty());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
        EXPECT_EQ(reader.processId(), 0);
        ASSERT_FALSE(console.lines().empty());
        const std::string& said = console.lines().back();
        EXPECT_TRUE(said.find(file.path + ": the metadata tool " + file.why) != std::string::npos ||
                    (!file.orWhy.empty() &&
                     said.find(file.path + ": the metadata tool " + file.orWhy) != std::string::npos))
            << said;
        EXPECT_EQ(reader.read(photo).at("Image Size"), "640x427");
    }
    EXPECT_EQ(console.lines().size(), 3u);

    // Run once per file, likewise; the record still has its image's facts.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(app::Exif::readExifMetadata(files[2].path, "/usr/bin/exiftool").empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    const auto record = ImageObject::make(QUrl::fromLocalFile(talkative), "/usr/bin/exiftool");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->dimensions(), "600x400");
    EXPECT_TRUE(record->details().empty());
    ASSERT_EQ(console.lines().size(), 5u);
    EXPECT_NE(console.lines()[3].find(files[2].why), std::string::npos) << console.lines()[3];
    EXPECT_NE(console.lines()[4].find(files[0].why), std::string::npos) << console.lines()[4];
}

TEST(Exif, TheToolIsConfined) {
    const QString data = QFileInfo(apptest::Harness::data("rocket.jpg")).absolutePath();
    app::Exif::Reader reader("/usr/bin/exiftool");
    EXPECT_FALSE(reader.read(gwtest::dataPath("rocket.jpg")).empty());
    const int pid = reader.processId();
    ASSERT_NE(pid, 0);
    QFile status(QString("/proc/%1/status").arg(pid));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    EXPECT_TRUE(text.contains("\nNoNewPrivs:\t1\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nSeccomp:\t2\n")) << text.toStdString();
    rlimit memory{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_AS, nullptr, &memory), 0);
    EXPECT_EQ(memory.rlim_max, app::Exif::kToolMemoryBytes);

    // Asked to write, or taken over (its "-if" runs Perl), it makes no file and starts no program,
    // even in a folder it can read.
    QTemporaryDir out;
    const QString code =
        QString("open(F, '>%1/opened'); system('/bin/sh', '-c', 'echo > %1/started'); 1").arg(out.path());
    for (const QStringList& request :
         {QStringList{"-o", out.filePath("copy.jpg")}, {"-w", out.path() + "/%f.txt"}, {"-if", code}}) {
        QStringList command =
            app::Exif::confinedCommand("/usr/bin/exiftool", {data.toStdString(), out.path().toStdString()}, 2,
                                       3, request + QStringList{apptest::Harness::data("rocket.jpg")});
        ASSERT_FALSE(command.isEmpty());
        const QString launcher = command.takeFirst();
        EXPECT_TRUE(app::runProcess(launcher, command, 10000));
    }
    EXPECT_TRUE(QDir(out.path()).isEmpty()) << QDir(out.path()).entryList().join(' ').toStdString();
}

namespace {

/// A stand-in for the kept tool, in Perl: it speaks the tool's protocol, and for each file (its
/// name as given in `$file`, its bytes in `$bytes`) runs `perFile`, which prints the lines of its
/// answer; `$answered` counts the answers it gave before.
QString standInTool(const QTemporaryDir& dir, const QString& name, const QString& perFile) {
    return script(dir, name,
                  QString(R"(
$| = 1;
my (@args, $taken, $answered);
while (my $line = <STDIN>) {
    chomp $line;
    if ($line =~ /^-execute(\d*)$/) {
        my $id = $1;
        my ($file) = grep { m{^/} } @args;
        @args = ();
        if (defined $file) {
            my $bytes = '';
            if (open(my $in, '<', $file)) { local $/; $bytes = <$in>; }
%1
            ++$answered;
        }
        print "{ready$id}\n";
    } elsif ($line eq 'False' && @args && $args[-1] eq '-stay_open') {
        exit 0;
    } else {
        push @args, $line;
    }
}
)")
                      .arg(perFile),
                  "/usr/bin/perl");
}

/// A copy of `photo` at `path` with `marker` after its end: a file that a stand-in tool knows by
/// its content, as a crafted file takes over a real one.
void markedCopy(const QString& photo, const QString& path, const QByteArray& marker) {
    QFile in(photo), out(path);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    out.write(in.readAll() + marker);
}

/// The details of a record as a map.
Metadata shownDetails(const ImageObject& record) {
    Metadata shown;
    for (const DetailRow& row : record.details())
        shown[row.dKey] = row.dVal;
    return shown;
}

} // namespace

TEST(Exif, ATakenOverToolReachesOnlyItsFilesAndStallsNoOtherFile) {
    // Photos in a folder that holds the user's secrets as well, one of them reached by a link.
    QTemporaryDir home, elsewhere, tools;
    ASSERT_TRUE(QDir(home.path()).mkpath(".ssh"));
    writeFile(home, ".ssh/id_rsa", "PRIVATE KEY");
    const QString photo = apptest::Harness::data("rocket.jpg");
    ASSERT_TRUE(QFile::copy(photo, elsewhere.filePath("linked.jpg")));
    ASSERT_TRUE(QFile::link(elsewhere.filePath("linked.jpg"), home.filePath("link.jpg")));
    QList<QUrl> urls;
    for (const char* name : {"1.jpg", "take-over.jpg", "2.jpg", "3.jpg", "link.jpg", "4.jpg"}) {
        if (!QFileInfo::exists(home.filePath(name)))
            markedCopy(photo, home.filePath(name), name == std::string("take-over.jpg") ? "TAKE-OVER" : "");
        urls << apptest::Harness::url(home.filePath(name));
    }

    // A tool taken over by "take-over.jpg": for each file it tries to read the secret beside the
    // photos and to list their folder, and once taken over it answers each file just under the time
    // limit.
    const QString tool = standInTool(tools, "taken-over-tool",
                                     QString(R"(
            select(undef, undef, undef, 14) if $taken;
            $taken = 1 if $bytes =~ /TAKE-OVER/;
            my $folder = '%1';
            print "Readable\tyes\n" if length $bytes;
            if (open(my $s, '<', "$folder/.ssh/id_rsa")) { print "Secret\t", scalar <$s>, "\n"; }
            if (opendir(my $d, $folder)) { print "Listing\t", join(',', readdir $d), "\n"; })")
                                         .arg(home.path()));

    // Imported as the window imports them.
    gwtest::ConsoleCapture console;
    apptest::Harness h({}, tool);
    const auto started = std::chrono::steady_clock::now();
    h.d().addImages(urls);
    h.queues->drain();
    // The stall costs about a second, not 14 s for each file after it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(qsizetype(records.size()), urls.size());
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(records[i]->filename().toStdString());
        // The first file after the take-over, when the same tool is asked about it, has no
        // metadata: that tool was ended, and a new one serves the files after it.
        if (i == 2 && records[i]->details().empty()) {
            EXPECT_TRUE(console.contains(urls[2].toLocalFile().toStdString() +
                                         ": the metadata tool did not answer within"));
            continue;
        }
        // Each file can be read, nothing else of its folder.
        EXPECT_EQ(shownDetails(*records[i]), (Metadata{{"Readable", "yes"}}));
    }
}

TEST(Exif, ATakenOverToolReadsNoFileTheImportTurnedAway) {
    // An extracted archive holds a crafted photo, a link to the user's key and a second name of
    // the user's configuration, beside photos.
    QTemporaryDir home, archive, tools;
    ASSERT_TRUE(QDir(home.path()).mkpath(".ssh"));
    const QString key = writeFile(home, ".ssh/id_rsa", "PRIVATE KEY");
    const QString config = writeFile(home, "settings.conf", "TOKEN=secret");
    const QString photo = apptest::Harness::data("rocket.jpg");
    QList<QUrl> urls;
    for (const char* name : {"IMG_1.jpg", "crafted.jpg", "IMG_link.tif", "IMG_hard.tif", "IMG_2.jpg"})
        urls << apptest::Harness::url(archive.filePath(name));
    for (const QUrl& url : {urls[0], urls[1], urls[4]})
        ASSERT_TRUE(QFile::copy(photo, url.toLocalFile()));
    ASSERT_TRUE(QFile::link(key, urls[2].toLocalFile()));
    ASSERT_EQ(
        ::link(QFile::encodeName(config).constData(), QFile::encodeName(urls[3].toLocalFile()).constData()),
        0);

    // A tool taken over by the crafted photo tries, on every file it is asked about, to read the
    // links by their names and by their targets' (every file of the import is the same to it).
    QString tries = R"(            print "Readable\tyes\n" if length $bytes;
)";
    for (const QString& target : {urls[2].toLocalFile(), urls[3].toLocalFile(), key, config})
        tries += QString(R"(            if (open(my $s, '<', '%1')) { print "Read %2\t", scalar <$s>, "\n"; }
)")
                     .arg(target, QFileInfo(target).fileName());
    const QString tool = standInTool(tools, "prying-tool", tries);

    gwtest::ConsoleCapture console;
    apptest::Harness h({}, tool);
    h.d().addImages(urls);
    h.queues->drain();
    // The links are no pictures: they are turned away, and the tool can read neither.
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& record : records) {
        SCOPED_TRACE(record->filename().toStdString());
        EXPECT_EQ(shownDetails(*record), (Metadata{{"Readable", "yes"}}));
    }
}

TEST(Exif, AFileTakenBackIsGivenToNoLaterTool) {
    // A photo announced beside the first, then taken back (its reader turned it away) once the
    // tool started for both runs; a file elsewhere then needs a new tool.
    QTemporaryDir dir, elsewhere, tools;
    const QString photo = apptest::Harness::data("rocket.jpg");
    const QString first = dir.filePath("first.jpg"), refused = dir.filePath("refused.jpg"),
                  later = elsewhere.filePath("later.jpg");
    for (const QString& path : {first, later})
        ASSERT_TRUE(QFile::copy(photo, path));
    markedCopy(photo, refused, "TAKEN-BACK");
    const auto bytes = [](const QString& path) { return QFile::encodeName(path).toStdString(); };
    // Whether it can read the file taken back, through any of its descriptors: it sees no names.
    const QString tool = standInTool(tools, "prying-tool", R"(
            my $read = 'no';
            for my $fd (3 .. 4200) {
                my $name = "/proc/self/fd/$fd";
                next unless -f $name && open(my $f, '<', $name);
                local $/;
                $read = 'yes' if <$f> =~ /TAKEN-BACK/;
            }
            print "Read\t$read\n";
)");

    app::Exif::Reader reader(tool);
    reader.prepare(looks({bytes(first), bytes(refused)}));
    ASSERT_NE(waitForProcess(reader), 0);
    reader.withdraw(looks({bytes(refused)}));
    // The tool that was given it keeps it; the next is not given it again.
    EXPECT_EQ(reader.read(bytes(first)).at("Read"), "yes");
    EXPECT_EQ(reader.read(bytes(later)).at("Read"), "no");
}

TEST(Exif, AToolThatYieldsOrDiesOnAFileCostsThatFileAlone) {
    QTemporaryDir home, tools;
    const QString photo = apptest::Harness::data("rocket.jpg");
    QList<QUrl> urls;
    for (const char* name : {"1.jpg", "yields.jpg", "2.jpg", "dies.jpg", "3.jpg"}) {
        markedCopy(photo, home.filePath(name), QByteArray(name).toUpper());
        urls << apptest::Harness::url(home.filePath(name));
    }
    // "yields.jpg" makes its tool give up its processor again and again instead of answering,
    // which on a busy machine is waiting for one; "dies.jpg" ends a tool that has answered before
    // (a new tool would read it).
    const QString tool = standInTool(tools, "yielding-tool", R"(
            require 'syscall.ph';
            syscall(&SYS_sched_yield) while $bytes =~ /YIELDS/;
            exit 3 if $bytes =~ /DIES/ && $answered;
            print "Answered\t", ($answered ? "after others" : "first"), "\n";)");

    // Imported with every processor busy: the yielding costs its file a few seconds, not the
    // fifteen that a tool has to start.
    std::atomic<bool> busy{true};
    std::vector<std::thread> spinners;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i)
        spinners.emplace_back([&] {
            while (busy.load(std::memory_order_relaxed)) {
            }
        });
    gwtest::ConsoleCapture console;
    apptest::Harness h({}, tool);
    const auto started = std::chrono::steady_clock::now();
    h.d().addImages({urls[0], urls[1], urls[2]});
    h.queues->drain();
    const auto took = std::chrono::steady_clock::now() - started;
    busy = false;
    for (std::thread& spinner : spinners)
        spinner.join();
    EXPECT_LT(took, std::chrono::seconds(10));
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_FALSE(records[0]->details().empty());
    EXPECT_TRUE(records[1]->details().empty());
    EXPECT_FALSE(records[2]->details().empty());
    // Ended as a tool that stalls, or as one that computes when it got a processor to itself.
    const std::string yielding = urls[1].toLocalFile().toStdString() + ": the metadata tool ";
    EXPECT_TRUE(console.contains(yielding + "did not answer within") ||
                console.contains(yielding + "took more than its CPU time on it"));

    // The file that ends its tool has no metadata, and is not tried again with a new tool.
    app::Exif::Reader reader(tool);
    std::vector<std::string> files;
    for (const QUrl& url : {urls[0], urls[3], urls[4]})
        files.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    reader.prepare(looks(files));
    EXPECT_EQ(reader.read(files[0]), (Metadata{{"Answered", "first"}}));
    EXPECT_TRUE(reader.read(files[1]).empty());
    EXPECT_TRUE(console.contains(files[1] + ": the metadata tool ended while it read it"));
    EXPECT_EQ(reader.read(files[2]), (Metadata{{"Answered", "first"}}));
}

namespace {

/// A tool taken over by any file it is asked about, which tries to read `key` by its name.
QString keyHunter(const QTemporaryDir& tools, const QString& key) {
    return standInTool(tools, "key-hunter",
                       QString(R"(
            if (open(my $s, '<', '%1')) { print "Secret\t", scalar <$s>, "\n"; }
            print "Readable\tyes\n" if length $bytes;)")
                           .arg(key));
}

/// Whether any record shows what the tool read of the key.
bool anySecret(const app::ImageObjects& records) {
    return std::any_of(records.begin(), records.end(),
                       [](const auto& record) { return shownDetails(*record).count("Secret") > 0; });
}

} // namespace

TEST(Exif, TheToolIsGivenTheFileLookedAtWhateverItsNameLeadsToLater) {
    QTemporaryDir home, shared, tools;
    ASSERT_TRUE(QDir(home.path()).mkpath(".ssh"));
    const QString key = writeFile(home, ".ssh/id_rsa", "PRIVATE KEY");
    const QString photo = apptest::Harness::data("rocket.jpg");
    const QString tool = keyHunter(tools, key);

    // A share that answers as a photo until it is first read, and as a link to the key from then on.
    {
        QTemporaryDir served;
        for (const char* name : {"turns.jpg", "honest.jpg"})
            ASSERT_TRUE(QFile::copy(photo, served.filePath(name)));
        gwtest::TestFileSystem share(served.path().toStdString(),
                                     {"--link-after-read", "turns.jpg=" + key.toStdString()});
        if (share.mounted()) {
            apptest::Harness h({}, tool);
            h.d().addImages({apptest::Harness::url(QString::fromStdString(share.file("turns.jpg"))),
                             apptest::Harness::url(QString::fromStdString(share.file("honest.jpg")))});
            h.queues->drain();
            ASSERT_FALSE(h.d().CurrentImages().empty());
            EXPECT_FALSE(anySecret(h.d().CurrentImages()));
        } else {
            std::printf("(no share: %s)\n", share.why().c_str());
        }
    }

    // Another user's process swapping names in a shared folder between a photo and a link to the key.
    QList<QUrl> urls;
    std::vector<std::pair<std::string, std::string>> swapped;
    for (int i = 0; i < 5; ++i) {
        const QString name = shared.filePath(QString("IMG_%1.jpg").arg(i)), spare = name + ".spare";
        ASSERT_TRUE(QFile::copy(photo, name));
        ASSERT_TRUE(QFile::link(key, spare));
        swapped.emplace_back(QFile::encodeName(name).toStdString(), QFile::encodeName(spare).toStdString());
        urls << apptest::Harness::url(name);
    }
    ASSERT_TRUE(QFile::copy(photo, shared.filePath("honest.jpg")));
    urls << apptest::Harness::url(shared.filePath("honest.jpg"));
    std::atomic<bool> racing{true};
    std::thread racer([&] {
        while (racing.load())
            for (const auto& [name, spare] : swapped)
                ::renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
    });
    bool secret = false;
    for (int run = 0; run < 6 && !secret; ++run) {
        apptest::Harness h({}, tool);
        h.d().addImages(urls);
        h.queues->drain();
        secret = anySecret(h.d().CurrentImages());
    }
    racing = false;
    racer.join();
    EXPECT_FALSE(secret);
}

TEST(Exif, PicturesKnownOnlyByTheirReaderKeepTheirMetadata) {
    // Pictures written as text show no signature in their first bytes: the tool is given them once
    // their reader, reading the very file that was looked at, has accepted their header.
    QTemporaryDir dir;
    const QString ppm = writeFile(dir, "grid.ppm", "P3\n2 2\n255\n255 0 0 0 255 0\n0 0 255 255 255 255\n");
    const QString svg = writeFile(dir, "ship.svg",
                                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
                                  "<title>Ship</title><rect width=\"40\" height=\"30\" fill=\"red\"/></svg>");
    apptest::Harness h;
    h.d().addImages({apptest::Harness::url(ppm), apptest::Harness::url(svg)});
    h.queues->drain();
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->filetype(), "PPM");
    EXPECT_EQ(records[1]->filetype(), "SVG");
    const auto& details = records[1]->details();
    EXPECT_TRUE(std::any_of(details.begin(), details.end(),
                            [](const auto& row) { return row.dKey == "Title" && row.dVal == "Ship"; }));
}

TEST(Exif, ANameThatBecomesAPipeIsReadAsItWasLookedAt) {
    // Looked at and announced as a photo; a named pipe by that name when the tool reads it.
    QTemporaryDir dir;
    const QString path = dir.filePath("photo.jpg");
    ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), path));
    const std::string name = QFile::encodeName(path).toStdString();
    app::Exif::Reader reader("/usr/bin/exiftool");
    const auto file = app::Exif::lookAt(name);
    reader.prepare({file});
    const std::string pipe = name + ".fifo";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    ASSERT_EQ(::rename(pipe.c_str(), name.c_str()), 0);
    const auto started = std::chrono::steady_clock::now();
    const Metadata read = reader.read(file);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5) * gwtest::slowdown);
    EXPECT_EQ(read.count("Image Size") ? read.at("Image Size") : "", "640x427");
    EXPECT_EQ(read.count("File Name") ? read.at("File Name") : "", "photo.jpg");
}

TEST(Exif, AFileIsAskedAboutOnceWhateverItsNames) {
    // A crafted photo that stalls its tool, listed five times and once more by a second name of it.
    QTemporaryDir home, tools;
    const QString photo = apptest::Harness::data("rocket.jpg");
    markedCopy(photo, home.filePath("crafted.jpg"), "STALLS");
    ASSERT_EQ(::link(QFile::encodeName(home.filePath("crafted.jpg")).constData(),
                     QFile::encodeName(home.filePath("second-name.jpg")).constData()),
              0);
    ASSERT_TRUE(QFile::copy(photo, home.filePath("honest.jpg")));
    QList<QUrl> urls;
    for (int i = 0; i < 5; ++i)
        urls << apptest::Harness::url(home.filePath("crafted.jpg"));
    urls << apptest::Harness::url(home.filePath("second-name.jpg"))
         << apptest::Harness::url(home.filePath("honest.jpg"));
    const QString tool = standInTool(tools, "stalling-tool", R"(
            select(undef, undef, undef, 14) if $bytes =~ /STALLS/;
            print "Answered\tyes\n";)");

    gwtest::ConsoleCapture console;
    apptest::Harness h({}, tool);
    const auto started = std::chrono::steady_clock::now();
    h.d().addImages(urls);
    h.queues->drain();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8) * gwtest::slowdown);
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 7u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(records[i]->details().empty()) << i;
    EXPECT_EQ(shownDetails(*records[6]), (Metadata{{"Answered", "yes"}}));
    // The sheet does not pass that over: each photo added without its metadata is listed, and why.
    EXPECT_FALSE(h.d().ProgressSheetSuccess());
    EXPECT_EQ(h.d().ProgressSheetMessage(), "7 images added, 6 without their metadata");
    const QStringList listed = h.d().ProgressSheetFailedItems();
    ASSERT_EQ(listed.size(), 6);
    EXPECT_TRUE(listed[0].startsWith(QString::fromUtf8("crafted.jpg \u2014 Added without its metadata: the "
                                                       "metadata tool did not answer within")))
        << listed[0].toStdString();
    EXPECT_TRUE(listed[5].startsWith(QString::fromUtf8("second-name.jpg \u2014 Added without its metadata")));
    const auto failures =
        std::count_if(console.lines().begin(), console.lines().end(), [](const std::string& line) {
            return line.find("the metadata tool did not answer within") != std::string::npos;
        });
    EXPECT_EQ(failures, 1);
}

TEST(Exif, PhotosOnASlowShareKeepTheirMetadata) {
    // Eight photos and a large picture after them on one slow medium: while the tool waits for a
    // photo's data, the reader's reads of the large one hold the medium.
    QTemporaryDir served;
    QImage large(1000, 800, QImage::Format_RGB32);
    uint32_t seed = 1;
    for (int y = 0; y < large.height(); ++y)
        for (int x = 0; x < large.width(); ++x)
            large.setPixel(x, y, (seed = seed * 1664525u + 1013904223u) >> 8);
    ASSERT_TRUE(large.save(served.filePath("large.png"), "PNG", 0));
    QList<QUrl> urls;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i)
        names.push_back("photo" + std::to_string(i) + ".jpg");
    names.push_back("large.png");
    for (size_t i = 0; i + 1 < names.size(); ++i)
        ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"),
                                served.filePath(QString::fromStdString(names[i]))));
    gwtest::TestFileSystem share(served.path().toStdString(), {"--rate", "400000", "--latency", "5"});
    if (!share.mounted())
        GTEST_SKIP() << share.why();
    for (const std::string& name : names)
        urls << apptest::Harness::url(QString::fromStdString(share.file(name)));

    gwtest::ConsoleCapture console;
    apptest::Harness h;
    h.d().addImages(urls);
    h.queues->drain();
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 9u);
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        SCOPED_TRACE(records[i]->filename().toStdString());
        EXPECT_EQ(records[i]->filetype(), "JPEG");
        EXPECT_FALSE(records[i]->details().empty());
    }
}

TEST(Exif, AFileThatCannotBeGrantedCostsItsOwnMetadataAlone) {
    // On a share, a name that has become a pipe leaves the descriptor of its look unreadable: that
    // file goes without metadata, with the reason, and the tool goes on for the rest, in this import
    // and the next, after one had already answered.
    QTemporaryDir served, local;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), served.filePath(name)));
    std::vector<std::string> later;
    for (int i = 0; i < 4; ++i) {
        later.push_back(local.filePath(QString("later%1.jpg").arg(i)).toStdString());
        ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), QString::fromStdString(later.back())));
    }
    gwtest::TestFileSystem share(served.path().toStdString(), {"--fifo-after-open", "b.jpg=2"});
    if (!share.mounted())
        GTEST_SKIP() << share.why();
    app::Exif::Reader reader("/usr/bin/exiftool");
    const auto first = looks({later[0]});
    EXPECT_EQ(reader.read(first[0]).count("Image Size"), 1u);

    const auto files = looks({share.file("a.jpg"), share.file("b.jpg"), share.file("c.jpg")});
    ASSERT_TRUE(files[0] && files[1] && files[2]);
    // Opened once more (its reader), and a pipe from then on.
    ::close(::open(share.file("b.jpg").c_str(), O_RDONLY | O_CLOEXEC));
    reader.prepare(files);
    std::string failure;
    EXPECT_EQ(reader.read(files[0], &failure).count("Image Size"), 1u) << failure;
    EXPECT_TRUE(reader.read(files[1], &failure).empty());
    EXPECT_EQ(failure, "the file could no longer be read");
    EXPECT_EQ(reader.read(files[2], &failure).count("Image Size"), 1u) << failure;

    // The next files are read by a tool kept running, not by one started for each.
    const auto next = looks({later[1], later[2], later[3]});
    reader.prepare(next);
    for (const auto& file : next) {
        EXPECT_EQ(reader.read(file, &failure).count("Image Size"), 1u) << failure;
        EXPECT_NE(reader.processId(), 0);
    }
}

namespace {

/// Imports `urls` under a limit of 64 descriptors and ends the process: 0 when every photo was
/// added with its metadata.
[[noreturn]] void importUnderALowLimit(const QList<QUrl>& urls) {
    const rlimit low{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
        std::_Exit(2);
    apptest::Harness h;
    h.d().addImages(urls);
    h.queues->drain();
    const auto& records = h.d().CurrentImages();
    const auto withMetadata =
        std::count_if(records.begin(), records.end(), [](const auto& r) { return !r->details().empty(); });
    std::fprintf(stderr, "%zu records, %zu with metadata\n", records.size(), size_t(withMetadata));
    std::_Exit(records.size() == size_t(urls.size()) && withMetadata == urls.size() ? 0 : 1);
}

} // namespace

TEST(Exif, UnderALowLimitOnDescriptorsPhotosKeepTheirMetadata) {
    // A limit of 64 descriptors, hard and soft, as a shell's "ulimit -n 64" sets: the tool's files
    // go where the limit lets them. In a process of its own, as the limit cannot be raised again.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir dir;
    QList<QUrl> urls;
    for (int i = 0; i < 40; ++i) {
        const QString path = dir.filePath(QString("photo%1.jpg").arg(i));
        ASSERT_TRUE(QFile::copy(apptest::Harness::data("rocket.jpg"), path));
        urls << apptest::Harness::url(path);
    }
    EXPECT_EXIT(importUnderALowLimit(urls), ::testing::ExitedWithCode(0), "40 records, 40 with metadata");
}

TEST(Exif, AToolThatDropsItsFileFromTheCacheBuysNoTime) {
    // A taken-over tool that drops its file from the page cache and reads a page of it back every
    // half second, as a tool waiting on a slow medium would read: the program's own read of the file
    // is over in moments, and the tool is ended soon after its own time, each time.
    QTemporaryDir home, tools;
    const QString photo = apptest::Harness::data("rocket.jpg");
    QList<QUrl> urls;
    for (int i = 0; i < 3; ++i) {
        const QString crafted = home.filePath(QString("crafted%1.jpg").arg(i));
        markedCopy(photo, crafted, "EVICTS" + QByteArray(8 << 20, ' '));
        const QString honest = home.filePath(QString("honest%1.jpg").arg(i));
        ASSERT_TRUE(QFile::copy(photo, honest));
        urls << apptest::Harness::url(crafted) << apptest::Harness::url(honest);
    }
    const QString tool = standInTool(tools, "evicting-tool", R"(
            require 'syscall.ph';
            if ($bytes =~ /EVICTS/ && open(my $again, '<', $file)) {
                for (my $at = 0;; $at = ($at + 4096) % length $bytes) {
                    syscall(&SYS_fadvise64, fileno($again), 0, 0, 4); # POSIX_FADV_DONTNEED
                    select(undef, undef, undef, 0.25);
                    sysseek($again, $at, 0);
                    sysread($again, my $page, 4096);
                    select(undef, undef, undef, 0.25);
                }
            }
            print "Answered\tyes\n";)");

    apptest::Harness h({}, tool);
    const auto started = std::chrono::steady_clock::now();
    h.d().addImages(urls);
    h.queues->drain();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(12) * gwtest::slowdown);
    const auto& records = h.d().CurrentImages();
    ASSERT_EQ(records.size(), 6u);
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i]->details().empty(), i % 2 == 0) << i;
}
