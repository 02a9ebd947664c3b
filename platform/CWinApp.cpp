#include "CWinApp.h"

#include "platform/CDialog.h"
#include "platform/QtBridge.h"

#include <QApplication>
#include <QFont>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

CWinApp* g_app = nullptr;

// Gives each dialog's key filter the first look at every key pressed in it or its controls, then applies the
// dialog keys (Enter presses the default button, Escape cancels) before Qt's own handling.
class DialogKeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) {
            return false;
        }
        // A key that a child ignores travels on to its parents; the filter acts where it was first delivered.
        auto* widget = static_cast<QWidget*>(watched);
        QWidget* focus = widget->window()->focusWidget();
        if (widget != (focus ? focus : widget->window())) {
            return false;
        }
        auto* key = static_cast<QKeyEvent*>(event);
        CDialog* dialog = CDialog::fromWidget(widget);
        if (!dialog) {
            return false;
        }
        unsigned virtualKey = 0;
        switch (key->key()) {
        case Qt::Key_Escape:
            virtualKey = VK_ESCAPE;
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            virtualKey = VK_RETURN;
            break;
        default:
            virtualKey = static_cast<unsigned>(key->nativeVirtualKey());
            break;
        }
        return dialog->translateKey(virtualKey, key->modifiers() & Qt::ControlModifier);
    }
};

} // namespace

const char* dialogFontFamily() {
    return "IPAPGothic";
}

CWinApp::CWinApp(const char* appName) : m_appName(CString::fromUtf8(appName)) {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) {
        g_app = nullptr;
    }
}

void CWinApp::requestQuit(int code) {
    m_quitRequested = true;
    m_exitCode = code;
}

CWinApp* AfxGetApp() {
    return g_app;
}

CWnd* AfxGetMainWnd() {
    return g_app ? g_app->m_pMainWnd : nullptr;
}

int AfxMessageBox(const CString& text, unsigned style) {
    CWnd* main = AfxGetMainWnd();
    CString caption = g_app ? g_app->appName() : CString();
    return showMessageBox(main ? main->widget() : nullptr, text, caption, style | MB_ICONEXCLAMATION);
}

int AfxMessageBox(int stringId, unsigned style) {
    CString text;
    text.LoadString(stringId);
    return AfxMessageBox(text, style);
}

void AfxPostQuitMessage(int exitCode) {
    if (g_app) {
        g_app->requestQuit(exitCode);
    }
    // The quit request ends the main window's modal run; the program ends when that run returns.
    auto* main = dynamic_cast<CDialog*>(AfxGetMainWnd());
    if (main && main->isModalRunning()) {
        main->EndDialog(exitCode);
    }
}

bool AfxSocketInit() {
    // A peer's close must show up as a failed send, never as a signal that ends the program.
    std::signal(SIGPIPE, SIG_IGN);
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    return true;
}

void platformInitialize() {
    QApplication::setApplicationName(QStringLiteral("Vesmira"));
    QApplication::setApplicationDisplayName(QString());
    QApplication::setDesktopFileName(QStringLiteral("io.github.vesmira.Vesmira"));
    // The program speaks Japanese whatever the user's locale, the stock dialogs included.
    auto* translator = new QTranslator(qApp);
    if (translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(translator);
    }
    QFont font(QString::fromLatin1(dialogFontFamily()), 9);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
    qApp->installEventFilter(new DialogKeyFilter(qApp));
}

void guardWindowSystemShutdown(int exitCode) {
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return;
    }
    std::thread([exitCode] {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }).detach();
}

int AfxWinMain(int argc, char** argv) {
    QApplication application(argc, argv);
    platformInitialize();
    CWinApp* app = AfxGetApp();
    if (!app) {
        return 1;
    }
    app->InitInstance();
    int exitCode = app->ExitInstance();
    guardWindowSystemShutdown(exitCode);
    return exitCode;
}
