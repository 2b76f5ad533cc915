// Registration of the service to start at the user's logon.
#pragma once

// Writes the autostart entry "Penmora.exe" naming the running executable;
// logs "服务自启动失败" when the entry cannot be written.
void RegisterAutostart();
