// Linux: the status icon, a StatusNotifierItem shown by the desktop's panel.
// Its menu holds the one item "Exit". When the panel's watcher restarts, the
// indicator library registers the item again by itself.
#include <libayatana-appindicator/app-indicator.h>

#include "platform/linux/desktop.h"
#include "platform/platform.h"

namespace platform {
namespace {

// A themed picture of a pen tablet, present in every icon theme that follows
// the naming rules.
constexpr const char* kIconName = "input-tablet";
constexpr const char* kIndicatorId = "penmora";

void OnExitChosen(GtkMenuItem*, gpointer) {
    // At once and without clean-up, also during a signing session or a
    // capture: the system takes back the pad, the sockets and the lock.
    ExitProcess(0);
}

}  // namespace

bool CreateStatusIcon(const std::string& tooltip) {
    if (!StartDesktop() || !SessionBusPresent()) return false;
    // Made once for the life of the process; never released.
    static AppIndicator* indicator = nullptr;
    if (indicator != nullptr) return true;

    // The indicator library asks for the session bus without waiting for it
    // and, on a busy machine, can go on to register the item before the
    // answer came, which leaves the item unregistered for good. With the
    // process's shared connection made here first, the library's request is
    // answered at once. Held for the life of the process.
    static GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return false;

    GtkWidget* menu = gtk_menu_new();
    GtkWidget* exitItem = gtk_menu_item_new_with_label("Exit");
    g_signal_connect(exitItem, "activate", G_CALLBACK(OnExitChosen), nullptr);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), exitItem);
    gtk_widget_show_all(menu);

    indicator =
        app_indicator_new(kIndicatorId, kIconName, APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    // Panels show the item's title as its tooltip.
    app_indicator_set_title(indicator, tooltip.c_str());
    app_indicator_set_icon_full(indicator, kIconName, tooltip.c_str());
    app_indicator_set_menu(indicator, GTK_MENU(menu));
    app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
    return true;
}

}  // namespace platform
