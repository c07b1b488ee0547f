#include "Logging.h"

Q_LOGGING_CATEGORY(lcApp, "tolvex.app")
Q_LOGGING_CATEGORY(lcTray, "tolvex.tray")
Q_LOGGING_CATEGORY(lcPopover, "tolvex.popover")
