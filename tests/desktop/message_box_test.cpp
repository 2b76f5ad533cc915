// The message box: on a display (the test runs on a virtual X server) a modal box
// with an OK button, shown by the main thread's loop while the asking thread
// waits until it is dismissed; without a display, standard error at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "commands/messages.h"
#include "platform/linux/desktop.h"
#include "platform/platform.h"
#include "tests/desktop/visible_boxes.h"

namespace {

// Runs the desktop loop on this (the main) thread until `count` boxes are up.
std::vector<GtkMessageDialog*> WaitForBoxes(size_t count) {
    // A tick keeps each blocking iteration short.
    guint tick = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<GtkMessageDialog*> boxes = VisibleBoxes();
    while (boxes.size() < count && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        boxes = VisibleBoxes();
    }
    g_source_remove(tick);
    return boxes;
}

GtkMessageDialog* BoxWithText(const std::vector<GtkMessageDialog*>& boxes,
                              const std::string& text) {
    for (GtkMessageDialog* box : boxes) {
        if (BoxText(box) == text) return box;
    }
    return nullptr;
}

void PressOk(GtkMessageDialog* box) {
    GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    ASSERT_NE(ok, nullptr);
    gtk_button_clicked(GTK_BUTTON(ok));
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

// A thread that shows a box and notes when the call returns.
struct Asker {
    std::atomic<bool> returned{false};
    std::thread thread;
    explicit Asker(std::string text)
        : thread([this, text] {
              platform::ShowMessageBox(text);
              returned = true;
          }) {}
};

TEST(MessageBoxOnDesktop, ShowsAModalBoxAndWaitsUntilItIsDismissed) {
    ASSERT_TRUE(platform::StartDesktop()) << "a display is needed (run under with_display.py)";
    Asker asker(msg::kBoxReaderOpenFailed);

    std::vector<GtkMessageDialog*> boxes = WaitForBoxes(1);
    ASSERT_EQ(boxes.size(), 1u);
    GtkMessageDialog* box = boxes[0];
    EXPECT_EQ(BoxText(box), msg::kBoxReaderOpenFailed);
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(box)));
    EXPECT_NE(gtk_dialog_get_widget_for_response(GTK_DIALOG(box), GTK_RESPONSE_OK), nullptr);
    // Up to now the asking thread cannot have gone on.
    EXPECT_FALSE(asker.returned);

    PressOk(box);
    asker.thread.join();
    EXPECT_TRUE(asker.returned);
    EXPECT_TRUE(VisibleBoxes().empty());
}

TEST(MessageBoxOnDesktop, EachAskingThreadWaitsForItsOwnBox) {
    ASSERT_TRUE(platform::StartDesktop());
    Asker first(msg::kBoxReaderOpenFailed);
    Asker second(msg::kBoxImageToBmpFailed);

    std::vector<GtkMessageDialog*> boxes = WaitForBoxes(2);
    ASSERT_EQ(boxes.size(), 2u);
    GtkMessageDialog* secondBox = BoxWithText(boxes, msg::kBoxImageToBmpFailed);
    GtkMessageDialog* firstBox = BoxWithText(boxes, msg::kBoxReaderOpenFailed);
    ASSERT_NE(secondBox, nullptr);
    ASSERT_NE(firstBox, nullptr);

    PressOk(secondBox);
    second.thread.join();
    EXPECT_FALSE(first.returned);
    ASSERT_EQ(VisibleBoxes().size(), 1u);

    PressOk(firstBox);
    first.thread.join();
    EXPECT_TRUE(first.returned);
}

TEST(MessageBoxOnDesktop, TextThatIsNotUtf8IsShownWithReplacements) {
    ASSERT_TRUE(platform::StartDesktop());
    Asker asker(std::string("bad \xff\xfe text"));
    std::vector<GtkMessageDialog*> boxes = WaitForBoxes(1);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string shown = BoxText(boxes[0]);
    EXPECT_TRUE(g_utf8_validate(shown.c_str(), -1, nullptr));
    EXPECT_EQ(shown.rfind("bad ", 0), 0u);
    PressOk(boxes[0]);
    asker.thread.join();
}

TEST(MessageBoxWithoutDesktop, TextGoesToStandardErrorAndTheCallReturns) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    ASSERT_FALSE(platform::StartDesktop());

    char path[] = "/tmp/penmora-stderr-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    // Both texts from two threads at once: each arrives whole, on its own line.
    std::thread other([] { platform::ShowMessageBox(msg::kBoxImageToBmpFailed); });
    platform::ShowMessageBox(msg::kBoxReaderOpenFailed);
    other.join();
    dup2(saved, STDERR_FILENO);
    close(saved);

    std::string written(256, '\0');
    ssize_t n = pread(file, written.data(), written.size(), 0);
    close(file);
    unlink(path);
    ASSERT_GT(n, 0);
    written.resize(static_cast<size_t>(n));
    const std::string a = std::string(msg::kBoxReaderOpenFailed) + "\n";
    const std::string b = std::string(msg::kBoxImageToBmpFailed) + "\n";
    EXPECT_TRUE(written == a + b || written == b + a) << written;
}

}  // namespace
