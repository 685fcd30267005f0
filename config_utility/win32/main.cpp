// QuarrymarkConfig64: the settings utility's entry point.
#include <windows.h>

#include "config_utility/win32/settings_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return qm::utility::win32::RunUtility(instance);
}
