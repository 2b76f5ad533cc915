// The status icon with its one menu item "Exit".
#pragma once

// Shows the icon (tooltip "Scribtor"); without a desktop, does nothing.
void CreateTrayIcon();
