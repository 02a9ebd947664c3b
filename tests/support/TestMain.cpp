#include "platform/CWinApp.h"
#include "platform/TestSeam.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace {

void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // The offscreen platform warns once per dialog that it cannot propagate size hints.
    if (message.contains(QLatin1String("propagateSizeHints"))) {
        return;
    }
    (void)context;
    fprintf(stderr, "%s\n", qPrintable(message));
    if (type == QtFatalMsg) {
        abort();
    }
}

// Fails the running test when a modal window opens that the test did not expect, and checks that every answer a
// test queued was used.
class SeamListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        TestSeam::install([](const std::string& description) { ADD_FAILURE() << description; });
    }
    void OnTestEnd(const testing::TestInfo&) override {
        if (TestSeam::pendingAnswers() != 0) {
            ADD_FAILURE() << TestSeam::pendingAnswers() << " expected modal window(s) never opened";
        }
        TestSeam::clear();
    }
};

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quietMessages);
    // CTest sets the platform; test discovery runs the binary without CTest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    platformInitialize();
    AfxSocketInit();
    CWinApp testApp("Vesmira");
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new SeamListener);
    int result = RUN_ALL_TESTS();
    guardWindowSystemShutdown(result);
    return result;
}
