#include "UiTestSupport.h"

#include "ui/LibraryPanel.h"

#include <gtest/gtest.h>

#include <QListView>
#include <QMouseEvent>

using uitest::key;
using uitest::WindowHarness;

TEST(Library, DoubleClickOrEnterOnAnEntryAddsIt) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    ASSERT_TRUE(uitest::activate(w));
    auto* view = w.library()->entriesView();
    auto* model = w.library()->model();
    QApplication::processEvents();

    const QRect second = view->visualRect(model->index(1));
    ASSERT_TRUE(second.isValid());
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                      QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, QPointF(second.center()),
                          view->viewport()->mapToGlobal(QPointF(second.center())), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &click);
    }
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0]->name(), "Vintage 1");

    view->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Left);
    EXPECT_EQ(view->currentIndex().row(), 0);
    key(Qt::Key_Return);
    ASSERT_EQ(d.CurrentFilters().size(), 2u);
    EXPECT_EQ(d.CurrentFilters()[1]->name(), "Vintage 0");
    EXPECT_NE(d.CurrentFilters()[1], d.FilterEffectsLibrary()[0]->filters()[0]);
    h.settle(2);
}

TEST(Library, ThumbnailsAreDrawnInTheScreensOwnPixels) {
    QImage sample(150, 100, QImage::Format_RGB32);
    for (int y = 0; y < sample.height(); ++y)
        for (int x = 0; x < sample.width(); ++x)
            sample.setPixelColor(x, y, (x / 3 + y / 3) % 2 ? Qt::white : Qt::black);
    for (double ratio : {1.0, 1.5, 2.0}) {
        const QImage thumb = ui::libraryThumbnail(sample, ratio);
        EXPECT_EQ(thumb.size(), (QSizeF(96, 64) * ratio).toSize()) << ratio;
        EXPECT_DOUBLE_EQ(thumb.devicePixelRatio(), ratio);
        EXPECT_EQ(thumb.deviceIndependentSize(), QSizeF(96, 64));
    }
    EXPECT_TRUE(ui::libraryThumbnail(QImage(), 2).isNull());

    // The window's thumbnails follow the ratio of the screen they are on.
    WindowHarness h;
    h.settle(0.1);
    auto* view = h.window->library()->entriesView();
    const QPixmap shown = h.window->library()->model()->index(0).data(Qt::DecorationRole).value<QPixmap>();
    EXPECT_DOUBLE_EQ(shown.devicePixelRatio(), view->devicePixelRatioF());
    EXPECT_EQ(shown.deviceIndependentSize(), QSizeF(96, 64));
}
