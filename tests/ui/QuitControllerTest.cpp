// The one exit mechanism: dialogs and popups are closed innermost first, rejected, and
// the main frame is closed once, from the top-level loop, however many quits arrive.

#include "ui/QuitController.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "model/QuitState.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrel;

namespace {

class QuitControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        AppEnvironment env;
        env.configFolder = m_dir.path().toStdString();
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto view = std::make_unique<HeadlessMainView>();
            view->OnCloseRequested([this] {
                m_events.push_back("frame closed");
                m_app->ExitMainFrame();
                m_loop.quit();
            });
            return view;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        m_app->SetQuitHook([this] { RequestQuit(*m_app); });
        MarkMainLoopRunning();
    }
    void TearDown() override {
        m_app.reset();
        SetQuitPending(false);
    }
    // Turns a top-level loop until the frame closes (at most 10 s).
    void RunTopLevel() {
        QTimer::singleShot(10000, &m_loop, [this] {
            m_events.push_back("timed out");
            m_loop.quit();
        });
        m_loop.exec();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    QEventLoop m_loop;
    std::vector<std::string> m_events;
};

TEST_F(QuitControllerTest, NestedDialogsAndAPopupCloseInnermostFirstThenTheFrame) {
    QDialog outer;
    QMessageBox inner(QMessageBox::Question, "Kestrel", "?", QMessageBox::Yes | QMessageBox::No);
    QMenu menu;
    menu.addAction("item");
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(0, [&] {
                QTimer::singleShot(0, [&] {
                    ASSERT_TRUE(ModalOrPopupOpen());
                    // Twice, as a signal and the exit command arriving together.
                    m_app->RequestQuit();
                    RequestQuit(*m_app);
                });
                menu.exec(QPoint(10, 10));
                m_events.push_back("menu closed");
            });
            const int answer = inner.exec();
            m_events.push_back(answer == QMessageBox::Yes ? "inner answered yes" : "inner rejected");
        });
        const int result = outer.exec();
        m_events.push_back(result == QDialog::Rejected ? "outer rejected" : "outer accepted");
    });
    RunTopLevel();
    EXPECT_EQ(m_events,
              (std::vector<std::string>{"menu closed", "inner rejected", "outer rejected", "frame closed"}));
    EXPECT_TRUE(IsQuitPending());
    EXPECT_FALSE(ModalOrPopupOpen());
}

TEST_F(QuitControllerTest, WithNothingOpenTheFrameClosesFromTheLoopNotInsideTheCaller) {
    QTimer::singleShot(0, [&] {
        m_app->RequestQuit();
        m_events.push_back("caller returned");
    });
    RunTopLevel();
    EXPECT_EQ(m_events, (std::vector<std::string>{"caller returned", "frame closed"}));
}

} // namespace
