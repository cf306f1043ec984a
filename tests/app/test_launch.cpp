#include "AppTestSupport.h"

#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QFileInfo>

using apptest::Harness;

namespace {

app::LaunchHooks fakeHooks(int* registrations) {
    app::LaunchHooks hooks;
    hooks.registerFilters = [registrations] { ++*registrations; };
    hooks.buildActionsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "Loading actions...", {{"Blur", 3}, {"Geometry", 2}});
    };
    hooks.buildEffectsLibrary = [](app::WorkContext& work, const auto& target) {
        return apptest::fakeLibrary(work, target, "Loading photo effects...", {{"Vintage", 2}, {"---", 0}});
    };
    return hooks;
}

} // namespace

TEST(Launch, SequenceFoldersOverlayLibrariesAndMenus) {
    int registrations = 0;
    Harness h(fakeHooks(&registrations));
    auto& d = h.d();
    EXPECT_EQ(d.ProgressSheetCurrent(), 200);
    EXPECT_EQ(d.ProgressSheetMax(), 0);
    EXPECT_EQ(d.mainPresetsDir(), "/");
    EXPECT_EQ(d.ActionsOrEffects(), 1);

    QStringList messages;
    QObject::connect(&d, &app::AppDelegate::ProgressOverlayMessageChanged,
                     [&] { messages << d.ProgressOverlayMessage(); });
    int finished = 0;
    QObject::connect(&d, &app::AppDelegate::startupFinished, [&] { ++finished; });
    gwtest::ConsoleCapture console;

    d.applicationDidFinishLaunching();
    const QString support = h.dir.filePath("data/Glimmerworks");
    EXPECT_TRUE(QFileInfo(support + "/Presets").isDir());
    EXPECT_EQ(d.mainAppSupportDir(), support);
    EXPECT_TRUE(d.presetsMenu().empty());
    EXPECT_EQ(registrations, 1);
    EXPECT_TRUE(d.overlayVisible());
    EXPECT_TRUE(d.wrapperHidden());
    EXPECT_EQ(d.ProgressOverlayAction(), "Starting up");
    EXPECT_EQ(d.ProgressOverlayMessage(), "Loading configuration...");
    EXPECT_EQ(d.ProgressOverlaySubMessage(), "");
    EXPECT_EQ(d.ProgressOverlayMax(), 195);
    EXPECT_EQ(d.ProgressOverlayCurrent(), 0);

    // Ten ticks of 0.1 s before any library work.
    h.queues->advance(0.95);
    EXPECT_EQ(d.ProgressOverlayCurrent(), 9);
    EXPECT_TRUE(d.FilterActionsLibrary().empty());
    h.queues->advance(0.1);
    // 10 ticks, the start of loading, one tick per entry (7).
    EXPECT_EQ(d.ProgressOverlayCurrent(), 18);
    EXPECT_EQ(d.FilterActionsLibrary().size(), 2u);
    EXPECT_EQ(d.FilterEffectsLibrary().size(), 2u);
    EXPECT_EQ(d.FilterLibrary(), d.FilterEffectsLibrary());
    EXPECT_FALSE(d.wrapperHidden());
    EXPECT_EQ(d.ProgressOverlayMessage(), "Initializing UI...");
    EXPECT_EQ(d.ProgressOverlaySubMessage(), "");
    EXPECT_EQ(d.ProgressOverlayAction(), "Starting up");
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"5 actions found", "2 photo effects found",
                                                         "7 filters found in total"}));
    ASSERT_EQ(d.actionsMenu().size(), 2u);
    EXPECT_EQ(d.actionsMenu()[0].title, "Blur");
    EXPECT_EQ(d.actionsMenu()[0].submenu.size(), 3u);
    ASSERT_EQ(d.effectsMenu().size(), 2u);
    EXPECT_TRUE(d.effectsMenu()[1].separator);
    EXPECT_TRUE(d.overlayVisible());
    EXPECT_EQ(finished, 0);

    // Five more ticks, then the overlay goes.
    h.queues->advance(0.5);
    EXPECT_EQ(d.ProgressOverlayCurrent(), 23);
    EXPECT_FALSE(d.overlayVisible());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(messages, (QStringList{"Loading configuration...", "Loading actions...",
                                     "Loading photo effects...", "Initializing UI..."}));

    // The library switch.
    d.setActionsOrEffects(0);
    EXPECT_EQ(d.ActionsOrEffectsLabel(), "Actions");
    EXPECT_EQ(d.FilterLibrary(), d.FilterActionsLibrary());
    d.setActionsOrEffects(-1);
    EXPECT_EQ(d.FilterLibrary(), d.FilterActionsLibrary());
    d.setActionsOrEffects(1);
    EXPECT_EQ(d.ActionsOrEffectsLabel(), "Photo Effects");
    EXPECT_EQ(d.FilterLibrary(), d.FilterEffectsLibrary());
}

TEST(Launch, ExistingSupportFolderAndMissingBuilders) {
    Harness h;
    auto& d = h.d();
    QDir().mkpath(h.dir.filePath("data/Glimmerworks"));
    gwtest::ConsoleCapture console;
    d.applicationDidFinishLaunching();
    // The presets folder is made whenever it is missing, so that saving a preset can work.
    EXPECT_TRUE(QFileInfo(h.dir.filePath("data/Glimmerworks/Presets")).isDir());
    h.queues->advance(2.0);
    EXPECT_FALSE(d.overlayVisible());
    EXPECT_TRUE(d.FilterLibrary().empty());
    EXPECT_TRUE(console.contains("0 filters found in total"));

    // An existing presets folder is listed as it is, hidden files included.
    Harness h2;
    QDir().mkpath(h2.dir.filePath("data/Glimmerworks/Presets"));
    QFile hidden(h2.dir.filePath("data/Glimmerworks/Presets/.hidden"));
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly));
    hidden.close();
    h2.d().applicationDidFinishLaunching();
    ASSERT_EQ(h2.d().presetsMenu().size(), 1u);
    EXPECT_EQ(h2.d().presetsMenu()[0].title, ".hidden");
    EXPECT_FALSE(h2.d().presetsMenu()[0].checked);
}

TEST(Launch, DelegateAnswers) {
    Harness h;
    auto& d = h.d();
    std::vector<bool> show;
    QObject::connect(&d, &app::AppDelegate::showWindowRequested,
                     [&](bool makeKey) { show.push_back(makeKey); });
    EXPECT_TRUE(d.applicationShouldHandleReopen(true));
    EXPECT_TRUE(d.applicationShouldHandleReopen(false));
    d.doReopenWindow();
    EXPECT_EQ(show, (std::vector<bool>{false, true, true}));
    EXPECT_TRUE(d.applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_TRUE(d.applicationSupportsSecureRestorableState());

    // The project URL sets the subtitle in a block of its own.
    d.setCurrentProjectUrl(QUrl::fromLocalFile("/tmp/Holiday.gwProject"));
    EXPECT_EQ(d.windowSubtitle(), "");
    h.queues->drain();
    EXPECT_EQ(d.windowSubtitle(), "Holiday.gwProject");
    d.setCurrentProjectUrl(QUrl());
    h.queues->drain();
    EXPECT_EQ(d.windowSubtitle(), "Untitled Project");
}

TEST(Progress, SteppersTickAndContinueOnce) {
    Harness h;
    auto& d = h.d();
    for (qint64 times : {1, 0, -3}) {
        int continued = 0;
        d.setProgressSheetCurrent(0);
        d.setSheetStepper(0, times);
        d.stepSheetProgress([&](app::AppDelegate&) { ++continued; });
        h.queues->advance(1.0);
        EXPECT_EQ(d.ProgressSheetCurrent(), 1) << times;
        EXPECT_EQ(continued, 1) << times;
    }

    int continued = 0;
    d.setOverlayStepper(0, 10);
    const qint64 start = d.ProgressOverlayCurrent();
    d.stepOverlayProgress([&](app::AppDelegate&) { ++continued; });
    h.queues->advance(0.95);
    EXPECT_EQ(continued, 0);
    EXPECT_EQ(d.ProgressOverlayCurrent() - start, 9);
    h.queues->advance(0.1);
    EXPECT_EQ(continued, 1);
    EXPECT_EQ(d.ProgressOverlayCurrent() - start, 10);
    h.queues->advance(2.0);
    EXPECT_EQ(continued, 1);

    // Finishing: marked at once, the continuation 2.0 s later.
    bool ended = false;
    d.finishProgressSheet([&](app::AppDelegate&) { ended = true; });
    EXPECT_TRUE(d.ProgressSheetSuccess());
    h.queues->advance(1.9);
    EXPECT_FALSE(ended);
    h.queues->advance(0.2);
    EXPECT_TRUE(ended);
    d.endProgressSheet();
    EXPECT_FALSE(d.ProgressSheetSuccess());
    d.endProgressSheet(); // a sheet that is not shown: nothing happens
    EXPECT_FALSE(d.progressSheetVisible());

    int performed = 0;
    d.performOnMainQueue([&](app::AppDelegate&) { ++performed; });
    EXPECT_EQ(performed, 0);
    h.queues->drain();
    EXPECT_EQ(performed, 1);
}

TEST(Confirmations, FlagsCancelAndEmptyKey) {
    Harness h;
    auto& d = h.d();
    auto& dialogs = *h.dialogs;
    int runs = 0;
    auto action = [&] { ++runs; };

    // Cancel without the box: nothing stored, asked again next time.
    dialogs.alertAnswers.push_back({1, false, {}});
    d.confirmAction("Are you sure you want to proceed?", "info", "new-project", action);
    EXPECT_EQ(runs, 0);
    EXPECT_FALSE(h.defaults->contains("new-project"));
    ASSERT_EQ(dialogs.alerts.size(), 1u);
    EXPECT_EQ(dialogs.alerts[0].buttons, (QStringList{"OK", "Cancel"}));
    EXPECT_EQ(dialogs.alerts[0].suppressionTitle, "Don't show this message again");
    EXPECT_EQ(dialogs.alerts[0].informativeText, "info");

    // Cancel with the box ticked: cancelled now, suppressed from then on.
    dialogs.alertAnswers.push_back({1, true, {}});
    d.confirmAction("Are you sure you want to proceed?", "info", "new-project", action);
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(h.defaults->boolForKey("new-project"));
    d.confirmAction("Are you sure you want to proceed?", "info", "new-project", action);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(dialogs.alerts.size(), 2u);

    // OK runs the action.
    dialogs.alertAnswers.push_back({0, false, {}});
    d.confirmAction("Are you sure you want to proceed?", "info", "open-project", action);
    EXPECT_EQ(runs, 2);

    // No key: always asked, no box, nothing stored.
    dialogs.alertAnswers.push_back({0, true, {}});
    d.confirmAction("Are you sure you want to proceed?", "info", "", action);
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(dialogs.alerts.back().suppressionTitle.isEmpty());
    EXPECT_FALSE(h.defaults->contains(""));
}
