// The test programs' entry point: a Qt application object exists for the whole run, because
// fonts, painters, timers and queued calls need one. Tests run without a display.

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
#include <oneapi/tbb/global_control.h>
#endif

#ifdef GW_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_THREAD__)
    // oneTBB is not built with ThreadSanitizer, which therefore cannot see how its scheduler
    // orders a parallel loop's tiles around the loop. Under it the tiles run on the thread that
    // asks for them, so that what remains to check are the races between our own threads.
    tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
#endif
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
