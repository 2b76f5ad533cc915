// What the desktop tests read of the boxes on their display: the message
// dialogs now visible, and the text of one.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

inline std::vector<GtkMessageDialog*> VisibleBoxes() {
    std::vector<GtkMessageDialog*> boxes;
    GList* windows = gtk_window_list_toplevels();
    for (GList* node = windows; node != nullptr; node = node->next) {
        if (GTK_IS_MESSAGE_DIALOG(node->data) && gtk_widget_get_visible(GTK_WIDGET(node->data))) {
            boxes.push_back(GTK_MESSAGE_DIALOG(node->data));
        }
    }
    g_list_free(windows);
    return boxes;
}

inline std::string BoxText(GtkMessageDialog* box) {
    gchar* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}
