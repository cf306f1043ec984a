#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <QImage>

using namespace platform;

TEST(Resources, ApplicationImagesArePresent) {
    for (const char* name : {"the_image", "placeholderImg", "metalic-roof", "createdWith"}) {
        const std::string path = imageResourcePath(name);
        ASSERT_FALSE(path.empty()) << name;
        QImage image(QString::fromStdString(path));
        EXPECT_FALSE(image.isNull()) << name;
        EXPECT_EQ(imageResourceUrl(name), QUrl::fromLocalFile(QString::fromStdString(path)));
    }
    // The catalogue reduces the photo to a quarter: its sides must divide by 4.
    QImage photo(QString::fromStdString(imageResourcePath("the_image")));
    EXPECT_EQ(photo.width() % 4, 0);
    EXPECT_EQ(photo.height() % 4, 0);

    EXPECT_TRUE(imageResourcePath("no-such-image").empty());
    EXPECT_TRUE(imageResourcePath("../resources/the_image").empty());
    EXPECT_TRUE(imageResourceUrl("no-such-image").isEmpty());
}
