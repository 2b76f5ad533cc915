// The status icon with its one menu item "Exit".
#pragma once

// Makes the hidden window "Scribtor" that owns the icon, where the system has
// one. False when its window class cannot be registered.
bool CreateServiceWindow();

// Shows the icon (tooltip "Scribtor"); without a desktop, does nothing.
void CreateTrayIcon();
