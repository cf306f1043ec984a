// The launch with the real registry and both real libraries, on the real queues.

#include "AppTestSupport.h"

#include "app/services/Queues.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>

TEST(Launch, RealLibrariesFillTheOverlayAndBothMenus) {
    QTemporaryDir dir;
    app::AppServices services = app::defaultServices(nullptr);
    services.defaults = std::make_shared<app::MemoryDefaults>();
    services.dataFolder = dir.path();
    services.metadataTool.clear();
    app::AppDelegate d(std::move(services));

    qint64 librariesAt = -1, ticksEndedAt = -1;
    QElapsedTimer clock;
    QObject::connect(&d, &app::AppDelegate::FilterEffectsLibraryChanged,
                     [&] { librariesAt = clock.elapsed(); });
    // The tenth tick, and the step the loading starts with.
    QObject::connect(&d, &app::AppDelegate::ProgressOverlayCurrentChanged, [&] {
        if (d.ProgressOverlayCurrent() == 11 && ticksEndedAt < 0)
            ticksEndedAt = clock.elapsed();
    });
    QEventLoop loop;
    QObject::connect(&d, &app::AppDelegate::startupFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit); // a guard against a hang, not a timing
    clock.start();
    d.applicationDidFinishLaunching();
    loop.exec();

    // Ten ticks of 0.1 s come first; what follows them is the catalogue's own time.
    std::printf("libraries with 180 thumbnails ready %lld ms after the launch, %lld ms after the start-up "
                "ticks\n",
                static_cast<long long>(librariesAt), static_cast<long long>(librariesAt - ticksEndedAt));
    EXPECT_FALSE(d.overlayVisible());
    // 10 ticks, one as the loading starts, 180 entries, 5 while the interface initialises: the
    // bar (maximum 195) ends full.
    EXPECT_EQ(d.ProgressOverlayCurrent(), 196);
    EXPECT_EQ(d.ProgressOverlayMax(), 195);
    ASSERT_EQ(d.FilterActionsLibrary().size(), 12u);
    ASSERT_EQ(d.FilterEffectsLibrary().size(), 8u);
    EXPECT_EQ(d.FilterLibrary(), d.FilterEffectsLibrary());
    EXPECT_EQ(d.actionsMenu().size(), 12u);
    ASSERT_EQ(d.effectsMenu().size(), 8u);
    EXPECT_TRUE(d.effectsMenu()[1].separator);
    EXPECT_EQ(d.effectsMenu()[0].submenu.size(), 15u);
}
