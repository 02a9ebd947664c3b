#pragma once

#include "ScriptedPeer.h"
#include "TempDir.h"
#include "app/ClientDlg.h"
#include "platform/CWinApp.h"
#include "platform/TestSeam.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <gtest/gtest.h>

#include <memory>

// The main window, opened modelessly in a fresh current folder, and a scripted server for it to talk to.
class ClientFixture : public testing::Test {
protected:
    void TearDown() override {
        closeWindow();
        AfxGetApp()->resetQuitRequest();
    }

    // Opens the main window; without EntryData.txt the registration hint is answered first.
    void openWindow() {
        if (!TempDir::exists("EntryData.txt")) {
            TestSeam::expect([](ModalWindow& box) { box.press(IDOK); });
        }
        m_window = std::make_unique<CClientDlg>();
        AfxGetApp()->m_pMainWnd = m_window.get();
        ASSERT_TRUE(m_window->Create());
    }

    void closeWindow() {
        if (m_window) {
            m_window.reset();
            AfxGetApp()->m_pMainWnd = nullptr;
        }
        m_peer.finish();
    }

    CClientDlg& window() { return *m_window; }
    std::string text(int id) { return m_window->GetDlgItemText(id).toUtf8(); }
    void setText(int id, const std::string& utf8) { m_window->SetDlgItemText(id, CString::fromUtf8(utf8)); }
    void setBytes(int id, const std::string& bytes) { m_window->SetDlgItemText(id, CString(bytes)); }
    std::string title() { return m_window->GetWindowText().toUtf8(); }
    void press(int id) { m_window->sendCommand(id); }
    // A key pressed in the control that has the focus, as the user would.
    void pressKey(unsigned virtualKey) {
        QWidget* target = m_window->widget()->focusWidget() ? m_window->widget()->focusWidget() : m_window->widget();
        QKeyEvent event(QEvent::KeyPress, virtualKey == VK_ESCAPE ? Qt::Key_Escape : Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
    int focusId() {
        QWidget* focus = m_window->widget()->focusWidget();
        return focus ? focus->property("vesmiraControlId").toInt() : -1;
    }
    // Answers the next message box: checks its text and caption, then presses OK.
    static void expectBox(const std::string& text, const std::string& caption) {
        TestSeam::expect([text, caption](ModalWindow& box) {
            EXPECT_EQ(box.kind(), ModalWindow::Kind::MessageBox);
            EXPECT_EQ(box.text(), text);
            EXPECT_EQ(box.caption(), caption);
            box.press(IDOK);
        });
    }

    // Points the window at the scripted peer and presses Connect; the peer runs `script` on the connection.
    void connect(ScriptedPeer::Script script) {
        m_peer.run(std::move(script));
        setText(IDC_ADDRESS, "127.0.0.1");
        setText(IDC_PORT, std::to_string(m_peer.port()));
        press(IDC_CONNECT);
    }

    // Writes EntryData.txt for `user`, opens the window, connects and signs in through the authentication dialog.
    // The peer checks each sign-in message, then runs `afterSignIn`.
    void signIn(const std::string& user, ScriptedPeer::Script afterSignIn) {
        TempDir::write("EntryData.txt", user + "\r\npassword\r\n");
        openWindow();
        authenticate(user, std::move(afterSignIn));
    }

    // Connects the open window and signs in as `user` through the authentication dialog.
    void authenticate(const std::string& user, ScriptedPeer::Script afterSignIn) {
        TestSeam::expect([](ModalWindow& dialog) {
            dialog.setControlText(IDC_JUDGE_PASSWORD, "pw");
            dialog.press(IDC_JUDGE_AUTHENTICATE);
        });
        connect([user, afterSignIn = std::move(afterSignIn)](PeerConnection& peer) {
            peer.send("Hello");
            EXPECT_EQ(peer.read(6), std::string("JUDGE\0", 6));
            peer.send("ok");
            EXPECT_EQ(peer.read(5 + user.size()), "USER:" + user);
            peer.send("ok");
            EXPECT_EQ(peer.read(11), "PASSWORD:pw");
            peer.send("ok");
            afterSignIn(peer);
        });
        ASSERT_TRUE(pumpUntil([this] { return m_window->signedIn() == 1; }));
    }

    TempDir m_dir;
    ScriptedPeer m_peer;
    std::unique_ptr<CClientDlg> m_window;
};
