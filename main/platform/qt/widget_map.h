// For UI automation (tools/demo.sh): keeps a file listing every visible widget
// with its object name, accessible name, place on the screen and whether it
// is enabled, so a script finds widgets by name whatever the fonts and theme.
#pragma once

#include <QString>

namespace kx {

// Rewrites `path` whenever the visible widgets change (checked ten times a
// second); lines are tab-separated: objectName, accessibleName, x, y, width,
// height (global pixels), enabled (1 or 0). Call once, after QApplication.
void publishWidgetMap(const QString& path);

}  // namespace kx
