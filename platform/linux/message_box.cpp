// Linux: the message box. With a graphical session the box is a modal dialog
// with an OK button, shown by the main thread's desktop loop while the calling
// thread waits for it to be dismissed. Without one the text goes to standard
// error and the call returns at once, so a headless service is never left
// waiting for a button nobody can press.
#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
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

}  // namespace platform
