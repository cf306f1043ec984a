// The window's own image loading (parameter thumbnails, the "Original" view): odd files must
// neither block a worker nor be lost for their name, and a file that a reader faults on must not
// end the program.

#include "ui/ImageConvert.h"

#include "support/TestSupport.h"

#include "platform/FilePath.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ImageConvert, PipesAreRefusedAndNamesThatAreNotUtf8Load) {
    gwtest::TempDir tmp;

    // A pipe with no writer would block the reader forever: it must come back empty at once.
    const std::string pipe = tmp.file("pipe.png");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    auto loading =
        std::async(std::launch::async, [&] { return ui::loadImageFile(QString::fromStdString(pipe)); });
    const bool returned = loading.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!returned) // let a blocked reader go, so that a failure does not hang the suite
        ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
    EXPECT_TRUE(returned);
    EXPECT_TRUE(loading.get().isNull());

    // A Latin-1 name ("caf\xe9.png"): Qt alone cannot open it; the bytes must reach the file.
    const std::string latin1 = tmp.file(std::string("caf\xe9.png"));
    std::filesystem::copy_file(gwtest::dataPath("chelsea-small.png"), latin1);
    const QString path = platform::decodePath(QByteArray::fromStdString(latin1));
    const QImage image = ui::loadImageFile(path, 64);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(std::max(image.width(), image.height()), 64);
}

TEST(ImageConvert, AFileThatAReaderFaultsOnIsNoPicture) {
    gwtest::TempDir tmp;
    // A BMP of 24 bits a pixel whose header claims run-length coding (for palettes only), with
    // runs to look up in the palette it does not have.
    std::vector<uint8_t> bmp = {'B', 'M', 138, 0, 0, 0, 0, 0, 0, 0,  54, 0, 0, 0, 40, 0,  0, 0, 8,
                                0,   0,   0,   8, 0, 0, 0, 1, 0, 24, 0,  1, 0, 0, 0,  32, 0, 0, 0};
    bmp.resize(54, 0);
    for (int y = 0; y < 8; ++y)
        bmp.insert(bmp.end(), {8, 0xFF, 0, uint8_t(y < 7 ? 0 : 1)});
    bmp.resize(138, 0);
    gwtest::writeBytes(tmp.file("runs.bmp"), bmp);
    EXPECT_TRUE(ui::loadImageFile(QString::fromStdString(tmp.file("runs.bmp")), 128).isNull());
    // Still here, and reading.
    EXPECT_FALSE(ui::loadImageFile(QString::fromStdString(gwtest::dataPath("rocket.jpg")), 128).isNull());
}

} // namespace
