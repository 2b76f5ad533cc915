// Linux: the message box. With a graphical session the box is a modal dialog
// with an OK button, shown by the main thread's desktop loop while the calling
// thread waits for it to be dismissed. Without one the text goes to standard
// error and the call returns at once, so a headless service is never left
// waiting for a button nobody can press.
#include <gtk/gtk.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/linux/desktop.h"
#include "platform/platform.h"

namespace platform {
namespace {

// One box asked for; it lives on the stack of the thread that waits for it.
struct BoxRequest {
    std::string text;
    std::condition_variable dismissed;
    bool done = false;  // guarded by BoxLock
};

// Guards every BoxRequest and the queue that carries them to the main thread.
std::mutex BoxLock;
std::deque<BoxRequest*> PendingBoxes;

void OnResponse(GtkDialog* dialog, gint, gpointer data) {
    gtk_widget_destroy(GTK_WIDGET(dialog));
    auto* request = static_cast<BoxRequest*>(data);
    // Notified under the lock: the waiter cannot return and destroy the
    // request before this call is over with it.
    std::lock_guard<std::mutex> hold(BoxLock);
    request->done = true;
    request->dismissed.notify_all();
}

// Runs on the main thread, inside the desktop loop.
gboolean ShowPendingBoxes(gpointer) {
    for (;;) {
        BoxRequest* request;
        std::string text;
        {
            std::lock_guard<std::mutex> hold(BoxLock);
            if (PendingBoxes.empty()) break;
            request = PendingBoxes.front();
            PendingBoxes.pop_front();
            text = request->text;
        }
        // The platform's plain box: no parent, no icon, the default caption.
        GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                                   GTK_BUTTONS_OK, "%s", text.c_str());
        gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
        g_signal_connect(dialog, "response", G_CALLBACK(OnResponse), request);
        gtk_widget_show_all(dialog);
    }
    return G_SOURCE_REMOVE;
}

}  // namespace

void ShowMessageBox(const std::string& utf8Text) {
    if (!DesktopStarted()) {
        // Two threads may report at once; keep each text whole on the stream.
        static std::mutex streamLock;
        std::lock_guard<std::mutex> hold(streamLock);
        std::fprintf(stderr, "%s\n", utf8Text.c_str());
        std::fflush(stderr);
        return;
    }
    BoxRequest request;
    // GTK shows only valid UTF-8; anything else becomes replacement marks.
    gchar* valid = g_utf8_make_valid(utf8Text.c_str(), -1);
    request.text = valid;
    g_free(valid);
    {
        std::lock_guard<std::mutex> hold(BoxLock);
        PendingBoxes.push_back(&request);
    }
    if (OnDesktopThread()) {
        // Asked on the main thread itself: wait in a nested loop.
        ShowPendingBoxes(nullptr);
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(BoxLock);
                if (request.done) return;
            }
            gtk_main_iteration();
        }
    }
    // Always through the loop: GTK is used on the main thread only.
    g_idle_add(ShowPendingBoxes, nullptr);
    std::unique_lock<std::mutex> hold(BoxLock);
    request.dismissed.wait(hold, [&request] { return request.done; });
}

namespace {

// One question about a site. Shared by the thread that waits for the answer
// and the main thread that shows it: a waiter that gives up leaves the dialog
// to be taken down by the main thread.
struct SiteQuestion {
    std::string text;
    std::condition_variable answered;
    SiteAnswer answer = SiteAnswer::NoAnswer;  // guarded by BoxLock
    bool done = false;                         // guarded by BoxLock
    GtkWidget* dialog = nullptr;               // main thread only
};

enum { kAllowResponse = 1, kBlockResponse = 2 };

void OnSiteResponse(GtkDialog* dialog, gint response, gpointer data) {
    auto* question = static_cast<std::shared_ptr<SiteQuestion>*>(data);
    {
        std::lock_guard<std::mutex> hold(BoxLock);
        if (!(*question)->done) {
            (*question)->answer = response == kAllowResponse   ? SiteAnswer::Allow
                                  : response == kBlockResponse ? SiteAnswer::Block
                                                               : SiteAnswer::NoAnswer;
            (*question)->done = true;
            (*question)->answered.notify_all();
        }
    }
    (*question)->dialog = nullptr;
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void ForgetQuestion(gpointer data, GClosure*) {
    delete static_cast<std::shared_ptr<SiteQuestion>*>(data);
}

// Questions to show and questions to take down, handed to the main thread
// under BoxLock (what glib hands over itself is out of the sanitizers'
// sight).
std::deque<std::shared_ptr<SiteQuestion>> PendingQuestions;
std::deque<std::shared_ptr<SiteQuestion>> WithdrawnQuestions;

// Runs on the main thread, inside the desktop loop.
gboolean ShowPendingQuestions(gpointer) {
    for (;;) {
        std::shared_ptr<SiteQuestion> question;
        std::string text;
        {
            std::lock_guard<std::mutex> hold(BoxLock);
            if (PendingQuestions.empty()) break;
            question = std::move(PendingQuestions.front());
            PendingQuestions.pop_front();
            if (question->done) continue;  // given up before it showed
            text = question->text;
        }
        GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                                   GTK_BUTTONS_NONE, "%s", text.c_str());
        gtk_dialog_add_buttons(GTK_DIALOG(dialog), u8"阻止 Block", kBlockResponse, u8"允许 Allow",
                               kAllowResponse, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), kBlockResponse);
        gtk_window_set_title(GTK_WINDOW(dialog), "Penmora");
        gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
        question->dialog = dialog;
        g_signal_connect_data(dialog, "response", G_CALLBACK(OnSiteResponse),
                              new std::shared_ptr<SiteQuestion>(question), ForgetQuestion,
                              GConnectFlags(0));
        gtk_widget_show_all(dialog);
    }
    return G_SOURCE_REMOVE;
}

// Takes down the dialogs of questions nobody answered in time.
gboolean WithdrawQuestions(gpointer) {
    for (;;) {
        std::shared_ptr<SiteQuestion> question;
        {
            std::lock_guard<std::mutex> hold(BoxLock);
            if (WithdrawnQuestions.empty()) break;
            question = std::move(WithdrawnQuestions.front());
            WithdrawnQuestions.pop_front();
        }
        if (GtkWidget* dialog = question->dialog) {
            question->dialog = nullptr;
            gtk_widget_destroy(dialog);
        }
    }
    return G_SOURCE_REMOVE;
}

}  // namespace

SiteAnswer AskAboutSite(const std::string& utf8Text, int timeoutMs) {
    // Nobody to ask, or a thread that would have to wait for itself.
    if (!DesktopStarted() || OnDesktopThread()) return SiteAnswer::NoAnswer;
    auto question = std::make_shared<SiteQuestion>();
    gchar* valid = g_utf8_make_valid(utf8Text.c_str(), -1);
    question->text = valid;
    g_free(valid);
    std::unique_lock<std::mutex> hold(BoxLock);
    PendingQuestions.push_back(question);
    g_idle_add(ShowPendingQuestions, nullptr);
    if (!question->answered.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                     [&question] { return question->done; })) {
        question->done = true;
        WithdrawnQuestions.push_back(question);
        g_idle_add(WithdrawQuestions, nullptr);
        return SiteAnswer::NoAnswer;
    }
    return question->answer;
}

}  // namespace platform
